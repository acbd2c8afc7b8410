// The relay's socket in a host that holds many descriptors, and a peer that
// resets the connection while host threads are sending.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include "stress_test.h"

using testkit::ThunkConfig;

TEST_F(StressTest, SocketAboveDescriptor1024CarriesMessagesBothWays) {
    StartServer();
    ThunkConfig config = Connecting();
    config.tryInterval = "0";
    LaunchHost(config);
    std::string held = Cmd("fds 1100");
    ASSERT_EQ(0u, held.find("@fds 1100 ")) << held;
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));

    for (size_t round = 1; round <= 2; ++round) {
        WaitConnected(round);
        std::vector<int> sockets = proc_socket_fds(HostPid());
        ASSERT_FALSE(sockets.empty());
        EXPECT_GT(*std::max_element(sockets.begin(), sockets.end()), 1024);

        const size_t nBefore = m_server.PacketCount();
        EXPECT_EQ("@flood 100 0", Cmd("flood 2 50 100"));
        ASSERT_TRUE(m_server.WaitForPackets(nBefore + 100, STRESS_WAIT_MS));
        for (uint32_t id = 0; id < 50; ++id)
            ASSERT_TRUE(m_server.SendPacket('D', id, testkit::Bytes{uint8_t(id), 1, 2}));
        std::vector<std::string> lines = WaitForCallbacks("@D ", 50 * round);
        ASSERT_EQ(50 * round, lines.size());
        EXPECT_EQ("@D 49 3 310102", lines.back());
        ASSERT_TRUE(m_server.CloseClient()); // the next socket is opened up there too
    }
    std::map<uint32_t, size_t> perThread;
    EXPECT_EQ("", check_flood_stream(m_server.Connections(), 2, 100, &perThread,
                                     SeqScope::EACH_CONNECTION));
    EXPECT_EQ(200u, perThread[0] + perThread[1]);
}

TEST_F(StressTest, PeerResetDuringSendsRaisesNoSignalInTheHost) {
    StartServer();
    ThunkConfig config = Connecting();
    config.tryInterval = "0";
    StartConnected(config);
    // The host leaves SIGPIPE at its default action, which ends a process.
    ASSERT_FALSE(proc_signal_ignored_or_blocked(HostPid(), SIGPIPE));

    // Each round the server resets the connection in the middle of a burst
    // from eight threads, so that sends meet the reset from every side.
    const size_t ROUNDS = 8;
    for (size_t round = 0; round < ROUNDS; ++round) {
        WaitConnected(round + 1);
        ASSERT_TRUE(m_host.Host().WriteLine("flood 8 20000 64"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        m_server.ResetClient();
        std::string reply;
        ASSERT_TRUE(m_host.Host().WaitForLine("@flood ", STRESS_WAIT_MS, &reply))
            << "the host " << (proc_alive(HostPid()) ? "hangs" : "died");
        EXPECT_EQ("@flood 160000 0", reply);
    }
    EXPECT_TRUE(WaitForLog("> connectting_thread reV:", ROUNDS)) << "a reset went unnoticed";
    EXPECT_EQ("@slept", Cmd("sleep 1")) << "the host did not survive";
    std::map<uint32_t, size_t> perThread;
    EXPECT_EQ("", check_flood_stream(m_server.Connections(), 8, 64, &perThread,
                                     SeqScope::EACH_CONNECTION));
}
