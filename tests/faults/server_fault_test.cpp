// Servers that stop taking data while their kernel still answers: a server
// process frozen by SIGSTOP, and a listener that never takes or reads its
// connections. Neither is a dead path: the link must not end while the
// kernel acknowledges, the host must never wait, and what the relay closes
// must not stay in the kernel.
#include "fault_test.h"

#include <signal.h>

#include <thread>

namespace {

// TCP states of /proc/net/tcp for a socket whose own end is closed while
// its data or FIN still waits to be acknowledged, and after that.
const int TCP_FIN_WAIT1 = 4;
const int TCP_FIN_WAIT2 = 5;
const int TCP_LAST_ACK = 9;
const int TCP_CLOSING = 11;

// Sockets the relay has closed and the kernel keeps: those still holding
// data or a FIN not acknowledged, their bytes, and those in FIN-WAIT-2.
struct Leftovers {
    size_t nHolding = 0;
    uint64_t nBytes = 0;
    size_t nFinWait2 = 0;
    std::string Text() const {
        return std::to_string(nHolding) + " closed holding " + std::to_string(nBytes / 1024) +
               " KB, " + std::to_string(nFinWait2) + " in FIN-WAIT-2";
    }
};

Leftovers leftovers(const std::vector<KernelSocket> &sockets) {
    Leftovers left;
    for (const KernelSocket &socket : sockets) {
        if (!socket.bOrphan)
            continue;
        if (socket.nState == TCP_FIN_WAIT1 || socket.nState == TCP_LAST_ACK ||
            socket.nState == TCP_CLOSING) {
            ++left.nHolding;
            left.nBytes += socket.nQueued;
        }
        left.nFinWait2 += socket.nState == TCP_FIN_WAIT2;
    }
    return left;
}

// The microseconds of the host's "@maxrecv <us> <calls>" answer; -1 if none.
long maxrecv_us(const std::string &line) {
    long us = -1;
    std::sscanf(line.c_str(), "@maxrecv %ld", &us);
    return us;
}

} // namespace

class ServerFaultTest : public FaultTest {};

// The frozen server's kernel acknowledges keep-alives, so an idle link
// stays; a flood fills its receive buffer, then the relay's send buffer,
// and the link ends as a full buffer ends it. Its listener's kernel still
// completes connects, so the relay may connect again while it is frozen.
TEST_F(ServerFaultTest, FrozenServerKeepsAnIdleLinkAndEndsAFloodedOne) {
    const uint16_t nPort = StartSampleServer({"--quiet"});
    ASSERT_NE(0, nPort);
    StartRelay(FaultConfig(nPort));
    ASSERT_TRUE(WaitLinkUp());
    ASSERT_EQ(0, kill(SampleServer().Pid(), SIGSTOP));
    const int nIdleMs = 2 * DEAD_LINK_MS + PACE_MS;
    LinkEnd idle = WaitLinkEnd(Clock::now(), nIdleMs);

    Send("maxrecv"); // a new count for the flood
    Answer("@maxrecv ");
    const Clock::time_point floodStart = Clock::now();
    const int nFloodBoundMs = DEAD_LINK_MS + MARGIN_MS + PACE_MS;
    Send("flood 1 4000 800 250");
    LinkEnd flooded = WaitLinkEnd(floodStart, nFloodBoundMs);
    FloodAnswer flood = parse_flood(Answer("@flood "));
    Send("maxrecv");
    const long nLongestUs = maxrecv_us(Answer("@maxrecv "));
    const Clock::time_point ended = Clock::now();
    const bool bBackWhileFrozen = WaitLinkUp(PACE_MS + MARGIN_MS);
    const double backAfter = seconds_since(ended);

    ASSERT_EQ(0, kill(SampleServer().Pid(), SIGCONT));
    if (!bBackWhileFrozen) {
        EXPECT_TRUE(WaitLinkUp());
    }
    EXPECT_EQ("@send 0", Cmd("send D 7 0a0b"));
    const bool bEchoed = !WaitForCallbacks("@D 7 2 0a0b", 1, FAULT_WAIT_MS).empty();
    report("server frozen: idle link " +
           (idle.bEnded ? idle.Text(nIdleMs) : "kept for " + seconds_text(nIdleMs / 1000.0)) +
           "; flood of 4000 x 800 B: " + flooded.Text(nFloodBoundMs) + " from its start, " +
           std::to_string(flood.nOk) + " taken, longest sh_recv " + std::to_string(nLongestUs) +
           " us; " +
           (bBackWhileFrozen ? "connected again while frozen after " + seconds_text(backAfter)
                             : "no new link while frozen") +
           "; after SIGCONT messages " + (bEchoed ? "flow" : "do not flow"));
    EXPECT_FALSE(idle.bEnded)
        << "a frozen server whose kernel still acknowledges was taken for gone";
    EXPECT_TRUE(flooded.bEnded) << "a flood into a frozen server never ended the link";
    EXPECT_TRUE(bEchoed);
}

// Every link fills up at once and ends with a short send; each closed socket
// then holds what the server never took.
TEST_F(ServerFaultTest, ServerThatNeverReadsNeverBlocksTheHostAndLeavesNoSocketBehind) {
    const uint16_t nPort = ListenWithoutAccepting();
    ASSERT_NE(0, nPort);
    StartRelay(FaultConfig(nPort));
    std::string rounds;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WaitLinkUp());
        const Clock::time_point start = Clock::now();
        Send("flood 1 4000 800");
        LinkEnd end = WaitLinkEnd(start, FAULT_WAIT_MS);
        Answer("@flood ");
        EXPECT_TRUE(end.bEnded);
        EXPECT_EQ(-107, end.nCode);
        rounds += (i ? ", " : "") + seconds_text(end.seconds) + " (" + std::to_string(end.nCode) +
                  ") leaving " + leftovers(SocketsTo(nPort)).Text();
    }
    ASSERT_TRUE(WaitLinkUp()); // the fourth link, idle
    Send("maxrecv");
    const long nLongestUs = maxrecv_us(Answer("@maxrecv "));
    const Leftovers beforeExit = leftovers(SocketsTo(nPort));
    const long nExitMs = exit_ms(Cmd("exit"));
    const Clock::time_point stopped = Clock::now();
    const int nBoundMs = DEAD_LINK_MS + MARGIN_MS;
    Leftovers left = leftovers(SocketsTo(nPort));
    while (left.nHolding > 0 && seconds_since(stopped) * 1000 < nBoundMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        left = leftovers(SocketsTo(nPort));
    }
    report("server never reads: links ended after " + rounds + "; longest sh_recv " +
           std::to_string(nLongestUs) + " us, target < 1000 us; before sh_load_exit " +
           beforeExit.Text() + "; sh_load_exit " + std::to_string(nExitMs) + " ms; " +
           seconds_text(seconds_since(stopped)) + " later " + left.Text() + ", target 0 within " +
           seconds_text(nBoundMs / 1000.0));
    EXPECT_GE(nLongestUs, 0);
    EXPECT_LT(nLongestUs, 1000) << "sh_recv held the host thread";
    EXPECT_EQ(0u, left.nHolding) << "closed sockets linger in the kernel";
}
