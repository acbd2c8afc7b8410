// The monitor loop of a relay object against a loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "config_file.h"
#include "loopback_server.h"
#include "test_files.h"
#include "test_relay.h"

namespace {

// Polls until pred holds or the time is up; the last value of pred.
template <class Pred> bool poll_until(Pred pred, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return pred();
}

} // namespace

// An ended connection thread is joined at the monitor's next pass, not at the
// next attempt (61 passes away here) nor only at the stop.
TEST(MonitorLoop, GivesUpAnEndedConnectionThreadAtItsNextPass) {
    testkit::TempDir dir;
    set_log_file(dir.Path() + "/log.txt");
    testkit::LoopbackServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    testkit::ThunkConfig config = testkit::ThunkConfig::Connecting(server.Port());
    config.tryInterval = "60000";
    ASSERT_TRUE(testkit::WriteThunkConfig(dir.Path(), config));

    GameServerThunk thunk(TEST_RELAY_HOST);
    std::thread monitor([&] { thunk.run(dir.Join(testkit::THUNK_CONFIG_FILE_NAME)); });
    EXPECT_TRUE(server.WaitForClient(30000));
    EXPECT_TRUE(poll_until([&] { return thunk.HoldsConnThread(); }, 30000));
    EXPECT_TRUE(server.CloseClient());
    EXPECT_TRUE(poll_until([&] { return !thunk.HoldsConnThread(); }, 20000))
        << "the ended connection thread was not given up";
    EXPECT_EQ(1u, server.AcceptCount()) << "a new attempt, not the monitor's pass, gave it up";

    thunk.StopThreads(nullptr);
    monitor.join();
    server.Stop();
    set_log_file("VornProxyLog");
}
