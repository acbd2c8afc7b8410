// The platform layer: thread end waits, detaching, events and file queries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <csignal>
#include <pthread.h>
#endif

#include "platform/platform.h"
#include "test_files.h"

namespace {

struct Gate {
    plat::Event open;
    std::atomic<int> runs{0};
};

unsigned wait_for_gate(void *arg) {
    Gate *gate = static_cast<Gate *>(arg);
    gate->open.wait(plat::WAIT_FOREVER);
    gate->runs.fetch_add(1);
    return 0;
}

} // namespace

TEST(PlatformThread, WaitTimesOutWhileRunningAndSucceedsAfterEnd) {
    Gate gate;
    plat::Thread *thread = plat::thread_start(wait_for_gate, &gate, "test-gate");
    ASSERT_NE(nullptr, thread);
    EXPECT_FALSE(plat::thread_is_current(thread));
    EXPECT_FALSE(plat::thread_wait(thread, 20));
    gate.open.set();
    EXPECT_TRUE(plat::thread_wait(thread, 30000));
    EXPECT_EQ(1, gate.runs.load());
    EXPECT_TRUE(plat::thread_wait(thread, 0)); // an ended thread stays ended
    plat::thread_release(thread);
}

TEST(PlatformThread, ReleasedThreadRunsOnToItsEnd) {
    Gate *gate = new Gate;
    plat::Thread *thread = plat::thread_start(wait_for_gate, gate, nullptr);
    ASSERT_NE(nullptr, thread);
    plat::thread_release(thread);
    gate->open.set();
    for (int i = 0; i < 3000 && gate->runs.load() == 0; ++i)
        plat::sleep_ms(10);
    EXPECT_EQ(1, gate->runs.load());
    plat::sleep_ms(50); // let the detached thread leave before the gate goes
    delete gate;
}

#if !defined(_WIN32)

namespace {

// The signal mask of the thread that runs it.
unsigned read_own_mask(void *arg) {
    pthread_sigmask(SIG_BLOCK, nullptr, static_cast<sigset_t *>(arg));
    return 0;
}

} // namespace

// Asynchronous signals go to the host's threads; the signals of a fault stay
// deliverable, so the host's crash handler runs for a fault on a relay thread.
TEST(PlatformThread, BlocksAsynchronousSignalsOnly) {
    sigset_t mask;
    sigemptyset(&mask);
    plat::Thread *thread = plat::thread_start(read_own_mask, &mask, "test-mask");
    ASSERT_NE(nullptr, thread);
    ASSERT_TRUE(plat::thread_wait(thread, 30000));
    plat::thread_release(thread);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGCHLD, SIGPIPE, SIGALRM})
        EXPECT_EQ(1, sigismember(&mask, nSignal)) << "signal " << nSignal << " not blocked";
    for (int nSignal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        EXPECT_EQ(0, sigismember(&mask, nSignal)) << "signal " << nSignal << " blocked";
}

#endif

TEST(PlatformEvent, WaitReportsWhetherSetAndResetClearsIt) {
    plat::Event event;
    EXPECT_FALSE(event.wait(0));
    EXPECT_FALSE(event.wait(15));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(plat::WAIT_FOREVER));
    event.reset();
    EXPECT_FALSE(event.wait(0));
}

TEST(PlatformFiles, ExecutablePathIsAbsoluteAndTruncatesSafely) {
    char full[1024];
    uint32_t n = plat::exe_path(full, sizeof(full));
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(full));
    EXPECT_TRUE(plat::path_exists(full));

    char small[8];
    std::memset(small, 'x', sizeof(small));
    uint32_t cut = plat::exe_path(small, sizeof(small));
    EXPECT_EQ(7u, cut);
    EXPECT_EQ('\0', small[7]);
    EXPECT_EQ(0, std::strncmp(full, small, 7));
}

TEST(PlatformFiles, CreateDirectoryMakesOneLevelOnly) {
    testkit::TempDir dir;
    std::string one = dir.Path() + "/one";
    EXPECT_TRUE(plat::create_directory(one.c_str()));
    EXPECT_TRUE(plat::path_exists(one.c_str()));
    EXPECT_FALSE(plat::create_directory(one.c_str()));
    EXPECT_FALSE(plat::create_directory((dir.Path() + "/x/y").c_str()));
}
