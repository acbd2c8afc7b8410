#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "loopback_server.h"
#include "test_client.h"

using namespace testkit;

namespace {

const int WAIT_MS = 10000;

class LoopbackServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.Error(); }
    void Connect() {
        ASSERT_TRUE(client.Connect(server.Port()));
        ASSERT_TRUE(server.WaitForClient(WAIT_MS));
    }

    LoopbackServer server;
    TestClient client;
};

TEST_F(LoopbackServerTest, ParsesPacketsSplitAcrossWrites) {
    Connect();
    Bytes first = EncodePacket('D', 7, ToBytes("split me"));
    Bytes rest = EncodePacket('K', 3, Bytes{5, 0, 0, 0});
    Bytes third = EncodePacket('C', 0, Bytes());
    rest.insert(rest.end(), third.begin(), third.end());
    for (uint8_t byte : first) { // one write per byte
        ASSERT_TRUE(client.Send(Bytes{byte}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(client.Send(rest)); // two packets in one write

    ASSERT_TRUE(server.WaitForPackets(3, WAIT_MS));
    std::vector<WirePacket> packets = server.Packets();
    ASSERT_EQ(3u, packets.size());
    EXPECT_EQ('D', packets[0].type);
    EXPECT_EQ(7u, packets[0].id);
    EXPECT_EQ(ToBytes("split me"), packets[0].data);
    EXPECT_EQ('K', packets[1].type);
    EXPECT_EQ('C', packets[2].type);
    Bytes all = first;
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, server.RawBytes());
    EXPECT_EQ(all, server.RawBytes(0));
    EXPECT_FALSE(server.Connections()[0].malformed);
}

TEST_F(LoopbackServerTest, EchoAnswersOnlyDPackets) {
    server.SetEcho(true);
    Connect();
    Bytes stream = EncodePacket('K', 1, Bytes{1, 2, 3, 4});
    Bytes d1 = EncodePacket('D', 42, ToBytes("xyz"));
    Bytes d2 = EncodePacket('D', 43, Bytes());
    stream.insert(stream.end(), d1.begin(), d1.end());
    stream.insert(stream.end(), d2.begin(), d2.end());
    ASSERT_TRUE(client.Send(stream));

    // The "K" comes first but is not answered: the first bytes back are the echoes.
    Bytes expected = d1;
    expected.insert(expected.end(), d2.begin(), d2.end());
    EXPECT_EQ(expected, client.Receive(expected.size(), WAIT_MS));
    EXPECT_EQ(2u, server.SentPacketCount());
}

TEST_F(LoopbackServerTest, SendsPacketsToTheClient) {
    EXPECT_FALSE(server.SendRaw(Bytes{1, 2, 3}, 100)); // no client yet
    Connect();
    Bytes value;
    PutU32le(&value, 77);
    ASSERT_TRUE(server.SendPacket('K', 5, value));
    EXPECT_EQ(EncodePacket('K', 5, value), client.Receive(13, WAIT_MS));
}

TEST_F(LoopbackServerTest, CloseAndResetReachThePeer) {
    Connect();
    ASSERT_TRUE(server.CloseClient());
    EXPECT_EQ(TestClient::END_CLOSED, client.WaitForEnd(WAIT_MS));
    EXPECT_TRUE(server.WaitForDisconnect(WAIT_MS));
    EXPECT_FALSE(server.CloseClient()); // nobody left to close

    Connect();
    ASSERT_TRUE(server.ResetClient());
    EXPECT_EQ(TestClient::END_RESET, client.WaitForEnd(WAIT_MS));
    std::vector<ConnectionRecord> connections = server.Connections();
    ASSERT_EQ(2u, connections.size());
    EXPECT_FALSE(connections[1].open);
    EXPECT_FALSE(connections[1].closedByPeer);
}

TEST_F(LoopbackServerTest, AcceptActionsCloseOrResetNewClients) {
    server.SetAcceptAction(AcceptAction::CLOSE);
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_EQ(TestClient::END_CLOSED, client.WaitForEnd(WAIT_MS));

    server.SetAcceptAction(AcceptAction::RESET);
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_EQ(TestClient::END_RESET, client.WaitForEnd(WAIT_MS));
    EXPECT_TRUE(server.WaitForAccepts(2, WAIT_MS));
    EXPECT_FALSE(server.ClientConnected());
}

TEST_F(LoopbackServerTest, NewClientReplacesTheOldOne) {
    Connect();
    TestClient second;
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_TRUE(server.WaitForAccepts(2, WAIT_MS));
    EXPECT_EQ(TestClient::END_CLOSED, client.WaitForEnd(WAIT_MS));

    ASSERT_TRUE(second.Send(EncodePacket('D', 2, ToBytes("b"))));
    ASSERT_TRUE(server.WaitForPackets(1, WAIT_MS));
    EXPECT_TRUE(server.Packets(0).empty());
    ASSERT_EQ(1u, server.Packets(1).size());
    EXPECT_EQ(2u, server.Packets(1)[0].id);
}

TEST_F(LoopbackServerTest, RefusedClientsLeaveTheCurrentOneAlone) {
    Connect();
    server.SetAcceptAction(AcceptAction::CLOSE);
    TestClient refused;
    ASSERT_TRUE(refused.Connect(server.Port()));
    EXPECT_EQ(TestClient::END_CLOSED, refused.WaitForEnd(WAIT_MS));

    ASSERT_TRUE(client.Send(EncodePacket('D', 9, ToBytes("still here"))));
    ASSERT_TRUE(server.WaitForPackets(1, WAIT_MS));
    EXPECT_EQ(1u, server.Packets(0).size());
    EXPECT_TRUE(server.Packets(1).empty());
    ASSERT_TRUE(server.SendPacket('C', 0, Bytes()));
    EXPECT_EQ(EncodePacket('C', 0, Bytes()), client.Receive(9, WAIT_MS));
    EXPECT_TRUE(server.ClientConnected());
}

TEST_F(LoopbackServerTest, RecordsPeerCloseAndMalformedStreams) {
    Connect();
    Bytes bad;
    PutU32le(&bad, 3); // shorter than any packet
    bad.push_back('D');
    ASSERT_TRUE(client.Send(bad));
    client.Close();
    ASSERT_TRUE(server.WaitForDisconnect(WAIT_MS));
    ConnectionRecord record = server.Connections()[0];
    EXPECT_TRUE(record.closedByPeer);
    EXPECT_TRUE(record.malformed);
    EXPECT_EQ(bad, record.raw);
    EXPECT_TRUE(record.packets.empty());
}

TEST_F(LoopbackServerTest, StoppedReadingFillsThePeerUntilResumed) {
    server.SetReading(false);
    Connect();
    client.SetSendBuffer(4096);
    Bytes chunk = EncodePacket('D', 1, Bytes(1000, 0x55));
    size_t sent = client.FillUntilBlocked(chunk, 256u << 20);
    EXPECT_LT(sent, 256u << 20) << "the sends never came up short";
    EXPECT_EQ(0u, server.ByteCount());

    server.SetReading(true);
    EXPECT_TRUE(server.WaitForPackets(sent / chunk.size(), WAIT_MS));
}

TEST_F(LoopbackServerTest, StopsListeningAndRestartsOnTheSamePort) {
    uint16_t port = server.Port();
    ASSERT_TRUE(server.StopListening());
    EXPECT_EQ(ECONNREFUSED, TryConnect(port, WAIT_MS));
    ASSERT_TRUE(server.Restart());
    EXPECT_EQ(port, server.Port());
    ASSERT_TRUE(client.Connect(port));
    EXPECT_TRUE(server.WaitForAccepts(1, WAIT_MS));
}

TEST_F(LoopbackServerTest, StopEndsTheClientAndIsRepeatable) {
    Connect();
    server.Stop();
    EXPECT_EQ(TestClient::END_CLOSED, client.WaitForEnd(WAIT_MS));
    server.Stop();
    EXPECT_FALSE(server.SendRaw(Bytes{1}));
    EXPECT_FALSE(server.CloseClient());
}

TEST(StuckListener, ConnectsNeverComplete) {
    StuckListener listener;
    ASSERT_TRUE(listener.Start());
    EXPECT_EQ(ETIMEDOUT, TryConnect(listener.Port(), 1500));
}

} // namespace
