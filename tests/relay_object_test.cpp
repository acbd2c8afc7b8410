// A relay object's monitor loop and server link against a loopback server,
// in this process: the joining of ended connection threads, and the ends of
// a link that only a failing platform call can bring about, through the
// fault seam below the socket layer.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "config_file.h"
#include "loopback_server.h"
#include "net/net_fault.h"
#include "test_files.h"
#include "test_relay.h"

#if defined(_WIN32)
#include <winsock.h>
const int FULL_SEND_BUFFER = WSAEWOULDBLOCK;
const int CONNECTION_RESET = WSAECONNRESET;
#else
const int FULL_SEND_BUFFER = EAGAIN;
const int CONNECTION_RESET = ECONNRESET;
#endif

namespace {

// Polls until pred holds or the time is up; the last value of pred.
template <class Pred> bool poll_until(Pred pred, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return pred();
}

// What the relay hands the host, counted.
std::atomic<int> g_nDelivered(0);
std::atomic<int> g_nLinksUp(0);
std::atomic<int> g_nLastDownCode(0);
std::atomic<SendFunc> g_pfCountingSend(+[](uint32_t, const unsigned char *, int32_t) {
    ++g_nDelivered;
});
std::atomic<Func1003> g_pfCountingLinkState(+[](int32_t nState, int32_t nCode) {
    if (nState == DEZ_LINK_UP)
        ++g_nLinksUp;
    else
        g_nLastDownCode = nCode;
});
const RelayHost COUNTING_HOST = {&g_pfCountingSend, &g_testNoFunc1002, &g_pfCountingLinkState,
                                 test_no_config_file};

// The relay object's monitor thread runs on the configuration in a temp dir,
// pointed at the loopback server.
class RelayObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_nDelivered = 0;
        g_nLinksUp = 0;
        g_nLastDownCode = 0;
        m_log = m_dir.Path() + "/log.txt";
        set_log_file(m_log);
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
    }
    void TearDown() override {
        net_fault::reset();
        if (m_monitor.joinable()) {
            m_thunk.StopThreads(nullptr);
            m_monitor.join();
        }
        m_server.Stop();
        set_log_file("VornProxyLog");
    }
    void Run(const char *tryInterval) {
        testkit::ThunkConfig config = testkit::ThunkConfig::Connecting(m_server.Port());
        config.tryInterval = tryInterval;
        ASSERT_TRUE(testkit::WriteThunkConfig(m_dir.Path(), config));
        const std::string path = m_dir.Join(testkit::THUNK_CONFIG_FILE_NAME);
        m_monitor = std::thread([this, path] { m_thunk.run(path); });
    }
    // Waits for the nth connection to be served.
    bool WaitForLink(int n) {
        return m_server.WaitForAccepts(size_t(n), 30000) &&
               poll_until([n] { return g_nLinksUp == n; }, 30000);
    }
    std::string Peer() const { return "127.0.0.1-" + std::to_string(m_server.Port()); }
    // True once the log holds the three lines that end a connection with the
    // stored and returned codes, in this order.
    bool EndLinesLogged(int nStored, int nReturned) {
        const std::string lines[] = {">" + Peer() + " Disconnected," + std::to_string(nStored),
                                     ">dis con   " + Peer() + ",nCallFrom:2",
                                     "> connectting_thread reV:" + std::to_string(nReturned)};
        return poll_until(
            [&] {
                size_t next = 0;
                for (const std::string &line : read_lines(m_log)) {
                    if (next < 3 && line.size() >= lines[next].size() &&
                        line.compare(line.size() - lines[next].size(), std::string::npos,
                                     lines[next]) == 0)
                        ++next;
                }
                return next == 3;
            },
            30000);
    }

    testkit::TempDir m_dir;
    std::string m_log;
    testkit::LoopbackServer m_server;
    GameServerThunk m_thunk{COUNTING_HOST};
    std::thread m_monitor;
};

} // namespace

// An ended connection thread is joined at the monitor's next pass, not at the
// next attempt (61 passes away here) nor only at the stop.
TEST_F(RelayObjectTest, MonitorGivesUpAnEndedConnectionThreadAtItsNextPass) {
    Run("60000");
    ASSERT_TRUE(WaitForLink(1));
    EXPECT_TRUE(m_thunk.HoldsConnThread());
    EXPECT_TRUE(m_server.CloseClient());
    EXPECT_TRUE(poll_until([&] { return !m_thunk.HoldsConnThread(); }, 20000))
        << "the ended connection thread was not given up";
    EXPECT_EQ(1u, m_server.AcceptCount()) << "a new attempt, not the monitor's pass, gave it up";
}

// A send that the platform takes only in part tears the stream: the link
// ends (-107, returned -1), nothing of the packet goes out, and the relay
// connects again.
TEST_F(RelayObjectTest, ShortSendEndsTheLinkAndTheRelayComesBack) {
    Run("1000");
    ASSERT_TRUE(WaitForLink(1));
    net_fault::fail_nth(net_fault::SEND, 1, FULL_SEND_BUFFER);
    EXPECT_EQ(DEZ_RECV_OK, m_thunk.SendToServer('D', 7, "abc", 3))
        << "a short send is not reported";
    EXPECT_TRUE(EndLinesLogged(DEZ_LINK_SEND_SHORT, CONN_RETURN_STOPPED));
    EXPECT_EQ(DEZ_LINK_SEND_SHORT, g_nLastDownCode);

    ASSERT_TRUE(WaitForLink(2));
    EXPECT_EQ(DEZ_RECV_OK, m_thunk.SendToServer('D', 8, "def", 3));
    ASSERT_TRUE(m_server.WaitForPackets(1, 30000));
    ASSERT_EQ(1u, m_server.Packets().size()) << "the failed send put bytes on the wire";
    EXPECT_EQ(8u, m_server.Packets()[0].id);
    EXPECT_TRUE(m_server.Packets(0).empty());
}

// A read that fails ends the link (-102) without handing anything on, and
// the next connection delivers again.
TEST_F(RelayObjectTest, FailedReadEndsTheLinkAndTheRelayComesBack) {
    Run("1000");
    ASSERT_TRUE(WaitForLink(1));
    net_fault::fail_nth(net_fault::RECV, 1, CONNECTION_RESET);
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("lost")));
    EXPECT_TRUE(EndLinesLogged(DEZ_LINK_READ_FAILED, DEZ_LINK_READ_FAILED));
    EXPECT_EQ(DEZ_LINK_READ_FAILED, g_nLastDownCode);
    EXPECT_EQ(0, g_nDelivered);

    ASSERT_TRUE(WaitForLink(2));
    ASSERT_TRUE(m_server.SendPacket('D', 2, testkit::ToBytes("kept")));
    EXPECT_TRUE(poll_until([] { return g_nDelivered == 1; }, 30000));
}

// A link option the platform refuses is said once, not at every connection,
// and the connection goes on without it.
TEST_F(RelayObjectTest, RefusedLinkOptionIsLoggedOnceAndTheLinkStillComesUp) {
    net_fault::fail_nth(net_fault::SET_OPTION, 1, EINVAL);
    Run("1000");
    ASSERT_TRUE(WaitForLink(1));
    ASSERT_TRUE(m_server.CloseClient());
    net_fault::fail_nth(net_fault::SET_OPTION, 1, EINVAL);
    ASSERT_TRUE(WaitForLink(2));
    ASSERT_TRUE(m_server.SendPacket('D', 1, testkit::ToBytes("x")));
    EXPECT_TRUE(poll_until([] { return g_nDelivered == 1; }, 30000));
    size_t nLines = 0;
    for (const std::string &line : read_lines(m_log))
        nLines += line.find(">Net_TCP_SetLinkOptions Error,Couldn't set ") != std::string::npos;
    EXPECT_EQ(1u, nLines);
}
