// A host that pushes the contract to its limits: a callback that sends
// every message back, polls with a buffer of 0 bytes, and thousands of
// start and stop rounds.
#include <chrono>
#include <sstream>
#include <thread>

#include "stress_test.h"

using testkit::Bytes;
using testkit::EncodePacket;
using testkit::ThunkConfig;

namespace {

Bytes numbered(uint32_t nId, size_t nSize) {
    Bytes data(nSize);
    for (size_t i = 0; i < nSize; ++i)
        data[i] = static_cast<uint8_t>(nId + i * 3);
    return data;
}

// Sends "D" packets first..first+count-1, data size id % 801, in one write.
void send_burst(testkit::LoopbackServer &server, uint32_t first, uint32_t count) {
    Bytes burst;
    for (uint32_t id = first; id < first + count; ++id) {
        Bytes packet = EncodePacket('D', id, numbered(id, id % 801));
        burst.insert(burst.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(server.SendRaw(burst, STRESS_WAIT_MS));
}

} // namespace

TEST_F(StressTest, CallbackThatSendsEveryMessageBackKeepsThemWholeAndInOrder) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_EQ("@echo on", Cmd("echo on"));
    const uint32_t COUNT = 4000;
    for (uint32_t first = 0; first < COUNT; first += 200)
        send_burst(m_server, first, 200);
    // Everything comes back through sh_recv on the connection thread.
    ASSERT_TRUE(m_server.WaitForPackets(COUNT, STRESS_WAIT_MS));
    std::vector<testkit::WirePacket> packets = m_server.Packets();
    uint32_t next = 0;
    for (const testkit::WirePacket &packet : packets) {
        if (packet.type == 'C')
            continue;
        ASSERT_EQ('D', packet.type);
        ASSERT_EQ(next, packet.id);
        ASSERT_EQ(numbered(next, next % 801), packet.data) << "packet " << next;
        ++next;
    }
    EXPECT_EQ(COUNT, next);
    EXPECT_EQ(1u, m_server.AcceptCount());
}

TEST_F(StressTest, GetDataWithNoRoomInEitherDeliveryMode) {
    StartServer();
    StartConnected(Connecting());
    // Callback mode: nothing is queued, and nothing is written.
    send_burst(m_server, 0, 50);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ("@getdata 1 - 4294967295 4294967295 -", Cmd("getdata 0"));
        ASSERT_EQ("@getdata 1", Cmd("getdata-null"));
    }
    EXPECT_EQ(50u, WaitForCallbacks("@D ", 50).size());
}

TEST_F(StressTest, GetDataWithNoRoomInQueueModeDropsOnlyWhatDoesNotFit) {
    StartServer();
    ThunkConfig config = Connecting();
    config.queueMode = "1";
    StartConnected(config);
    // Every third message has no data and fits a buffer of 0 bytes.
    const uint32_t COUNT = 300;
    Bytes burst;
    for (uint32_t id = 0; id < COUNT; ++id) {
        Bytes packet = EncodePacket('D', id, numbered(id, id % 3 == 0 ? 0 : 1 + id % 700));
        burst.insert(burst.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(m_server.SendRaw(burst, STRESS_WAIT_MS));

    uint32_t nNextEmpty = 0;
    size_t nTooSmall = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(STRESS_WAIT_MS);
    for (uint32_t taken = 0; taken < COUNT;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << taken << " messages taken";
        std::string line = Cmd(taken % 2 ? "getdata 0" : "getdata-null");
        if (line.compare(0, 11, "@getdata 1") == 0) { // not queued yet
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        ++taken;
        if (line == "@getdata 2 - 4294967295 0 -" || line == "@getdata 2") {
            ++nTooSmall;
            continue;
        }
        if (line != "@getdata 0") { // with null pointers nothing is shown
            ASSERT_EQ("@getdata 0 D " + std::to_string(nNextEmpty) + " 0 -", line);
        }
        nNextEmpty += 3;
    }
    EXPECT_EQ(COUNT / 3, nNextEmpty / 3);
    EXPECT_EQ(COUNT - COUNT / 3, nTooSmall);
    EXPECT_EQ("@getdata 1 - 4294967295 0 -", Cmd("getdata 0")) << "the queue should be empty";

    // The queue still works for a host that brings room.
    ASSERT_TRUE(m_server.SendPacket('D', 77, numbered(77, 100)));
    std::string line;
    for (int i = 0; i < 100 && line.compare(0, 12, "@getdata 0 D") != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        line = Cmd("getdata 4096");
    }
    EXPECT_EQ("@getdata 0 D 77 100 " + testkit::ToHex(numbered(77, 100)), line);
}

TEST_F(StressTest, ThousandsOfStartAndExitRoundsLeaveNothingBehind) {
    StartServer();
    LaunchHost(Connecting());
    // One round first, so that background threads a runtime starts with the first
    // thread of the process (a sanitizer's, say) are in the baseline too.
    ASSERT_EQ("@cycle 1 0", Cmd("cycle 1"));
    const size_t nThreads = proc_thread_count(HostPid());
    const size_t nFds = proc_fd_count(HostPid());

    EXPECT_EQ("@cycle 1800 0", m_host.Command("cycle 1800", STRESS_WAIT_MS * 2));
    // With a short hold most rounds connect before they are stopped.
    EXPECT_EQ("@cycle 200 0", m_host.Command("cycle 200 5", STRESS_WAIT_MS * 2));
    EXPECT_GT(m_server.AcceptCount(), 20u);

    EXPECT_TRUE(WaitForThreadCount(nThreads)) << proc_thread_count(HostPid()) << " threads";
    EXPECT_EQ(nFds, proc_fd_count(HostPid()));
    EXPECT_EQ(2001u, CountLog("> In sh_load_exit end"));
    EXPECT_EQ(2001u, CountLog(">VornProxy ShutDown"));

    // And the relay still runs normally afterwards.
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    ASSERT_TRUE(m_server.SendPacket('D', 5, testkit::ToBytes("ok")));
    EXPECT_EQ("@D 5 2 6f6b", NextCallback());
}
