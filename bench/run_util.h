// Small helpers shared by the runs: clocks, bounded waits, and the counters
// that the host's receiver keeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace bench {

typedef std::chrono::steady_clock Clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Polls done() until it holds or timeoutS runs out; true when it held.
template <class F> bool wait_until(F done, double timeoutS) {
    const Clock::time_point t0 = Clock::now();
    while (!done()) {
        if (seconds_since(t0) > timeoutS)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Counters written only by the thread that runs the host's receiver.
extern std::atomic<uint64_t> g_nDelivered;
extern std::atomic<uint32_t> g_nLastId;

// Releases a group of threads at once, after all have started, so that
// thread creation stays out of the measured window.
class StartLine {
public:
    explicit StartLine(int n) : m_nWaiting(n) {}
    void Arrive() {
        m_nWaiting.fetch_sub(1);
        while (!m_bGo.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void WaitAllArrived() {
        while (m_nWaiting.load() > 0)
            std::this_thread::yield();
    }
    void Go() { m_bGo.store(true, std::memory_order_release); }

private:
    std::atomic<int> m_nWaiting;
    std::atomic<bool> m_bGo{false};
};

} // namespace bench
