// What the configuration file decides, read the way a running relay reads it.
#include <chrono>
#include <thread>

#include "relay_host_test.h"

using testkit::ThunkConfig;

class StartFlagTest : public RelayHostTest {
protected:
    std::string StartWith(const ThunkConfig &config) {
        LaunchHost(config);
        return Cmd("start");
    }
};

TEST_F(StartFlagTest, MissingFlagDoesNotStart) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.start.reset();
    EXPECT_EQ("@start -101 pfrec=1", StartWith(config));
    EXPECT_EQ(1u, CountLog(">GameServerThunk No Load In Config File"));
}

TEST_F(StartFlagTest, FalseDoesNotStart) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.start = "0";
    EXPECT_EQ("@start -101 pfrec=1", StartWith(config));
}

TEST_F(StartFlagTest, WordTrueIsNotABoolean) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.start = "true";
    EXPECT_EQ("@start -101 pfrec=1", StartWith(config));
    EXPECT_EQ(1u, CountLog(">GameServerThunk No Load In Config File"));
}

TEST_F(StartFlagTest, TopElementInOtherCaseIsNotFound) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.rootName = "gamethunkserver";
    EXPECT_EQ("@start -101 pfrec=1", StartWith(config));
}

TEST_F(StartFlagTest, OneWithBlanksAndLineBreaksStarts) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.start = "\n   1 \r\n  ";
    EXPECT_EQ("@start 0 pfrec=1", StartWith(config));
}

TEST_F(RelayHostTest, FirstAddressLineReachesConsoleEvenWithConsoleOff) {
    StartServer();
    StartConnected(Connecting());
    const std::string addressLine =
        "file: " + m_host.Dir().Path() +
        "/QVThunkConfig.xmlItemSever Ip:127.0.0.1,Port:" + std::to_string(m_server.Port());
    EXPECT_EQ(1u, CountLog(addressLine));
    std::string out = m_host.Host().Output();
    EXPECT_NE(std::string::npos, out.find(addressLine));
    EXPECT_EQ(std::string::npos, out.find(">VornProxy Starting"))
        << "Console 0 keeps member lines off";
    EXPECT_EQ(std::string::npos, out.find(">Connected To"));
    EXPECT_EQ(1u, CountLog(">VornProxy Starting"));
}

TEST_F(RelayHostTest, ConsoleOnEchoesMemberLines) {
    StartServer();
    ThunkConfig config = Connecting();
    config.console = "1";
    StartConnected(config);
    std::string line;
    EXPECT_TRUE(m_host.Host().WaitForLine(
        [](const std::string &text) { return text.find(">Connected To") != std::string::npos; },
        LONG_WAIT_MS, &line));
}

TEST_F(RelayHostTest, AttemptAddressLineOnlyForFirstTenAttemptsOfTheProcess) {
    StartServer();
    m_server.SetAcceptAction(testkit::AcceptAction::CLOSE);
    ThunkConfig config = Connecting();
    config.tryInterval = "0"; // an attempt on every pass
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForAccepts(12, 60000));
    ASSERT_TRUE(WaitForLog(">Connected To", 12));
    EXPECT_EQ(10u, CountLog("QVThunkConfig.xmlIp:127.0.0.1,Port:"));
}

TEST_F(RelayHostTest, AddressAsAttributesFallsBackToDefaults) {
    ThunkConfig config = ThunkConfig::Connecting(1);
    config.ip.reset();
    config.port.reset();
    config.extra = "  <VOZevezu_Host ip=\"10.1.2.3\" port=\"4000\"></VOZevezu_Host>\n";
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(WaitForLog("Err VOZevezu_Host:port Usedefault "));
    EXPECT_EQ(1u, CountLog("ItemSever Ip:127.0.0.1,Port:15306"));
    EXPECT_EQ(1u, CountLog("Err VOZevezu_Host:ip Usedefault "));
    EXPECT_EQ(1u, CountLog("QVThunkConfig.xmlIp:127.0.0.1,Port:15306"));
    EXPECT_EQ(0u, CountLog("Err LogConnectionError Usedefault "));
}

TEST_F(RelayHostTest, MissingKeysAtAttemptAreReportedEachAttemptWhileAllowed) {
    ThunkConfig config;
    config.start = "1";
    config.tryInterval = "0";
    config.ip = "0.0.0.0"; // no TCP attempt at all
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(WaitForLog("Err VOZevezu_Host:port Usedefault ", 3));
    EXPECT_GE(CountLog("Err LogConnectionError Usedefault "), 3u);
    EXPECT_EQ(0u, CountLog("Err TryConnectionInteval Usedefault "));
    EXPECT_EQ(0u, CountLog("Err VOZevezu_Host:ip Usedefault "));
}

TEST_F(RelayHostTest, PortIsTakenModulo65536AndLoggedAsWritten) {
    StartServer();
    ThunkConfig config = Connecting();
    config.port = std::to_string(65536 + m_server.Port());
    StartConnected(config);
    EXPECT_EQ(1u, CountLog("ItemSever Ip:127.0.0.1,Port:" + *config.port));
}

TEST_F(RelayHostTest, IpThatIsNotAnAddressKeepsTheHost) {
    StartServer();
    ThunkConfig config = Connecting();
    config.ip = "localhost";
    StartConnected(config); // 127.0.0.1 from start-up stays
    EXPECT_EQ(0u, CountLog("Usedefault"));
}
