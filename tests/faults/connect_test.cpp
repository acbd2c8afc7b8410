// Connects into a black hole: the server's end drops every SYN. Without
// ConnectTimeout an attempt lasts as long as the system's SYN retries; with
// it, the attempt gives up in time and the next follows the monitor's pace.
// A stop during an attempt stays prompt either way.
#include "fault_test.h"

#include <thread>

namespace {

// Room for the monitor's tick and the log line between a deadline and the
// moment the suite sees it.
const int SLACK_MS = 1000;
// The system's default makes an attempt last about 130 s; two retries end
// it after 1 + 2 + 4 s.
const char SYN_RETRIES[] = "2";

} // namespace

class ConnectTest : public FaultTest {
protected:
    // The relay writes one line when an attempt begins (for its first ten)
    // and one when it fails.
    bool WaitAttemptStart(size_t n, int nTimeoutMs) {
        return WaitForLog(std::string("QVThunkConfig.xmlIp:") + SERVER_ADDRESS + ",Port:", n,
                          nTimeoutMs);
    }
    bool WaitAttemptFailure(size_t n, int nTimeoutMs) {
        return WaitForLog(">VornProxy Connect to VOZevezu Failed!!!! ", n, nTimeoutMs);
    }
};

TEST_F(ConnectTest, WithoutConnectTimeoutTheSystemsSynRetriesEndAnAttempt) {
    SetHostSysctl("net/ipv4/tcp_syn_retries", SYN_RETRIES);
    StartServerThere();
    DropSyns();
    StartRelay(FaultConfig(m_server.Port()));
    ASSERT_TRUE(WaitAttemptStart(1, FAULT_WAIT_MS));
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(WaitAttemptFailure(1, FAULT_WAIT_MS));
    const double attempt = seconds_since(started);
    const Clock::time_point failed = Clock::now();
    ASSERT_TRUE(WaitAttemptStart(2, FAULT_WAIT_MS));
    const double next = seconds_since(failed);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // past the first SYN again
    PassSyns();
    const Clock::time_point healed = Clock::now();
    const bool bUp = WaitLinkUp(FAULT_WAIT_MS);
    report(std::string("SYN black hole, no ConnectTimeout (tcp_syn_retries lowered to ") +
           SYN_RETRIES + " in the host namespace, else about 130 s): an attempt took " +
           seconds_text(attempt) + ", the next began " + seconds_text(next) +
           " later; healed 1.5 s into it, the link came up " + seconds_text(seconds_since(healed)) +
           " after");
    EXPECT_TRUE(bUp);
}

TEST_F(ConnectTest, ConnectTimeoutEndsAnAttemptAndExitDuringOneStaysPrompt) {
    StartServerThere();
    DropSyns();
    StartRelay(FaultConfig(m_server.Port(), LinkKeys{DEAD_LINK_MS, CONNECT_MS, -1}));
    ASSERT_TRUE(WaitAttemptStart(1, FAULT_WAIT_MS));
    const Clock::time_point started = Clock::now();
    const int nBoundMs = CONNECT_MS + SLACK_MS;
    const bool bFailed = WaitAttemptFailure(1, nBoundMs);
    const double attempt = seconds_since(started);
    const Clock::time_point failed = Clock::now();
    const int nPaceBoundMs = PACE_MS + SLACK_MS;
    const bool bNext = bFailed && WaitAttemptStart(2, nPaceBoundMs);
    const double next = seconds_since(failed);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // inside an attempt
    const long nExitMs = exit_ms(Cmd("exit"));
    report("SYN black hole, ConnectTimeout " + seconds_text(CONNECT_MS / 1000.0) + ": " +
           (bFailed ? "an attempt ended after " + seconds_text(attempt)
                    : "no attempt ended within " + seconds_text(nBoundMs / 1000.0)) +
           ", target <= " + seconds_text(nBoundMs / 1000.0) + "; " +
           (bNext ? "the next began " + seconds_text(next) + " later"
                  : std::string("no next attempt seen")) +
           ", target <= " + seconds_text(nPaceBoundMs / 1000.0) + "; sh_load_exit during an " +
           "attempt took " + std::to_string(nExitMs) + " ms");
    EXPECT_TRUE(bFailed) << "ConnectTimeout did not end the attempt";
    EXPECT_TRUE(bNext) << "the next attempt did not follow the monitor's pace";
    EXPECT_GE(nExitMs, 0);
    EXPECT_LT(nExitMs, 1000) << "sh_load_exit waited for the attempt";
}
