// Messages both ways through a real connection: the bytes on the wire, the
// results the host sees, and what reaches the host's callbacks.
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "relay_host_test.h"

using testkit::Bytes;
using testkit::ThunkConfig;

TEST_F(RelayHostTest, ExamplePacketGoesOutByteForByte) {
    StartServer();
    StartConnected(Connecting());
    EXPECT_EQ("@send 0", Cmd("send D 7 616263"));
    EXPECT_EQ("@rec 0", Cmd("rec 0x01 4294967295 -"));
    ASSERT_TRUE(m_server.WaitForPackets(2, LONG_WAIT_MS));
    EXPECT_EQ("0c00000044070000006162630900000001ffffffff", testkit::ToHex(m_server.RawBytes()));
}

TEST_F(RelayHostTest, KeepAliveIsNineExactBytes) {
    StartServer();
    ThunkConfig config = Connecting();
    config.checkInterval = "0";
    StartConnected(config);
    ASSERT_TRUE(m_server.WaitForPackets(1, LONG_WAIT_MS));
    EXPECT_EQ("090000004300000000", testkit::ToHex(m_server.RawBytes()).substr(0, 18));
}

TEST_F(RelayHostTest, PayloadSizeLimitsWhileConnected) {
    StartServer();
    StartConnected(Connecting());
    EXPECT_EQ("@send 0", Cmd("sendn D 1 0"));
    EXPECT_EQ("@send 0", Cmd("sendn D 2 800"));
    EXPECT_EQ("@send -1", Cmd("sendn D 3 801"));
    EXPECT_EQ("@send -1", Cmd("sendn D 4 -1"));
    EXPECT_EQ("@send -1", Cmd("sendnull 5"));
    EXPECT_EQ("@send 0", Cmd("sendn D 6 1"));
    ASSERT_TRUE(m_server.WaitForPackets(3, LONG_WAIT_MS));
    std::vector<testkit::WirePacket> packets = m_server.Packets();
    ASSERT_EQ(3u, packets.size());
    EXPECT_EQ(1u, packets[0].id);
    EXPECT_TRUE(packets[0].data.empty());
    EXPECT_EQ(2u, packets[1].id);
    EXPECT_EQ(800u, packets[1].data.size());
    EXPECT_EQ(6u, packets[2].id);
    EXPECT_EQ(9u + 809u + 10u, m_server.RawBytes().size());
}

TEST_F(RelayHostTest, EverySizeIsAcceptedAndDroppedWhileDisconnected) {
    LaunchHost(ThunkConfig::Connecting(1)); // nothing listens there
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    EXPECT_EQ("@send 0", Cmd("sendn D 1 0"));
    EXPECT_EQ("@send 0", Cmd("sendn D 1 800"));
    EXPECT_EQ("@send 0", Cmd("sendn D 1 801"));
    EXPECT_EQ("@send 0", Cmd("sendn D 1 -1"));
    EXPECT_EQ("@send 0", Cmd("sendnull 5"));
    EXPECT_EQ("@getdata 1 - 4294967295 4294967295 -", Cmd("getdata 16"));
}

TEST_F(RelayHostTest, ServerMessagesReachTheCallbacks) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_EQ("@setfunc", Cmd("setfunc 1002"));
    Bytes kBody = {5, 0, 0, 0, 77, 0, 0, 0};
    ASSERT_TRUE(m_server.SendPacket('D', 7, testkit::ToBytes("abc")));
    ASSERT_TRUE(m_server.SendPacket('C', 1, testkit::ToBytes("ignored")));
    ASSERT_TRUE(m_server.SendRaw({0x0d, 0, 0, 0, 'K', 5, 0, 0, 0, 77, 0, 0, 0}));
    ASSERT_TRUE(m_server.SendRaw({0x0b, 0, 0, 0, 'K', 6, 0, 0, 0, 1, 2})); // value missing
    ASSERT_TRUE(m_server.SendRaw({0x05, 0, 0, 0, 'K'}));                   // type byte only
    ASSERT_TRUE(m_server.SendRaw({0x09, 0, 0, 0, 'D', 8, 0, 0, 0}));       // no data
    ASSERT_TRUE(m_server.SendRaw({0x0e, 0, 0, 0, 'K', 1, 0, 0, 0, 2, 0, 0, 0, 9})); // extra byte

    EXPECT_EQ("@D 7 3 616263", NextCallback());
    EXPECT_EQ("@K 5 77", NextCallback());
    EXPECT_EQ("@K 6 0", NextCallback());
    EXPECT_EQ("@K 0 0", NextCallback());
    EXPECT_EQ("@D 8 0 -", NextCallback());
    EXPECT_EQ("@K 1 2", NextCallback());
    EXPECT_EQ(0u, CountLog("Wrong msg"));
    EXPECT_EQ(0u, CountLog("invalid"));
    EXPECT_TRUE(m_server.ClientConnected());
}

TEST_F(RelayHostTest, MessagesWithoutARegisteredCallbackAreDropped) {
    StartServer();
    LaunchHost(Connecting());
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start nosend"));
    WaitConnected();
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("x")));
    ASSERT_TRUE(m_server.SendRaw({0x0d, 0, 0, 0, 'K', 5, 0, 0, 0, 77, 0, 0, 0}));
    // A zero length is logged once everything before it has been handled.
    ASSERT_TRUE(m_server.SendRaw({0, 0, 0, 0}));
    ASSERT_TRUE(WaitForLog("packetSize is invalid error,packetSize==0"));
    ASSERT_EQ("@setfunc", Cmd("setfunc 1002")); // registered only now
    ASSERT_TRUE(m_server.SendRaw({0x0d, 0, 0, 0, 'K', 6, 0, 0, 0, 78, 0, 0, 0}));
    EXPECT_EQ("@K 6 78", NextCallback()) << "nothing before it reached the host";
}

TEST_F(RelayHostTest, LargestDataPacketArrivesWhole) {
    StartServer();
    StartConnected(Connecting());
    Bytes data(4991);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(m_server.SendPacket('D', 3, data));
    std::string expected = "@D 3 4991 " + testkit::ToHex(data.data(), 64) + "... ";
    char fnv[9];
    std::snprintf(fnv, sizeof(fnv), "%08x", testkit::Fnv1a32(data.data(), data.size()));
    EXPECT_EQ(expected + fnv, NextCallback());
}

TEST_F(RelayHostTest, InvalidAndShortLengthsAreLoggedAndTheLinkStays) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_TRUE(m_server.SendRaw({0x03, 0, 0, 0, 'D', 1, 2, 3}));
    ASSERT_TRUE(WaitForLog("in connectting_thread packetSize is invalid error,packetSize==3"));
    ASSERT_TRUE(m_server.SendRaw({0x06, 0, 0, 0, 'D', 1}));
    ASSERT_TRUE(WaitForLog("in connectting_thread packetSize is invalid error,packetSize==6"));
    Bytes big = {0x89, 0x13, 0, 0, 'D'}; // 5001
    ASSERT_TRUE(m_server.SendRaw(big));
    ASSERT_TRUE(WaitForLog("in connectting_thread packetSize is invalid error,packetSize==5001"));
    ASSERT_TRUE(m_server.SendPacket('D', 4, testkit::ToBytes("ok")));
    EXPECT_EQ("@D 4 2 6f6b", NextCallback());
    EXPECT_EQ(1u, m_server.AcceptCount());
}

TEST_F(RelayHostTest, CallbackMaySendOnTheConnectionThread) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_EQ("@echo on", Cmd("echo on"));
    for (uint32_t id = 1; id <= 20; ++id)
        ASSERT_TRUE(m_server.SendPacket('D', id, testkit::ToBytes("e" + std::to_string(id))));
    ASSERT_TRUE(m_server.WaitForPackets(20, LONG_WAIT_MS));
    std::vector<testkit::WirePacket> back = m_server.Packets();
    for (uint32_t id = 1; id <= 20; ++id) {
        EXPECT_EQ('D', back[id - 1].type);
        EXPECT_EQ(id, back[id - 1].id);
        EXPECT_EQ(testkit::ToBytes("e" + std::to_string(id)), back[id - 1].data);
    }
}

TEST_F(RelayHostTest, ConcurrentSendersNeverInterleavePackets) {
    StartServer();
    StartConnected(Connecting());
    const int kThreads = 6;
    const int kCount = 400;
    EXPECT_EQ("@flood 2400 0", m_host.Command("flood 6 400 100", 120000));
    ASSERT_TRUE(m_server.WaitForPackets(kThreads * kCount, 60000));
    std::map<uint32_t, uint32_t> nextSeq;
    for (const testkit::WirePacket &packet : m_server.Packets()) {
        ASSERT_EQ('D', packet.type);
        ASSERT_EQ(100u, packet.data.size());
        uint32_t thread = testkit::GetU32le(packet.data.data());
        uint32_t seq = testkit::GetU32le(packet.data.data() + 4);
        EXPECT_EQ(packet.id, thread);
        EXPECT_EQ(nextSeq[thread]++, seq) << "thread " << thread;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads), nextSeq.size());
    EXPECT_FALSE(m_server.Connections().at(0).malformed);
}

TEST_F(RelayHostTest, QueueModeDeliversInOrderThroughGetData) {
    StartServer();
    ThunkConfig config = Connecting();
    config.queueMode = "1";
    StartConnected(config);
    ASSERT_EQ("@setfunc", Cmd("setfunc 1002"));
    EXPECT_EQ("@getdata 1 - 4294967295 4294967295 -", Cmd("getdata 64"));
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("first")));
    ASSERT_TRUE(m_server.SendRaw({0x0d, 0, 0, 0, 'K', 2, 0, 0, 0, 9, 0, 0, 0}));
    ASSERT_TRUE(m_server.SendPacket('D', 3, Bytes(40, 'x')));
    ASSERT_TRUE(m_server.SendPacket('D', 4, testkit::ToBytes("last")));
    ASSERT_TRUE(m_server.SendRaw({0x06, 0, 0, 0, 'K', 1}));

    // Each message may still be on its way when the one before it is taken.
    const auto next = [this] {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((line = Cmd("getdata 16")).compare(0, 11, "@getdata 1 ") == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return line;
    };
    EXPECT_EQ("@getdata 0 D 1 5 6669727374", next());
    EXPECT_EQ("@getdata 0 K 2 4 09000000", next());
    EXPECT_EQ("@getdata 2 - 4294967295 0 -", next()) << "40 bytes do not fit in 16";
    EXPECT_EQ("@getdata 0 D 4 4 6c617374", next());
    EXPECT_EQ("@getdata 0 K 0 0 -", next()) << "a short K body hands out no data";
    EXPECT_EQ("@getdata 1 - 4294967295 0 -", Cmd("getdata 16"));
    EXPECT_EQ(1u, CountLog("GetData pData small ,nBuffLen:16,nAxSize:40"));
    EXPECT_EQ("", NextCallback(300)) << "queue mode calls no callback";
}
