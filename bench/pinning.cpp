#include "pinning.h"

#include <atomic>
#include <climits>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "run_util.h"

namespace bench {

namespace {

cpu_set_t g_startCpus;
std::atomic<bool> g_bWakingHost(false);
std::atomic<int> g_nSleepers(0);

bool pin(pthread_t thread, int cpu) {
    cpu_set_t set;
    if (cpu < 0) {
        set = g_startCpus;
    } else {
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
    }
    return pthread_setaffinity_np(thread, sizeof set, &set) == 0;
}

// The id word of the receiver is the futex the host sleeps on.
uint32_t *id_word() {
    return reinterpret_cast<uint32_t *>(&g_nLastId);
}

void futex_wait(uint32_t expected, long timeoutNs) {
    timespec ts = {0, timeoutNs};
    syscall(SYS_futex, id_word(), FUTEX_WAIT_PRIVATE, expected, &ts, nullptr, 0);
}

} // namespace

void RememberCpus() {
    CPU_ZERO(&g_startCpus);
    sched_getaffinity(0, sizeof g_startCpus, &g_startCpus);
}

bool CanPin() {
    return CPU_ISSET(HOST_CPU, &g_startCpus) && CPU_ISSET(SERVER_CPU, &g_startCpus);
}

bool PinCurrentThread(int cpu) {
    return pin(pthread_self(), cpu);
}

bool PinThread(std::thread &thread, int cpu) {
    return pin(thread.native_handle(), cpu);
}

void SetWakingHost(bool bOn) {
    g_bWakingHost.store(bOn);
}

void WakeHost() {
    if (!g_bWakingHost.load(std::memory_order_relaxed))
        return;
    // Pairs with the waiter's count-then-check: either it sees the new id
    // or this sees it sleeping.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (g_nSleepers.load(std::memory_order_relaxed) > 0)
        syscall(SYS_futex, id_word(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool WaitAnswerSpinThenBlock(uint32_t id) {
    const Clock::time_point t0 = Clock::now();
    const Clock::time_point spinEnd =
        t0 + std::chrono::nanoseconds(static_cast<long>(HOST_SPIN_US * 1000));
    while (g_nLastId.load(std::memory_order_acquire) != id) {
        if (Clock::now() > spinEnd)
            break;
    }
    if (g_nLastId.load(std::memory_order_acquire) == id)
        return true;
    for (;;) {
        g_nSleepers.fetch_add(1, std::memory_order_seq_cst);
        const uint32_t seen = g_nLastId.load(std::memory_order_seq_cst);
        if (seen != id)
            futex_wait(seen, 100 * 1000 * 1000);
        g_nSleepers.fetch_sub(1, std::memory_order_relaxed);
        if (g_nLastId.load(std::memory_order_acquire) == id)
            return true;
        if (seconds_since(t0) > 5.0)
            return false;
    }
}

} // namespace bench
