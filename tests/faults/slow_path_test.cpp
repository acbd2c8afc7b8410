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
