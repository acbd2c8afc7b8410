// The server link: how connections end, what is logged, and how the relay
// tries again.
#include <atomic>
#include <chrono>
#include <thread>

#include "relay_host_test.h"

using testkit::Bytes;
using testkit::ThunkConfig;

namespace {

// The three lines that end every connection, in order. The monitor thread
// may log in between (at a stop it writes its shut-down line meanwhile), but
// no other line of the connection itself.
void expect_end_lines(const std::vector<std::string> &texts, const std::string &peer, int stored,
                      int returned) {
    size_t at = find_text(texts, ">" + peer + " Disconnected," + std::to_string(stored));
    ASSERT_NE(std::string::npos, at) << "no Disconnected line with " << stored;
    size_t closeAt = find_text(texts, ">dis con   " + peer + ",nCallFrom:2", at);
    size_t threadAt = find_text(texts, "> connectting_thread reV:" + std::to_string(returned), at);
    ASSERT_NE(std::string::npos, closeAt) << "no dis con line after the Disconnected line";
    EXPECT_LT(closeAt, threadAt);
    for (size_t i = at + 1; i < closeAt; ++i)
        EXPECT_EQ(">VornProxy ShutDown", texts[i]) << "line " << i << " between the end lines";
}

} // namespace

TEST_F(RelayHostTest, ServerCloseEndsTheConnectionWithMinus103) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-103"));
    expect_end_lines(LogTexts(), Peer(), -103, -103);
    EXPECT_EQ("@send 0", Cmd("send D 1 61")); // dropped while down
}

TEST_F(RelayHostTest, ServerResetEndsTheConnection) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_TRUE(m_server.ResetClient());
#if defined(_WIN32)
    // Some Winsock implementations (wine's) hand a reset to recv as an
    // orderly end, which the relay reports as a close.
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-10"));
    const int code = CountLog("> connectting_thread reV:-102") > 0 ? -102 : -103;
#else
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-102"));
    const int code = -102;
#endif
    expect_end_lines(LogTexts(), Peer(), code, code);
}

TEST_F(RelayHostTest, UnknownTypeEndsTheConnectionWithMinus106) {
    StartServer();
    StartConnected(Connecting());
    Bytes stream = testkit::EncodePacket('Z', 1, testkit::ToBytes("?"));
    Bytes after = testkit::EncodePacket('D', 2, testkit::ToBytes("never"));
    stream.insert(stream.end(), after.begin(), after.end());
    ASSERT_TRUE(m_server.SendRaw(stream));
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-106"));
    std::vector<std::string> texts = LogTexts();
    size_t wrong = find_text(texts, "Wrong msg... ");
    ASSERT_NE(std::string::npos, wrong);
    EXPECT_LT(wrong, find_text(texts, ">" + Peer() + " Disconnected,-106"));
    expect_end_lines(texts, Peer(), -106, -106);
    EXPECT_EQ("", NextCallback(300)) << "bytes after the unknown packet are not looked at";
}

TEST_F(RelayHostTest, ShortSendEndsTheConnectionAndNothingFollowsTheTornPacket) {
    m_server.SetReceiveBufferSize(4096);
    StartServer();
    m_server.SetReading(false);
    StartConnected(Connecting());
    // The server reads nothing; sends fill the socket buffers and one comes up short.
    std::string flood = m_host.Command("flood 2 5000 800", 120000);
    EXPECT_EQ(0u, flood.find("@flood ")) << flood;
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-1"));
    expect_end_lines(LogTexts(), Peer(), -107, -1);

    m_server.SetReading(true); // drain what the relay managed to send
    ASSERT_TRUE(m_server.WaitForDisconnect(LONG_WAIT_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    testkit::WireParser parser;
    std::vector<testkit::WirePacket> packets;
    Bytes raw = m_server.RawBytes(0);
    parser.Feed(raw.data(), raw.size(), &packets);
    EXPECT_FALSE(parser.Malformed()) << "bytes after a torn packet would break the framing";
    EXPECT_LT(parser.PendingBytes(), 809u) << "at most one packet is torn, and it is the last";
    EXPECT_GT(packets.size(), 0u);
}

TEST_F(RelayHostTest, FailureLineIsCappedAtTenInARowAndComesBackAfterAConnection) {
    StartServer();
    uint16_t port = m_server.Port();
    m_server.Stop(); // nothing listens on the port now
    ThunkConfig config = ThunkConfig::Connecting(port);
    config.tryInterval = "0";
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    const std::string failed = ">VornProxy Connect to VOZevezu Failed!!!! ";
    ASSERT_TRUE(WaitForLog(failed, 10));
    std::this_thread::sleep_for(std::chrono::seconds(4)); // four more attempts
    EXPECT_EQ(10u, CountLog(failed));

    ASSERT_TRUE(m_server.Start(port)) << m_server.Error();
    ASSERT_TRUE(WaitForLog(">Connected To"));
    ASSERT_TRUE(m_server.CloseClient());
    m_server.Stop();
    ASSERT_TRUE(WaitForLog(failed, 20));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(20u, CountLog(failed));
}

TEST_F(RelayHostTest, UnspecifiedAddressIsNeverTried) {
    StartServer();
    ThunkConfig config = Connecting();
    config.ip = "0.0.0.0";
    config.tryInterval = "0";
    LaunchHost(config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(WaitForLog(">VornProxy Connect to VOZevezu Failed!!!! ", 3));
    EXPECT_EQ(0u, m_server.AcceptCount());
}

TEST_F(RelayHostTest, ChangedPortTakesEffectAtTheNextAttempt) {
    StartServer();
    testkit::LoopbackServer second;
    ASSERT_TRUE(second.Start());
    StartConnected(Connecting());

    ASSERT_TRUE(m_host.WriteConfig(ThunkConfig::Connecting(second.Port())));
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(second.WaitForClient(LONG_WAIT_MS));
    // Messages are taken once the connection thread runs; it logs this first.
    ASSERT_TRUE(WaitForLog(">Connected To 127.0.0.1-" + std::to_string(second.Port())));
    EXPECT_EQ(1u, m_server.AcceptCount());
    EXPECT_EQ("@send 0", Cmd("send D 5 61"));
    EXPECT_TRUE(second.WaitForPackets(1, LONG_WAIT_MS));
    second.Stop();
}

TEST_F(RelayHostTest, SilentServerKeepsTheConnection) {
    StartServer();
    ThunkConfig config = Connecting();
    config.checkInterval = "0";
    StartConnected(config);
    ASSERT_TRUE(m_server.WaitForPackets(3, LONG_WAIT_MS)); // three passes of keep-alives
    EXPECT_EQ(1u, m_server.AcceptCount());
    EXPECT_TRUE(m_server.ClientConnected());
    EXPECT_EQ(0u, CountLog("Disconnected"));
}

// An exit while the link is idle ends the relay's wait; an exit while the
// server floods the link, so that the relay never needs to wait, is seen
// between its reads. Either way the link ends at once and in order.
TEST_F(RelayHostTest, ExitWhileConnectedEndsTheLinkInOrder) {
    ExitEndsTheLinkInOrder(false);
}

TEST_F(RelayHostTest, ExitWhileTheServerFloodsEndsTheLinkInOrder) {
    ExitEndsTheLinkInOrder(true);
}

void RelayHostTest::ExitEndsTheLinkInOrder(bool bFlooding) {
    StartServer();
    StartConnected(Connecting());
    std::atomic<bool> bStop{false};
    std::thread flood([&] {
        const Bytes data(64, 0x5A);
        for (uint32_t id = 0; bFlooding && !bStop; ++id) {
            if (!m_server.SendPacket('D', id, data, 1000))
                break; // the relay has stopped reading
        }
    });
    if (bFlooding) {
        EXPECT_EQ(0u, NextCallback().find("@D ")) << "the flood did not reach the host";
    }
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    bStop = true;
    flood.join();
    std::vector<std::string> texts = LogTexts();
    size_t exitAt = find_text(texts, "> In sh_load_exit");
    ASSERT_NE(std::string::npos, exitAt);
    expect_end_lines(texts, Peer(), -107, -1);
    EXPECT_LT(exitAt, find_text(texts, "> connectting_thread reV:-1"));
    EXPECT_LT(find_text(texts, "> connectting_thread reV:-1"),
              find_text(texts, "> In sh_load_exit end"));
    EXPECT_TRUE(m_server.WaitForDisconnect(LONG_WAIT_MS));
}

// The code-1003 function hears of each connection: up after its "Connected
// To" line and before its first message, down after its three end lines,
// with the code of its end; the relay reconnects at every pass here.
TEST_F(RelayHostTest, LinkStateFollowsEachConnectionAfterItsLogLines) {
    m_server.SetReceiveBufferSize(4096);
    StartServer();
    ThunkConfig config = Connecting();
    config.tryInterval = "0";
    LaunchHost(config);
    ASSERT_EQ("@setfunc", Cmd("setfunc 1003"));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForClient(LONG_WAIT_MS));
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("a")));
    EXPECT_EQ("@L 1 0", NextCallback());
    EXPECT_EQ(1u, CountLog(">Connected To " + Peer()));
    EXPECT_EQ("@D 1 1 61", NextCallback());

    ASSERT_TRUE(m_server.CloseClient());
    EXPECT_EQ("@L 0 -103", NextCallback());
    EXPECT_EQ(1u, CountLog("> connectting_thread reV:-103"));
    EXPECT_EQ("@L 1 0", NextCallback());
    EXPECT_EQ(2u, CountLog(">Connected To " + Peer()));

    // The server reads nothing, so a send comes up short.
    m_server.SetReading(false);
    std::string flood = m_host.Command("flood 2 5000 800", 120000);
    EXPECT_EQ(0u, flood.find("@flood ")) << flood;
    EXPECT_EQ("@L 0 -107", NextCallback());
    EXPECT_LE(1u, CountLog("> connectting_thread reV:-1"));
}

// Nothing is reported to a host that has not registered, nor after a stop;
// a registration survives the stop and a restart, and null unregisters.
TEST_F(RelayHostTest, LinkStateOnlyWhileRegisteredAndNeverAfterAStop) {
    StartServer();
    ThunkConfig config = Connecting();
    config.tryInterval = "0";
    StartConnected(config);
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("a")));
    EXPECT_EQ("@D 1 1 61", NextCallback());
    ASSERT_TRUE(m_server.CloseClient());
    WaitConnected(2);

    ASSERT_EQ("@setfunc", Cmd("setfunc 1003"));
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    EXPECT_EQ("@start 0 pfrec=1", Cmd("start"));
    EXPECT_EQ("@L 1 0", NextCallback());
    WaitConnected(3);

    ASSERT_EQ("@setfunc", Cmd("setfunc 1003 null"));
    ASSERT_TRUE(m_server.CloseClient());
    WaitConnected(4);
    ASSERT_TRUE(m_server.SendPacket('D', 2, testkit::ToBytes("b")));
    EXPECT_EQ("@D 2 1 62", NextCallback());
    size_t nLinkLines = 0;
    for (const std::string &line : m_host.Host().Lines())
        nLinkLines += line.compare(0, 3, "@L ") == 0;
    EXPECT_EQ(1u, nLinkLines) << m_host.Host().Output();
}
