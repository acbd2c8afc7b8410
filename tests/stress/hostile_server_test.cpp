// Servers that misbehave: resets in the middle of a packet, random bytes,
// packets of unknown types, floods of the largest packets, a server that
// stops reading, and one that never says anything.
#include <chrono>
#include <random>
#include <thread>

#include "stress_test.h"

using testkit::Bytes;
using testkit::EncodePacket;
using testkit::ThunkConfig;

namespace {

// A data payload that differs with the id and along its length.
Bytes patterned(uint32_t nId, size_t nSize) {
    Bytes data(nSize);
    for (size_t i = 0; i < nSize; ++i)
        data[i] = static_cast<uint8_t>(nId * 131 + i * 7 + (i >> 8));
    return data;
}

std::string expected_line(uint32_t nId, const Bytes &data) {
    return "@D " + std::to_string(nId) + " " + std::to_string(data.size()) + " " +
           data_preview(data);
}

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes bytes(n);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

ThunkConfig quick_retry(ThunkConfig config) {
    config.tryInterval = "0";
    return config;
}

} // namespace

TEST_F(StressTest, ResetsInsideAPacketNeverDeliverPartOfIt) {
    StartServer();
    StartConnected(quick_retry(Connecting()));
    const int ROUNDS = 5;
    for (int round = 0; round < ROUNDS; ++round) {
        WaitConnected(static_cast<size_t>(round) + 1); // the relay is reading
        ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
        // The header and part of the data, cut at a different place each round.
        Bytes packet = EncodePacket('D', 100 + round, patterned(100 + round, 4000));
        packet.resize(3 + static_cast<size_t>(round) * 900);
        ASSERT_TRUE(m_server.SendRaw(packet));
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // the relay has read it
        ASSERT_TRUE(m_server.ResetClient());
        ASSERT_TRUE(WaitForLog("> connectting_thread reV:", static_cast<size_t>(round) + 1));
    }
    ASSERT_TRUE(m_server.WaitForAccepts(ROUNDS + 1, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    const Bytes data = patterned(7, 4991);
    ASSERT_TRUE(m_server.SendPacket('D', 7, data));
    EXPECT_EQ(expected_line(7, data), NextCallback()) << "a torn packet reached the host";
    EXPECT_EQ(static_cast<size_t>(ROUNDS), CountLog("> connectting_thread reV:-10"));
}

TEST_F(StressTest, RandomBytesFromTheServerNeverHarmTheHost) {
    StartServer();
    StartConnected(quick_retry(Connecting()));
    ASSERT_EQ("@setfunc", Cmd("setfunc 1002"));
    std::mt19937 rng(20091229);
    const size_t ROUNDS = 6;
    for (size_t round = 0; round < ROUNDS; ++round) {
        ASSERT_TRUE(m_server.WaitForAccepts(round + 1, STRESS_WAIT_MS));
        ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
        // Random chunks; the relay may well end the link in the middle.
        for (int chunk = 0; chunk < 20 && m_server.ClientConnected(); ++chunk)
            m_server.SendRaw(random_bytes(rng, 1 + rng() % 3000), 2000);
        m_server.CloseClient();
        ASSERT_TRUE(WaitForLog("> connectting_thread reV:", round + 1));
    }
    // What the random bytes framed as packets reached the host within bounds.
    for (const std::string &line : m_host.Host().Lines()) {
        DataLine data;
        if (parse_data_line(line, &data)) {
            EXPECT_GE(data.size, 0) << line.substr(0, 100);
            EXPECT_LE(data.size, 4991) << line.substr(0, 100);
        }
    }
    // And the next connection carries messages both ways as before.
    ASSERT_TRUE(m_server.WaitForAccepts(ROUNDS + 1, STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    std::string marker;
    while (m_host.Host().WaitForLine(testkit::IsCallbackLine, 300, &marker)) {
    }
    const Bytes data = patterned(9, 300);
    ASSERT_TRUE(m_server.SendPacket('D', 9, data));
    EXPECT_EQ(expected_line(9, data), NextCallback());
    ASSERT_TRUE(m_server.SendPacket('K', 10, Bytes{5, 0, 0, 0}));
    EXPECT_EQ("@K 10 5", NextCallback());
    const size_t nBefore = m_server.PacketCount();
    EXPECT_EQ("@send 0", Cmd("send D 11 0a0b"));
    EXPECT_TRUE(m_server.WaitForPackets(nBefore + 1, STRESS_WAIT_MS));
}

TEST_F(StressTest, EveryUnknownTypeEndsItsConnectionAndNothingAfterItArrives) {
    StartServer();
    StartConnected(quick_retry(Connecting()));
    const uint8_t types[] = {0x00, 'A', 'd', 'k', 0x7f, 0xff};
    uint32_t round = 0;
    for (uint8_t type : types) {
        ASSERT_TRUE(m_server.WaitForAccepts(round + 1, STRESS_WAIT_MS));
        ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
        Bytes stream = EncodePacket('D', round, patterned(round, 10));
        Bytes unknown = EncodePacket(type, round, patterned(round, 20));
        Bytes after = EncodePacket('D', 1000 + round, patterned(round, 10));
        stream.insert(stream.end(), unknown.begin(), unknown.end());
        stream.insert(stream.end(), after.begin(), after.end());
        ASSERT_TRUE(m_server.SendRaw(stream));
        EXPECT_EQ(expected_line(round, patterned(round, 10)), NextCallback());
        ASSERT_TRUE(WaitForLog("> connectting_thread reV:-106", round + 1))
            << "type " << static_cast<int>(type) << " did not end the connection";
        ++round;
    }
    EXPECT_EQ(round, CountLog("Wrong msg... "));
    EXPECT_EQ("", NextCallback(500)) << "a packet after an unknown one was delivered";
}

TEST_F(StressTest, FloodOfLargestDataPacketsArrivesWholeAndInOrder) {
    StartServer();
    StartConnected(Connecting());
    const uint32_t COUNT = 3000;
    const uint32_t BURST = 50; // packets written at once
    for (uint32_t first = 0; first < COUNT; first += BURST) {
        Bytes burst;
        for (uint32_t id = first; id < first + BURST; ++id) {
            Bytes packet = EncodePacket('D', id, patterned(id, 4991));
            burst.insert(burst.end(), packet.begin(), packet.end());
        }
        ASSERT_TRUE(m_server.SendRaw(burst, STRESS_WAIT_MS));
    }
    for (uint32_t id = 0; id < COUNT; ++id) {
        std::string line = NextCallback();
        ASSERT_EQ(expected_line(id, patterned(id, 4991)), line) << "packet " << id;
    }
    EXPECT_EQ(1u, m_server.AcceptCount());
    EXPECT_EQ(0u, CountLog("packetSize is invalid"));
}

TEST_F(StressTest, ServerThatStopsReadingEndsTheLinkCleanlyAndTheRelayComesBack) {
    m_server.SetReceiveBufferSize(4096);
    StartServer();
    StartConnected(quick_retry(Connecting()));
    const size_t ROUNDS = 3;
    for (size_t round = 0; round < ROUNDS; ++round) {
        WaitConnected(round + 1); // the relay sends from here on
        ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
        m_server.SetReading(false);
        std::string flood = m_host.Command("flood 4 3000 800", STRESS_WAIT_MS);
        EXPECT_EQ("@flood 12000 0", flood);
        ASSERT_TRUE(WaitForLog("> connectting_thread reV:-1", round + 1))
            << "a short send did not end the link\n"
            << LogTail();
        m_server.SetReading(true);
    }
    ASSERT_TRUE(m_server.WaitForAccepts(ROUNDS + 1, STRESS_WAIT_MS));
    ASSERT_TRUE(WaitForLog(">Connected To", ROUNDS + 1));
    const size_t nBefore = m_server.PacketCount();
    ASSERT_EQ("@send 0", Cmd("send M 5 0102030405060708"));
    ASSERT_TRUE(m_server.WaitForPackets(nBefore + 1, STRESS_WAIT_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last reads

    std::map<uint32_t, size_t> perThread;
    EXPECT_EQ("", check_flood_stream(m_server.Connections(), 4, 800, &perThread,
                                     SeqScope::EACH_CONNECTION));
    EXPECT_GE(CountLog(">" + Peer() + " Disconnected,-107"), ROUNDS);
    EXPECT_FALSE(perThread.empty()) << "no flood packet was read at all";
}

TEST_F(StressTest, SilentServerKeepsTheLinkWhileKeepAlivesGoOut) {
    StartServer();
    ThunkConfig config = Connecting();
    config.checkInterval = "0"; // a keep-alive on every pass
    StartConnected(config);
    const size_t KEEP_ALIVES = 8;
    ASSERT_TRUE(m_server.WaitForPackets(KEEP_ALIVES, STRESS_WAIT_MS));
    EXPECT_EQ(1u, m_server.AcceptCount());
    EXPECT_TRUE(m_server.ClientConnected());
    Bytes raw = m_server.RawBytes(0);
    ASSERT_GE(raw.size(), KEEP_ALIVES * 9);
    const Bytes keepAlive = {9, 0, 0, 0, 'C', 0, 0, 0, 0};
    for (size_t at = 0; at + 9 <= raw.size(); at += 9)
        ASSERT_EQ(keepAlive, Bytes(raw.begin() + at, raw.begin() + at + 9)) << "at byte " << at;
    EXPECT_EQ(0u, CountLog("Disconnected"));
    // After the silence the link still carries a message.
    const Bytes data = patterned(3, 64);
    ASSERT_TRUE(m_server.SendPacket('D', 3, data));
    EXPECT_EQ(expected_line(3, data), NextCallback());
}

// With no keep-alive packet of the relay's own for a minute, only the
// platform's probes cross an idle link; a server that never speaks but whose
// kernel answers them keeps the link for four dead-link time-outs and more.
TEST_F(StressTest, SilentServerThatAcknowledgesOutlastsTheDeadLinkTimeout) {
    StartServer();
    ThunkConfig config = Connecting();
    config.deadLinkTimeout = "2000";
    StartConnected(config);
    std::this_thread::sleep_for(std::chrono::seconds(9));
    EXPECT_EQ(0u, CountLog("Disconnected")) << LogTail();
    EXPECT_EQ(1u, m_server.AcceptCount());
    const Bytes data = patterned(4, 64);
    ASSERT_TRUE(m_server.SendPacket('D', 4, data));
    EXPECT_EQ(expected_line(4, data), NextCallback());
}
