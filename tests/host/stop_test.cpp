// Stopping the relay while one of its threads cannot make progress: a
// connect that never completes, and a monitor thread held up in a read of
// its configuration file.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "relay_host_test.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using testkit::Bytes;
using testkit::ThunkConfig;

TEST_F(RelayHostTest, ExitReturnsWhileConnectCannotComplete) {
    testkit::StuckListener stuck;
    ASSERT_TRUE(stuck.Start());
    LaunchHost(ThunkConfig::Connecting(stuck.Port()));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    ASSERT_TRUE(WaitForLog("Ip:127.0.0.1,Port:" + std::to_string(stuck.Port())));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // well inside the connect

    long ms = exit_ms(Cmd("exit"));
    ASSERT_GE(ms, 0);
    EXPECT_LT(ms, 9000) << "the stop waited out the monitor instead of ending the connect";
    EXPECT_EQ(1u, CountLog(">VornProxy ShutDown"));
    EXPECT_EQ(1u, CountLog("> In sh_load_exit end"));
    ExpectCleanQuit();
}

#if defined(__linux__)

namespace {

// Threads of the process whose name starts with "relay-".
size_t relay_thread_count(int pid) {
    std::error_code ec;
    size_t n = 0;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name.compare(0, 6, "relay-") == 0;
    }
    return n;
}

// Opens the FIFO for writing (waiting for a reader), writes text, closes.
void feed_fifo(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return;
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

} // namespace

// The configuration file is a FIFO: sh_load_start's read is fed, the monitor
// thread's read then blocks. sh_load_exit must still return after its wait,
// and the object must outlive the held-up thread, which ends on its own once
// the read is fed.
TEST_F(RelayHostTest, ExitReturnsWhileMonitorIsHeldUpAndObjectOutlivesIt) {
    LaunchHost(ThunkConfig::Connecting(1));
    const std::string config = testkit::RenderThunkConfig(ThunkConfig::Connecting(1));
    const std::string fifo = m_host.Dir().Join("QVThunkConfig.xml");
    std::filesystem::remove(fifo);
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::thread feeder(feed_fifo, fifo, config);
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    feeder.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the monitor is now in its read
    EXPECT_EQ(1u, relay_thread_count(m_host.Host().Pid()));

    long ms = exit_ms(m_host.Command("exit", 60000));
    ASSERT_GE(ms, 0);
    EXPECT_GE(ms, 9000) << "the stop should have waited for the monitor";
    EXPECT_EQ(1u, CountLog("> In sh_load_exit end"));
    EXPECT_EQ(0u, CountLog(">VornProxy ShutDown"));

    feed_fifo(fifo, config); // releases the monitor; it finds the stop request
    EXPECT_TRUE(WaitForLog(">VornProxy ShutDown"));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (relay_thread_count(m_host.Host().Pid()) > 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0u, relay_thread_count(m_host.Host().Pid())) << "the monitor thread did not end";
    ExpectCleanQuit();
}

#endif

// A callback holds the connection thread past the stop wait while more
// packets of the same read wait behind it. sh_load_exit returns, the host
// unloads the module and loads it again, and a new relay runs; the module
// stayed mapped for the old thread, and once the callback returns that
// thread calls the host no more: neither the packets behind it nor the end
// of its link.
TEST_F(RelayHostTest, NoCallbackAfterAStopThatOutlivedItsWait) {
    StartServer();
    LaunchHost(Connecting());
    ASSERT_EQ("@setfunc", Cmd("setfunc 1003"));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    WaitConnected();
    EXPECT_EQ("@L 1 0", NextCallback());
    ASSERT_EQ("@stall", Cmd("stall 14000"));
    Bytes burst;
    for (uint32_t id = 1; id <= 11; ++id) {
        Bytes packet = testkit::EncodePacket('D', id, testkit::ToBytes("m"));
        burst.insert(burst.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(m_server.SendRaw(burst));
    ASSERT_EQ("@D 1 1 6d", NextCallback()); // now held for 14 s

    long ms = exit_ms(m_host.Command("exit", 60000));
    EXPECT_GE(ms, 9000) << "the stop should have waited for the held connection thread";
    ASSERT_EQ("@reload", Cmd("reload"));
    ASSERT_EQ("@setfunc", Cmd("setfunc 1003"));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    WaitConnected(2);
    EXPECT_EQ(1u, CountLog("> g_nNum:2,File: ")) << "the module was unmapped and loaded afresh";
    EXPECT_EQ("@L 1 0", NextCallback());
    ASSERT_TRUE(m_server.SendPacket('D', 100, testkit::ToBytes("new")));
    EXPECT_EQ("@D 100 3 6e6577", NextCallback());

    // The old thread ends once the callback returns; it ends as a stop does.
    ASSERT_TRUE(WaitForLog("> connectting_thread reV:-1"));
    EXPECT_EQ(1u, CountLog(">" + Peer() + " Disconnected,-107"));
    EXPECT_EQ("", NextCallback(1000)) << "a callback came after the stop";
    EXPECT_EQ("@send 0", Cmd("send D 7 61"));
    ASSERT_TRUE(m_server.WaitForPackets(1, LONG_WAIT_MS));
    EXPECT_EQ(7u, m_server.Packets(1).at(0).id);
}
