// The relay module as a host sees it: the sample host loads the built module
// from a temp dir that holds its configuration, the loopback server plays
// the remote server, and the log files are read back afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "loopback_server.h"
#include "wire.h"

using namespace testkit;

namespace {

const int WAIT_MS = 20000;

bool HasLineWith(const std::vector<std::string> &lines, const std::string &text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.find(text) != std::string::npos;
    });
}

class RelayHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        ASSERT_TRUE(fixture.Prepare(ThunkConfig::Connecting(server.Port()))) << fixture.Error();
        ASSERT_TRUE(fixture.StartHost()) << fixture.Error();
    }
    std::string Run(const std::string &line) { return fixture.Command(line, WAIT_MS); }
    std::string Callback(const std::string &prefix) {
        std::string line;
        fixture.Host().WaitForLine(prefix, WAIT_MS, &line);
        return line;
    }
    // The relay takes messages once its connection thread runs; until then it
    // drops them. Sends the message until the server has one.
    bool SendOnceConnected(const std::string &command) {
        if (!server.WaitForClient(WAIT_MS))
            return false;
        for (int i = 0; i < 100; ++i) {
            if (Run(command) != "@send 0")
                return false;
            if (server.WaitForPackets(1, 200))
                return true;
        }
        return false;
    }

    LoopbackServer server;
    HostFixture fixture;
};

TEST_F(RelayHost, CarriesMessagesBothWaysAndStopsCleanly) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    ASSERT_TRUE(SendOnceConnected("send D 5 616263"));
    std::vector<WirePacket> packets = server.Packets();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ('D', packets[0].type);
    EXPECT_EQ(5u, packets[0].id);
    EXPECT_EQ(ToBytes("abc"), packets[0].data);

    ASSERT_TRUE(server.SendPacket('D', 7, ToBytes("xyz")));
    EXPECT_EQ("@D 7 3 78797a", Callback("@D "));
    EXPECT_EQ("@setfunc", Run("setfunc 1002"));
    Bytes value;
    PutU32le(&value, 42);
    ASSERT_TRUE(server.SendPacket('K', 9, value));
    EXPECT_EQ("@K 9 42", Callback("@K "));

    EXPECT_EQ(0u, Run("exit").find("@exit "));
    EXPECT_TRUE(server.WaitForDisconnect(WAIT_MS));
    EXPECT_EQ(0, fixture.Quit());

    std::vector<std::string> lines = fixture.LogLines();
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines)
        EXPECT_EQ(0u, line.find("Pid:")) << line;
    EXPECT_TRUE(HasLineWith(lines, ">Connected To 127.0.0.1-" + std::to_string(server.Port())));
    EXPECT_TRUE(HasLineWith(lines, "> In sh_load_start 6,"));
    EXPECT_TRUE(HasLineWith(lines, ">VornProxy ShutDown"));
    EXPECT_TRUE(HasLineWith(lines, "> In sh_load_exit end"));
}

// The log file is written in text mode: CR LF on Windows, LF elsewhere.
TEST_F(RelayHost, LogFileUsesThePlatformsLineEnd) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    EXPECT_EQ(0u, Run("exit").find("@exit "));
    EXPECT_EQ(0, fixture.Quit());
    std::vector<std::string> files = fixture.LogFiles();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(0u, files[0].find("VornProxyLog"));
    std::string content;
    ASSERT_TRUE(fixture.Dir().ReadFile("hook_log/" + files[0], &content));
    size_t nLineFeeds = std::count(content.begin(), content.end(), '\n');
    size_t nCrLf = 0;
    for (size_t pos = content.find("\r\n"); pos != std::string::npos;
         pos = content.find("\r\n", pos + 2))
        ++nCrLf;
    ASSERT_GE(nLineFeeds, 4u);
    EXPECT_EQ('\n', content.back());
#if defined(_WIN32)
    EXPECT_EQ(nLineFeeds, nCrLf);
#else
    EXPECT_EQ(0u, nCrLf);
#endif
}

TEST_F(RelayHost, ReconnectsAfterTheServerClosesTheLink) {
    ASSERT_EQ("@start 0 pfrec=1", Run("start"));
    ASSERT_TRUE(server.WaitForClient(WAIT_MS));
    ASSERT_TRUE(server.CloseClient());
    // One attempt every second pass of the monitor with a 1000 ms interval.
    EXPECT_TRUE(server.WaitForAccepts(2, WAIT_MS));
    EXPECT_TRUE(server.WaitForClient(WAIT_MS));
    EXPECT_EQ(0u, Run("exit").find("@exit "));
    EXPECT_EQ(0, fixture.Quit());
    EXPECT_TRUE(HasLineWith(fixture.LogLines(), " Disconnected,-103"));
}

TEST(RelayHostStart, RefusesWhenDisabledOrWithoutConfiguration) {
    ThunkConfig disabled = ThunkConfig::Connecting(1);
    disabled.start = "0";
    HostFixture fixture;
    ASSERT_TRUE(fixture.Prepare(disabled)) << fixture.Error();
    ASSERT_TRUE(fixture.StartHost()) << fixture.Error();
    EXPECT_EQ("@start -101 pfrec=1", fixture.Command("start", WAIT_MS));
    EXPECT_EQ("@send 0", fixture.Command("send D 1 00", WAIT_MS));
    EXPECT_EQ("@getdata 1 - 4294967295 4294967295 -", fixture.Command("getdata 16", WAIT_MS));

    std::error_code ec;
    ASSERT_TRUE(std::filesystem::remove(fixture.Dir().Join("QVThunkConfig.xml"), ec));
    EXPECT_EQ("@start -1 pfrec=1", fixture.Command("start", WAIT_MS));
    EXPECT_EQ(0, fixture.Quit());
    EXPECT_TRUE(HasLineWith(fixture.LogLines(), ">GameServerThunk No Load In Config File"));
}

} // namespace
