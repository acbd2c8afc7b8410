// What the relay must leave to the host: its crash handler for a fault on a
// relay thread, and an exit without sh_load_exit that finds no ended relay
// thread left unjoined.
#include <chrono>
#include <thread>

#include "relay_host_test.h"

using testkit::ThunkConfig;

// The host's callback runs on the relay's connection thread, with that
// thread's signal mask, and makes an invalid memory access there.
TEST_F(RelayHostTest, FaultOnARelayThreadReachesTheHostsCrashHandler) {
    StartServer();
    StartConnected(Connecting());
    ASSERT_EQ("@fault", Cmd("fault"));
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("x")));
    EXPECT_TRUE(m_host.Host().WaitForLine("@fault-handled", LONG_WAIT_MS));
    EXPECT_EQ(77, m_host.Host().Wait(LONG_WAIT_MS))
        << "the fault ended the host without its handler; output:\n"
        << m_host.Host().Output();
}

// Under ThreadSanitizer (the sanitizer builds run the host under it too) an
// ended thread that nobody joined is reported at exit and fails the host, and
// so is process-wide state of the module destroyed by the exit while the
// monitor thread, which may still use it, runs on.
TEST_F(RelayHostTest, HostThatEndsWithoutStoppingLeavesNoThreadUnjoinedUnderThreadSanitizer) {
    StartServer();
    ThunkConfig config = Connecting();
    config.tryInterval = "60000"; // no new attempt, which would join it too
    StartConnected(config);
    ASSERT_TRUE(m_server.CloseClient());
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-103"));
    std::this_thread::sleep_for(std::chrono::seconds(3)); // three passes of the monitor
    m_host.Host().WriteLine("quit nostop");
    EXPECT_EQ(0, m_host.Host().Wait(LONG_WAIT_MS)) << m_host.Host().Output();
    EXPECT_EQ(1u, m_server.AcceptCount());
}
