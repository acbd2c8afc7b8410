// The relay's surroundings breaking while it runs: its configuration file
// deleted, garbled or pointed elsewhere; its log directory removed or
// replaced by a file; a connect that never completes when the host stops it.
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "stress_test.h"

namespace fs = std::filesystem;

using testkit::Bytes;
using testkit::ThunkConfig;

namespace {

ThunkConfig quick_retry(ThunkConfig config) {
    config.tryInterval = "0";
    return config;
}

std::string random_text(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string text(n, '\0');
    for (char &c : text)
        c = static_cast<char>(rng());
    return text;
}

} // namespace

TEST_F(StressTest, ConfigurationDeletedGarbledAndMovedWhileRunning) {
    StartServer();
    testkit::LoopbackServer second;
    ASSERT_TRUE(second.Start()) << second.Error();
    StartConnected(quick_retry(Connecting()));
    const std::string configFile = m_host.Dir().Join("QVThunkConfig.xml");

    // Deleted: the next attempts keep the settings they had.
    ASSERT_TRUE(fs::remove(configFile));
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(WaitForLog("read_xml_config_try_connection err file: " + configFile));
    ASSERT_TRUE(m_server.WaitForAccepts(2, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));

    // Garbled, in several ways: every key falls back to its default, which
    // is not where the test server listens.
    const std::string garbage[] = {
        random_text(4096, 1),
        "<GameThunkServer><VOZevezu_Host><port>" + std::to_string(m_server.Port()),
        std::string(20000, '<') + std::string(3000, '\0') + std::string(20000, '>'),
    };
    ASSERT_TRUE(m_host.Dir().WriteFile("QVThunkConfig.xml", garbage[0]));
    ASSERT_TRUE(m_server.CloseClient());
    const std::string usedDefault = "Err VOZevezu_Host:port Usedefault ";
    for (const std::string &text : garbage) {
        ASSERT_TRUE(m_host.Dir().WriteFile("QVThunkConfig.xml", text));
        // The second attempt from now has surely read this text.
        ASSERT_TRUE(WaitForLog(usedDefault, CountLog(usedDefault) + 2));
    }
    EXPECT_EQ(2u, m_server.AcceptCount()) << "a garbled file still led to the old server";
    EXPECT_EQ("@send 0", Cmd("send D 1 00")); // dropped, as the link is down

    // Pointed at another server: the next attempt goes there.
    ASSERT_TRUE(m_host.WriteConfig(quick_retry(ThunkConfig::Connecting(second.Port()))));
    ASSERT_TRUE(second.WaitForClient(STRESS_WAIT_MS));
    ASSERT_TRUE(WaitForLog(">Connected To 127.0.0.1-" + std::to_string(second.Port())));
    EXPECT_EQ("@send 0", Cmd("send D 2 0203"));
    ASSERT_TRUE(second.WaitForPackets(1, STRESS_WAIT_MS));
    std::vector<testkit::WirePacket> packets = second.Packets();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(2u, packets.back().id);
    EXPECT_EQ(2u, m_server.AcceptCount());
    second.Stop();
}

TEST_F(StressTest, LogDirectoryRemovedWhileRunning) {
    StartServer();
    StartConnected(quick_retry(Connecting()));
    ASSERT_TRUE(fs::remove_all(m_host.LogDir()) > 0);

    // Messages still flow both ways, and the link is re-made after a drop.
    EXPECT_EQ("@send 0", Cmd("send D 1 61"));
    ASSERT_TRUE(m_server.WaitForPackets(1, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.SendPacket('D', 2, testkit::ToBytes("b")));
    EXPECT_EQ("@D 2 1 62", NextCallback());
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(m_server.WaitForAccepts(2, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    EXPECT_FALSE(fs::exists(m_host.LogDir())) << "nothing makes it again before a start";

    // Once the directory is back, lines are written again.
    ASSERT_TRUE(fs::create_directory(m_host.LogDir()));
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(m_server.WaitForAccepts(3, STRESS_WAIT_MS));
    ASSERT_TRUE(WaitForLog(">Connected To " + Peer()));

    // A new start makes the directory again when it is missing.
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    const size_t nAccepts = m_server.AcceptCount();
    ASSERT_TRUE(fs::remove_all(m_host.LogDir()) > 0);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    EXPECT_TRUE(fs::is_directory(m_host.LogDir()));
    ASSERT_TRUE(m_server.WaitForAccepts(nAccepts + 1, STRESS_WAIT_MS));
    EXPECT_TRUE(WaitForLog(">Connected To " + Peer()));
}

TEST_F(StressTest, LogDirectoryReplacedByAFileWhileRunning) {
    StartServer();
    StartConnected(quick_retry(Connecting()));
    ASSERT_TRUE(fs::remove_all(m_host.LogDir()) > 0);
    const std::string content = "a file in the way\n";
    ASSERT_TRUE(m_host.Dir().WriteFile("hook_log", content));

    EXPECT_EQ("@send 0", Cmd("send D 1 61"));
    ASSERT_TRUE(m_server.WaitForPackets(1, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.ResetClient());
    ASSERT_TRUE(m_server.WaitForAccepts(2, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.SendPacket('D', 2, testkit::ToBytes("b")));
    EXPECT_EQ("@D 2 1 62", NextCallback());

    // Stop and start again with the file still in the way.
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForAccepts(3, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    std::string after;
    ASSERT_TRUE(m_host.Dir().ReadFile("hook_log", &after));
    EXPECT_EQ(content, after) << "the relay wrote into the file in its way";
}

TEST_F(StressTest, StuckConnectsAtExitLeaveNoThreadBehind) {
    testkit::StuckListener stuck;
    ASSERT_TRUE(stuck.Start());
    LaunchHost(quick_retry(ThunkConfig::Connecting(stuck.Port())));
    // One round first, so that background threads a runtime starts with the first
    // thread of the process (a sanitizer's, say) are in the baseline too.
    ASSERT_EQ("@cycle 1 0", Cmd("cycle 1"));
    const size_t nThreads = proc_thread_count(HostPid());
    const size_t nFds = proc_fd_count(HostPid());
    const size_t ROUNDS = 4;
    for (size_t round = 0; round < ROUNDS; ++round) {
        const std::string attempt = "Ip:127.0.0.1,Port:" + std::to_string(stuck.Port());
        const size_t nAttempts = CountLog(attempt);
        ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
        ASSERT_TRUE(WaitForLog(attempt, nAttempts + 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // inside the connect
        long ms = exit_ms(m_host.Command("exit", STRESS_WAIT_MS));
        ASSERT_GE(ms, 0);
        EXPECT_LT(ms, 9000) << "the stop waited out the monitor instead of ending the connect";
    }
    EXPECT_EQ(ROUNDS + 1, CountLog(">VornProxy ShutDown"));
    EXPECT_TRUE(WaitForThreadCount(nThreads)) << proc_thread_count(HostPid()) << " threads";
    EXPECT_EQ(nFds, proc_fd_count(HostPid()));
}
