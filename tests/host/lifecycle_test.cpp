// Starting and stopping the relay as a host does, its results, its log
// lines, and the pacing of its monitor thread.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "relay_host_test.h"

using testkit::ThunkConfig;

namespace {

std::string todays_log_name() {
    std::time_t now = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof(buf), "VornProxyLog%Y%m%d.txt", std::localtime(&now));
    return buf;
}

} // namespace

TEST_F(RelayHostTest, StartRefusesWithoutConfigurationFile) {
    LaunchHost(ThunkConfig::Connecting(1));
    std::filesystem::remove(m_host.Dir().Join("QVThunkConfig.xml"));
    EXPECT_EQ("@start -1 pfrec=1", Cmd("start"));
    EXPECT_EQ("@send 0", Cmd("send D 1 00"));
    EXPECT_EQ("@getdata 1 - 4294967295 4294967295 -", Cmd("getdata 16"));
    EXPECT_EQ(1u, CountLog(">Read Config Err,File: " + m_host.Dir().Path() + "/QVThunkConfig.xml"));
    EXPECT_EQ(0u, CountLog(">VornProxy Starting"));
}

TEST_F(RelayHostTest, StartRefusesWhenNotEnabled) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.start.reset();
    LaunchHost(config);
    EXPECT_EQ("@start -101 pfrec=1", Cmd("start"));
    EXPECT_EQ("@send 0", Cmd("send D 1 00"));
    EXPECT_EQ(1u, CountLog(">GameServerThunk No Load In Config File"));
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    EXPECT_EQ(0u, CountLog(">VornProxy ShutDown")) << "no relay thread was started";
}

TEST_F(RelayHostTest, SecondStartIsRefusedAndFirstCallbacksStay) {
    StartServer();
    StartConnected(Connecting());
    EXPECT_EQ("@start -102 pfrec=1", Cmd("start nosend"));
    EXPECT_EQ(1u, CountLog("> g_nNum:2,File: "));
    EXPECT_EQ(1u, CountLog(">GameServerThunk Class Has Been Created"));

    ASSERT_TRUE(m_server.SendPacket('D', 9, testkit::ToBytes("still")));
    EXPECT_EQ("@D 9 5 7374696c6c", NextCallback()) << "D went to the first start's pfSend";
}

TEST_F(RelayHostTest, StartExitStartRunsANewRelay) {
    StartServer();
    StartConnected(Connecting());
    std::string exitLine = Cmd("exit");
    EXPECT_EQ(0u, exitLine.find("@exit ")) << exitLine;
    EXPECT_TRUE(m_server.WaitForDisconnect(LONG_WAIT_MS));

    EXPECT_EQ("@start 0 pfrec=1", Cmd("start"));
    WaitConnected(2);
    EXPECT_EQ(1u, CountLog("> g_nNum:2,File: "));
    EXPECT_EQ(2u, CountLog(">VornProxy Starting ........Ver:2009/12/29,Build:"));
    EXPECT_EQ("@send 0", Cmd("send D 3 61"));
    ASSERT_TRUE(m_server.WaitForPackets(1, LONG_WAIT_MS));
    EXPECT_EQ(3u, m_server.Packets(1).at(0).id);
}

TEST_F(RelayHostTest, NullReceiverPointerIsTolerated) {
    StartServer();
    LaunchHost(Connecting());
    EXPECT_EQ("@start 0 pfrec=0", Cmd("start nullrec"));
    WaitConnected();
    EXPECT_EQ("@send 0", Cmd("send D 1 61"));
    EXPECT_TRUE(m_server.WaitForPackets(1, LONG_WAIT_MS));
}

TEST_F(RelayHostTest, LogLinesHavePrefixTimestampAndExactTexts) {
    StartServer();
    StartConnected(Connecting());
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));

    std::vector<std::string> files = m_host.LogFiles();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(todays_log_name(), files[0]);

    const std::string prefix = "Pid:" + std::to_string(m_host.Host().Pid()) + ">  ";
    std::regex format("^" + prefix + R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d.*$)");
    std::vector<std::string> lines = m_host.LogLines();
    for (const std::string &line : lines)
        EXPECT_TRUE(std::regex_match(line, format)) << line;

    std::vector<std::string> texts = LogTexts();
    const std::string dir = m_host.Dir().Path() + "/";
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ("> BasePath: " + dir, texts[0]);
    EXPECT_TRUE(std::regex_match(
        texts[1],
        std::regex(R"(> In sh_load_start: pfSend=[ 0-9a-f]{8,},pfRec=[0-9a-f]+    2009/12/29)")))
        << texts[1];
    EXPECT_EQ("> g_nNum:1,File: " + m_host.HostPath(), texts[2]);
    EXPECT_EQ("> In sh_load_start 2", texts[3]);
    // The relay thread may already be logging by then.
    std::regex started(R"(> In sh_load_start 6,[ 0-9a-f]{8,})");
    size_t startedAt = 4;
    while (startedAt < texts.size() && !std::regex_match(texts[startedAt], started))
        ++startedAt;
    EXPECT_LT(startedAt, texts.size()) << "no \"In sh_load_start 6\" line";

    size_t exitAt = find_text(texts, "> In sh_load_exit");
    ASSERT_NE(std::string::npos, exitAt);
    size_t shutdownAt = find_text(texts, ">VornProxy ShutDown", exitAt);
    size_t endAt = find_text(texts, "> In sh_load_exit end", exitAt);
    EXPECT_LT(shutdownAt, endAt) << "the relay thread ends before sh_load_exit returns";

    // The free writer always echoes; member lines stay off the console.
    std::string out = m_host.Host().Output();
    EXPECT_NE(std::string::npos, out.find("> In sh_load_start 2"));
    EXPECT_EQ(std::string::npos, out.find(">VornProxy Starting"));
}

TEST_F(RelayHostTest, ExitBeforeStartLogsToPlainNameInWorkingDirectory) {
    LaunchHost(ThunkConfig::Connecting(1));
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    std::string content;
    ASSERT_TRUE(m_host.Dir().ReadFile("cwd/VornProxyLog", &content));
    std::vector<std::string> lines = testkit::SplitLines(content);
    ASSERT_EQ(2u, lines.size());
    std::regex noPrefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d> In sh_load_exit( end)?$)");
    EXPECT_TRUE(std::regex_match(lines[0], noPrefix)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], noPrefix)) << lines[1];
    EXPECT_TRUE(m_host.LogFiles().empty());
}

TEST_F(RelayHostTest, ReconnectsEveryTryIntervalPlusOnePasses) {
    StartServer();
    m_server.SetAcceptAction(testkit::AcceptAction::CLOSE);
    ThunkConfig config = Connecting();
    config.tryInterval = "2000"; // 2 whole seconds: a new attempt every 3 passes
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForAccepts(3, LONG_WAIT_MS));

    std::vector<testkit::ConnectionRecord> records = m_server.Connections();
    for (size_t i = 1; i < 3; ++i) {
        uint64_t gap = records[i].acceptMs - records[i - 1].acceptMs;
        EXPECT_GE(gap, 2700u) << "attempt " << i << " came too early";
        EXPECT_LE(gap, 6000u) << "attempt " << i << " came too late";
    }
}

TEST_F(RelayHostTest, FirstAttemptIsImmediateAndShortIntervalsMeanEveryPass) {
    StartServer();
    m_server.SetAcceptAction(testkit::AcceptAction::CLOSE);
    ThunkConfig config = Connecting();
    config.tryInterval = "500";
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForAccepts(3, LONG_WAIT_MS));
    std::vector<testkit::ConnectionRecord> records = m_server.Connections();
    for (size_t i = 1; i < 3; ++i) {
        uint64_t gap = records[i].acceptMs - records[i - 1].acceptMs;
        EXPECT_GE(gap, 700u);
        EXPECT_LE(gap, 4000u);
    }
}

namespace {

// Arrival times of the first n keep-alive packets, taken as they arrive.
std::vector<std::chrono::steady_clock::time_point> keep_alive_times(testkit::LoopbackServer &server,
                                                                    size_t n) {
    std::vector<std::chrono::steady_clock::time_point> times;
    for (size_t i = 1; i <= n && server.WaitForPackets(i, LONG_WAIT_MS); ++i)
        times.push_back(std::chrono::steady_clock::now());
    return times;
}

long long gap_ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

} // namespace

TEST_F(RelayHostTest, KeepAliveEveryCheckIntervalPlusOnePasses) {
    StartServer();
    ThunkConfig config = Connecting();
    config.checkInterval = "1000"; // a keep-alive every 2 passes
    StartConnected(config);
    auto times = keep_alive_times(m_server, 4);
    ASSERT_EQ(4u, times.size());
    for (size_t i = 2; i < times.size(); ++i) {
        EXPECT_GE(gap_ms(times[i - 1], times[i]), 1500);
        EXPECT_LE(gap_ms(times[i - 1], times[i]), 5000);
    }
    for (const testkit::WirePacket &packet : m_server.Packets()) {
        EXPECT_EQ('C', packet.type);
        EXPECT_EQ(0u, packet.id);
        EXPECT_TRUE(packet.data.empty());
    }
    EXPECT_EQ(1u, m_server.AcceptCount());
}

TEST_F(RelayHostTest, KeepAliveOnEveryPassBelowOneSecond) {
    StartServer();
    ThunkConfig config = Connecting();
    config.checkInterval = "500";
    StartConnected(config);
    auto times = keep_alive_times(m_server, 4);
    ASSERT_EQ(4u, times.size());
    for (size_t i = 2; i < times.size(); ++i) {
        EXPECT_GE(gap_ms(times[i - 1], times[i]), 600);
        EXPECT_LE(gap_ms(times[i - 1], times[i]), 3000);
    }
}
