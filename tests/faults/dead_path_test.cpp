// Paths that die silently: every packet dropped, or the cable pulled, on an
// idle link and under traffic; and a path that comes back inside the
// dead-link timeout, which must cost nothing.
#include "fault_test.h"

#include <thread>

namespace {

// Keep-alives every 2 s; with a 60 s interval the monitor sends none within
// a case, and only the relay's TCP probes can find the dead path.
const int NO_KEEPALIVE_MS = 60000;

} // namespace

class DeadPathTest : public FaultTest {
protected:
    enum class Fault { DROP, CABLE };

    // Breaks an idle link and expects it to end within nBoundMs.
    void IdleLinkEnds(const std::string &what, Fault fault, int nCheckMs, int nBoundMs) {
        StartServerThere();
        testkit::ThunkConfig config = FaultConfig(m_server.Port());
        config.checkInterval = std::to_string(nCheckMs);
        StartRelay(config);
        ASSERT_TRUE(WaitLinkUp());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (fault == Fault::DROP)
            DropPath();
        else
            PullCable();
        LinkEnd end = WaitLinkEnd(Clock::now(), nBoundMs);
        report(what + ": " + end.Text(nBoundMs) + ", target <= " + seconds_text(nBoundMs / 1000.0));
        EXPECT_TRUE(end.bEnded) << "a dead idle path was not found in time";
    }

    // The host's flood packets that reached the server, whole and in order.
    size_t Arrived(uint32_t nSize) {
        std::map<uint32_t, size_t> perThread;
        EXPECT_EQ("", check_flood_stream(m_server.Connections(), 1, nSize, &perThread));
        return perThread[0];
    }
};

TEST_F(DeadPathTest, IdlePathThatDropsEverythingEndsTheLink) {
    IdleLinkEnds("idle path drops everything", Fault::DROP, INTERVAL_MS,
                 DEAD_LINK_MS + PACE_MS + MARGIN_MS);
}

TEST_F(DeadPathTest, PulledCableEndsAnIdleLink) {
    IdleLinkEnds("cable pulled, idle link", Fault::CABLE, INTERVAL_MS,
                 DEAD_LINK_MS + PACE_MS + MARGIN_MS);
}

// The probes are the relay's to choose, well inside the timeout: the bound
// allows them a period of a whole timeout.
TEST_F(DeadPathTest, IdlePathWithoutKeepAlivePacketsIsFoundByProbes) {
    IdleLinkEnds("idle path drops everything, no keep-alive packet", Fault::DROP, NO_KEEPALIVE_MS,
                 2 * DEAD_LINK_MS + MARGIN_MS);
}

TEST_F(DeadPathTest, PathThatDiesUnderTrafficEndsTheLink) {
    const uint32_t nCount = 150; // 10 messages/s for 15 s
    const int nBoundMs = DEAD_LINK_MS + MARGIN_MS;
    StartServerThere();
    StartRelay(FaultConfig(m_server.Port()));
    ASSERT_TRUE(WaitLinkUp());
    Send("flood 1 " + std::to_string(nCount) + " 64 100000");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    DropPath();
    LinkEnd end = WaitLinkEnd(Clock::now(), nBoundMs);
    FloodAnswer flood = parse_flood(Answer("@flood ", FAULT_WAIT_MS));
    size_t nArrived = Arrived(64);
    report("path dies under 10 messages/s: " + end.Text(nBoundMs) +
           ", target <= " + seconds_text(nBoundMs / 1000.0) + "; of " + std::to_string(nCount) +
           " messages " + std::to_string(flood.nOk) + " were taken (sh_recv 0), " +
           std::to_string(nArrived) + " arrived, " +
           std::to_string(flood.nOk - static_cast<int>(nArrived)) + " taken and lost");
    EXPECT_TRUE(end.bEnded) << "a dead path under traffic was not found in time";
    EXPECT_EQ(static_cast<int>(nCount), flood.nOk + flood.nRefused);
}

TEST_F(DeadPathTest, PathThatHealsWithinTheTimeoutLosesNothing) {
    const uint32_t nCount = 100; // 10 messages/s for 10 s, echoed
    const int nOutageMs = DEAD_LINK_MS / 2;
    StartServerThere();
    m_server.SetEcho(true);
    StartRelay(FaultConfig(m_server.Port()));
    ASSERT_TRUE(WaitLinkUp());
    Send("flood 1 " + std::to_string(nCount) + " 64 100000");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    DropPath();
    std::this_thread::sleep_for(std::chrono::milliseconds(nOutageMs));
    const size_t nBefore = m_server.PacketCount();
    HealPath();
    Clock::time_point healed = Clock::now();
    while (m_server.PacketCount() == nBefore && seconds_since(healed) < FAULT_WAIT_MS / 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double resumed = seconds_since(healed);
    EXPECT_EQ("@flood " + std::to_string(nCount) + " 0", Answer("@flood ", FAULT_WAIT_MS));
    WaitForCallbacks("@D ", nCount, FAULT_WAIT_MS);
    const std::string arrivals = CheckArrivals(nCount, 64);
    const std::string echoes = CheckEchoes(nCount, 64);
    report("path dropped everything for " + seconds_text(nOutageMs / 1000.0) +
           ", then healed: traffic resumed " + seconds_text(resumed) + " after; server " +
           (arrivals.empty() ? "got all " + std::to_string(nCount) : arrivals) + ", host " +
           (echoes.empty() ? "got all echoes" : echoes) + "; " +
           std::to_string(m_server.AcceptCount()) +
           " connection(s), link ended: " + (LinkEndCodes().empty() ? "no" : "yes"));
    EXPECT_EQ("", arrivals);
    EXPECT_EQ("", echoes);
    EXPECT_EQ(1u, m_server.AcceptCount());
    EXPECT_TRUE(LinkEndCodes().empty());
}
