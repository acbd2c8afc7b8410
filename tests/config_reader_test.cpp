// The three configuration readers: which keys each takes, their defaults,
// and the lines the per-attempt reader writes.
#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "host/globals.h"
#include "test_files.h"
#include "test_relay.h"

namespace {

const char FULL_CONFIG[] = "<?xml version=\"1.0\"?>\n"
                           "<GameThunkServer>\n"
                           "  <GameThunkServer_Start>1</GameThunkServer_Start>\n"
                           "  <Console>1</Console>\n"
                           "  <LogConnectionError>1</LogConnectionError>\n"
                           "  <TryConnectionInteval>2500</TryConnectionInteval>\n"
                           "  <MaxCheckConnectionInterval>-1</MaxCheckConnectionInterval>\n"
                           "  <QueueMode>1</QueueMode>\n"
                           "  <DeadLinkTimeout>5000</DeadLinkTimeout>\n"
                           "  <ConnectTimeout>3000ms</ConnectTimeout>\n"
                           "  <SendBufferSize>65536</SendBufferSize>\n"
                           "  <VOZevezu_Host>\n"
                           "    <ip>10.20.30.40</ip>\n"
                           "    <port>70000</port>\n"
                           "  </VOZevezu_Host>\n"
                           "</GameThunkServer>\n";

class ConfigReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = m_dir.Path() + "/QVThunkConfig.xml";
        m_log = m_dir.Path() + "/log.txt";
        set_log_file(m_log);
        std::snprintf(g_szPidPrefix, sizeof(g_szPidPrefix), "%s", "");
        m_thunk.Prepare();
        m_thunk.m_bConsole = false;
    }
    void TearDown() override { set_log_file("VornProxyLog"); }

    // Texts of the log lines after the 19-character timestamp.
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> texts;
        for (const std::string &line : read_lines(m_log))
            texts.push_back(line.size() >= 19 ? line.substr(19) : line);
        return texts;
    }
    std::string HostText() const {
        const unsigned char *b =
            reinterpret_cast<const unsigned char *>(&m_thunk.m_ServerAddr.host);
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
               "." + std::to_string(b[3]);
    }
    uint16_t Port() const { return swap_bytes16(m_thunk.m_ServerAddr.port); }

    testkit::TempDir m_dir;
    std::string m_config;
    std::string m_log;
    GameServerThunk m_thunk{TEST_RELAY_HOST};
};

} // namespace

TEST_F(ConfigReaderTest, GlobalReaderTakesOnlyTheStartFlag) {
    write_file(m_config, FULL_CONFIG);
    g_bGameThunkServerStart = false;
    EXPECT_EQ(0, read_xml_global(m_config));
    EXPECT_TRUE(g_bGameThunkServerStart);
    write_file(m_config, "<GameThunkServer><Console>1</Console></GameThunkServer>");
    EXPECT_EQ(0, read_xml_global(m_config));
    EXPECT_FALSE(g_bGameThunkServerStart);
    EXPECT_EQ(-1, read_xml_global(m_dir.Path() + "/missing.xml"));
    EXPECT_TRUE(read_lines(m_log).empty()) << "the global reader logs nothing";
}

TEST_F(ConfigReaderTest, StartReaderFillsEverySetting) {
    write_file(m_config, FULL_CONFIG);
    ASSERT_EQ(0, m_thunk.read_xml_config(m_config));
    EXPECT_EQ("10.20.30.40", HostText());
    EXPECT_EQ(4464, Port()) << "70000 keeps its low 16 bits";
    EXPECT_TRUE(m_thunk.m_bConsole);
    EXPECT_TRUE(m_thunk.m_bLogConnectionError);
    EXPECT_EQ(2500u, m_thunk.m_nTryInterval);
    EXPECT_EQ(4294967295u, m_thunk.m_nCheckInterval);
    EXPECT_TRUE(m_thunk.m_bQueueMode);
    EXPECT_EQ(5000u, m_thunk.m_nDeadLinkTimeout);
    EXPECT_EQ(3000u, m_thunk.m_nConnectTimeout);
    EXPECT_EQ(65536u, m_thunk.m_nSendBufferSize);
    std::vector<std::string> texts = LogTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("file: " + m_config + "ItemSever Ip:10.20.30.40,Port:70000", texts[0]);
}

TEST_F(ConfigReaderTest, StartReaderDefaultsSilently) {
    write_file(m_config, "<GameThunkServer><VOZevezu_Host><ip>localhost</ip></VOZevezu_Host>"
                         "</GameThunkServer>");
    m_thunk.m_nTryInterval = 1;
    m_thunk.m_nDeadLinkTimeout = m_thunk.m_nConnectTimeout = m_thunk.m_nSendBufferSize = 1;
    m_thunk.m_bConsole = true;
    ASSERT_EQ(0, m_thunk.read_xml_config(m_config));
    EXPECT_EQ("127.0.0.1", HostText()) << "an ip that is not an address keeps the host";
    EXPECT_EQ(15306, Port());
    EXPECT_FALSE(m_thunk.m_bConsole);
    EXPECT_FALSE(m_thunk.m_bLogConnectionError);
    EXPECT_EQ(60000u, m_thunk.m_nTryInterval);
    EXPECT_EQ(60000u, m_thunk.m_nCheckInterval);
    EXPECT_FALSE(m_thunk.m_bQueueMode);
    EXPECT_EQ(60000u, m_thunk.m_nDeadLinkTimeout) << "dead links are looked for by default";
    EXPECT_EQ(0u, m_thunk.m_nConnectTimeout) << "the platform's connect time-out by default";
    EXPECT_EQ(1048576u, m_thunk.m_nSendBufferSize);
    std::vector<std::string> texts = LogTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("file: " + m_config + "ItemSever Ip:localhost,Port:15306", texts[0]);
}

TEST_F(ConfigReaderTest, StartReaderFailsOnMissingFileAndChangesNothing) {
    m_thunk.m_nTryInterval = 7;
    EXPECT_EQ(-1, m_thunk.read_xml_config(m_dir.Path() + "/missing.xml"));
    EXPECT_EQ(7u, m_thunk.m_nTryInterval);
    EXPECT_TRUE(read_lines(m_log).empty());
}

TEST_F(ConfigReaderTest, AttemptReaderRereadsAddressIntervalLogSwitchAndLinkOptionsOnly) {
    write_file(m_config, FULL_CONFIG);
    m_thunk.m_nCheckInterval = 123;
    m_thunk.m_bQueueMode = false;
    m_thunk.m_nDeadLinkTimeout = m_thunk.m_nConnectTimeout = m_thunk.m_nSendBufferSize = 1;
    int32_t before = g_nTryConnectionLogCount;
    EXPECT_EQ(0, m_thunk.read_xml_config_try_connection(m_config));
    EXPECT_EQ("10.20.30.40", HostText());
    EXPECT_EQ(4464, Port());
    EXPECT_TRUE(m_thunk.m_bLogConnectionError);
    EXPECT_EQ(2500u, m_thunk.m_nTryInterval);
    EXPECT_EQ(5000u, m_thunk.m_nDeadLinkTimeout) << "link options take effect at the next attempt";
    EXPECT_EQ(3000u, m_thunk.m_nConnectTimeout);
    EXPECT_EQ(65536u, m_thunk.m_nSendBufferSize);
    EXPECT_EQ(123u, m_thunk.m_nCheckInterval) << "the keep-alive interval is read at start only";
    EXPECT_FALSE(m_thunk.m_bConsole);
    EXPECT_FALSE(m_thunk.m_bQueueMode);
    std::vector<std::string> texts = LogTexts();
    if (before < 10) {
        ASSERT_EQ(1u, texts.size());
        EXPECT_EQ("file: " + m_config + "Ip:10.20.30.40,Port:70000", texts[0]);
    } else {
        EXPECT_TRUE(texts.empty());
    }
}

TEST_F(ConfigReaderTest, AttemptReaderNamesEachDefaultedKey) {
    write_file(m_config, "<GameThunkServer><TryConnectionInteval>x</TryConnectionInteval>"
                         "<VOZevezu_Host ip=\"1.2.3.4\"/></GameThunkServer>");
    g_nTryConnectionLogCount = 10; // the address line is spent
    EXPECT_EQ(0, m_thunk.read_xml_config_try_connection(m_config));
    EXPECT_EQ("127.0.0.1", HostText());
    EXPECT_EQ(15306, Port());
    EXPECT_EQ(60000u, m_thunk.m_nTryInterval);
    EXPECT_EQ(60000u, m_thunk.m_nDeadLinkTimeout);
    // The link options default without a line, as files written before them do.
    std::vector<std::string> expected = {
        "Err LogConnectionError Usedefault ", "Err TryConnectionInteval Usedefault ",
        "Err VOZevezu_Host:ip Usedefault ", "Err VOZevezu_Host:port Usedefault "};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(ConfigReaderTest, AttemptReaderKeepsSettingsWhenFileIsGone) {
    m_thunk.m_nTryInterval = 9;
    m_thunk.m_ServerAddr.port = swap_bytes16(4321);
    EXPECT_EQ(0, m_thunk.read_xml_config_try_connection(m_config));
    EXPECT_EQ(9u, m_thunk.m_nTryInterval);
    EXPECT_EQ(4321, Port());
    std::vector<std::string> texts = LogTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("read_xml_config_try_connection err file: " + m_config, texts[0]);
}

TEST_F(ConfigReaderTest, AttemptReaderLinesAreLimited) {
    g_nTryConnectionLogCount = 10;
    for (int i = 0; i < 60; ++i)
        m_thunk.read_xml_config_try_connection(m_config);
    EXPECT_EQ(49u, LogTexts().size());
}
