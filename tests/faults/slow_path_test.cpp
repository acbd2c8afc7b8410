// A slow, lossy path and a slow one: every message must come through whole
// and in order both ways, and a burst on a young connection must fit the
// relay's send buffer instead of ending the link.
#include "fault_test.h"

#include <thread>

namespace {

// Waits until n "D" packets have arrived, or none has for a while.
size_t wait_for_data(const std::function<size_t()> &count, size_t n, int nQuietMs) {
    size_t nSeen = count();
    Clock::time_point lastChange = Clock::now();
    const Clock::time_point start = Clock::now();
    while (nSeen < n && seconds_since(lastChange) * 1000 < nQuietMs &&
           seconds_since(start) * 1000 < 4 * FAULT_WAIT_MS) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        size_t nNow = count();
        if (nNow != nSeen)
            lastChange = Clock::now();
        nSeen = nNow;
    }
    return nSeen;
}

} // namespace

class SlowPathTest : public FaultTest {};

// A lossy path is not a dead one: this case keeps the default dead-link
// timeout, which no run of lost retransmits here comes near.
TEST_F(SlowPathTest, LossySlowPathKeepsEveryMessageWholeAndInOrderBothWays) {
    const uint32_t nCount = 1500;
    const uint32_t nSize = 200;
    StartServerThere();
    m_server.SetEcho(true);
    StartRelay(FaultConfig(m_server.Port(), LinkKeys{60000, -1, -1}));
    ASSERT_TRUE(WaitLinkUp());
    const std::string how = SlowPath(50, 20);
    const Clock::time_point start = Clock::now();
    Send("flood 1 " + std::to_string(nCount) + " " + std::to_string(nSize) + " 10000");
    const std::string flood = Answer("@flood ", 4 * FAULT_WAIT_MS);
    wait_for_data([&] { return WaitForCallbacks("@D ", 0, 0).size(); }, nCount, FAULT_WAIT_MS);
    const double took = seconds_since(start);
    const std::string arrivals = CheckArrivals(nCount, nSize);
    const std::string echoes = CheckEchoes(nCount, nSize);
    const std::string counts = StopSlowPath();
    report("lossy slow path (round trip 100 ms, 20 % of packets dropped each way, " + how +
           "): " + std::to_string(nCount) + " messages of " + std::to_string(nSize) +
           " B at 100/s: server " + (arrivals.empty() ? "got all, whole and in order" : arrivals) +
           ", host " + (echoes.empty() ? "got all echoes, whole and in order" : echoes) + ", in " +
           seconds_text(took) + ", " + std::to_string(m_server.AcceptCount()) + " connection(s)" +
           (counts.empty() ? "" : "; queues: " + counts));
    EXPECT_EQ("@flood " + std::to_string(nCount) + " 0", flood);
    EXPECT_EQ("", arrivals);
    EXPECT_EQ("", echoes);
    EXPECT_TRUE(LinkEndCodes().empty());
}

TEST_F(SlowPathTest, BurstOnASlowPathFitsTheSendBuffer) {
    const uint32_t nCount = 800;
    const uint32_t nSize = 800;
    StartServerThere();
    const std::string how = SlowPath(100, 0);
    StartRelay(FaultConfig(m_server.Port()));
    ASSERT_TRUE(WaitLinkUp()); // a young connection
    Send("flood 1 " + std::to_string(nCount) + " " + std::to_string(nSize));
    FloodAnswer flood = parse_flood(Answer("@flood "));
    const size_t nArrived = wait_for_data([&] { return DataArrivals(); }, nCount, 3000);
    const std::vector<int> ends = LinkEndCodes();
    const std::string arrivals = CheckArrivals(nCount, nSize);
    StopSlowPath();
    report("burst of " + std::to_string(nCount) + " x " + std::to_string(nSize) +
           " B on a 200 ms round trip (" + how + "): " + std::to_string(flood.nOk) + " taken, " +
           std::to_string(nArrived) + " arrived, link " +
           (ends.empty() ? std::string("kept") : "ended (" + std::to_string(ends[0]) + ")") +
           "; target: all arrive, link kept");
    EXPECT_EQ("", arrivals);
    EXPECT_TRUE(ends.empty()) << "the burst ended the link";
}

// A measurement rather than a test, so left out of the suite's runs: the
// largest burst of 800-byte messages that a fresh connection takes whole,
// with the platform's own send buffer (SendBufferSize 0) and with the
// default 1 MiB, on loopback and on a 200 ms round trip. Run it alone with
//   build/tests/fault_tests --gtest_also_run_disabled_tests --gtest_filter='*LargestBurst*'
// It holds the key to its promise: on the slow path the burst of 800 that
// the platform's buffer cannot take, and more than without the key; on
// loopback at least what the buffer asked for holds. (On loopback the
// platform's own sizing, which grows while the server reads, can let more
// through than the fixed buffer: the figures say how much.)
TEST_F(SlowPathTest, DISABLED_LargestBurstThatSurvivesWithAndWithoutTheSendBuffer) {
    const uint32_t nSize = 800;
    const uint32_t nMax = 51200; // 40 MB; a path that takes that is called unbounded
    testkit::LoopbackServer local;
    local.SetListenAddress("127.0.0.1");
    bool bLocal = false;
    InNamespace(HOST, [&] { bLocal = local.Start(); });
    ASSERT_TRUE(bLocal) << local.Error();
    StartServerThere();
    StartRelay(FaultConfig(m_server.Port()));
    ASSERT_TRUE(WaitLinkUp());

    // One burst on a fresh connection: true when all of it arrived and the
    // link stayed up.
    const auto survives = [&](testkit::LoopbackServer &server, const char *ip, long sendBuffer,
                              uint32_t nCount) {
        testkit::ThunkConfig config = FaultConfig(server.Port(), LinkKeys{60000, -1, sendBuffer});
        config.ip = ip;
        EXPECT_TRUE(m_host.WriteConfig(config));
        // Once stopped the relay calls the host no more: what it said of the
        // last trial's links is all there, and is passed over.
        EXPECT_EQ(0, Cmd("exit").compare(0, 6, "@exit "));
        while (m_host.Host().WaitForLine("@L ", 0)) {
        }
        const size_t nEnds = LinkEndCodes().size();
        const size_t nConnection = server.AcceptCount();
        EXPECT_EQ("@start 0 pfrec=1", Cmd("start"));
        if (!WaitLinkUp() || !server.WaitForAccepts(nConnection + 1, FAULT_WAIT_MS))
            return false;
        Send("flood 1 " + std::to_string(nCount) + " " + std::to_string(nSize));
        Answer("@flood ", 4 * FAULT_WAIT_MS);
        const auto arrived = [&] { return server.Packets(nConnection).size(); };
        return wait_for_data(arrived, nCount, 3000) >= nCount && LinkEndCodes().size() == nEnds;
    };
    // Doubles from 100 until a burst fails, then halves the gap to within 5 %.
    const auto largest = [&](testkit::LoopbackServer &server, const char *ip, long sendBuffer) {
        uint32_t nGood = 0;
        uint32_t nBad = 100;
        while (nBad <= nMax && survives(server, ip, sendBuffer, nBad)) {
            nGood = nBad;
            nBad *= 2;
        }
        if (nBad > nMax)
            return nGood;
        while (nBad - nGood > std::max<uint32_t>(nGood / 20, 1)) {
            const uint32_t nMid = nGood + (nBad - nGood) / 2;
            (survives(server, ip, sendBuffer, nMid) ? nGood : nBad) = nMid;
        }
        return nGood;
    };
    const auto text = [&](uint32_t n) {
        return n >= nMax ? ">= " + std::to_string(nMax) + " (" +
                               std::to_string(nMax * nSize >> 20) + " MB)"
                         : std::to_string(n) + " (" + std::to_string(n * nSize / 1024) + " KB)";
    };
    const uint32_t localPlatform = largest(local, "127.0.0.1", 0);
    const uint32_t localKey = largest(local, "127.0.0.1", 1048576);
    const std::string how = SlowPath(100, 0);
    const uint32_t slowPlatform = largest(m_server, SERVER_ADDRESS, 0);
    const uint32_t slowKey = largest(m_server, SERVER_ADDRESS, 1048576);
    StopSlowPath();
    report("largest burst of 800 B messages that survives on a fresh connection: loopback " +
           text(localPlatform) + " with SendBufferSize 0, " + text(localKey) +
           " with 1048576; 200 ms round trip (" + how + ") " + text(slowPlatform) + " with 0, " +
           text(slowKey) + " with 1048576");
    EXPECT_GE(slowKey, 800u);
    EXPECT_GT(slowKey, slowPlatform);
    EXPECT_GE(localKey * (nSize + 9), 1048576u);
    local.Stop();
}
