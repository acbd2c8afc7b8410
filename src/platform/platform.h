// What the relay takes from the operating system: threads with a timed wait
// for their end, locks, a wakeable event, sleep, process id, the host
// executable's path, file attributes and directory creation.
//
// One implementation per platform (platform_posix.cpp, platform_win32.cpp),
// chosen by the build. No platform header leaks out of this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <new>
#include <utility>

namespace plat {

const uint32_t WAIT_FOREVER = 0xFFFFFFFFu;

// ---- Threads -------------------------------------------------------------
// A Thread* is the handle of a started thread. Exactly one owner holds it and
// ends its life with thread_release, which detaches a thread that still runs.
struct Thread;
typedef unsigned (*ThreadProc)(void *arg);

// Starts proc(arg) on a new thread; null when the thread cannot be created.
// The new thread blocks asynchronous signals, so the host's handlers run on
// the host's own threads; the signals of a fault (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP, SIGSYS, SIGABRT) stay deliverable, so a host's crash
// handler also runs for a fault on a relay thread. Where the platform
// allows, the thread carries the name (at most 15 characters), so tools that
// list threads show it.
Thread *thread_start(ThreadProc proc, void *arg, const char *name);
// Waits up to timeoutMs for the thread to end; true once it has ended.
bool thread_wait(Thread *thread, uint32_t timeoutMs);
// Gives the handle up. A thread that still runs goes on and cleans up after
// itself when it ends.
void thread_release(Thread *thread);
// True when called on the thread that the handle names.
bool thread_is_current(const Thread *thread);
// thread_wait, except that a null handle or the calling thread's own (a
// host that stops the relay from inside a callback) counts as ended at once.
inline bool thread_wait_other(Thread *thread, uint32_t timeoutMs) {
    return !thread || thread_is_current(thread) || thread_wait(thread, timeoutMs);
}
// Threads started by thread_start that have not yet ended.
int running_threads();

// Process-wide state that relay threads use. It is destroyed with the module
// only when no such thread runs any more: a host that ends its process
// without stopping the relay leaves the relay's threads running while the
// process's destructors run, and they must not find it destroyed.
template <class T> class ProcessState {
public:
    template <class... Args> explicit ProcessState(Args &&...args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    ~ProcessState() {
        if (running_threads() == 0)
            get().~T();
    }
    ProcessState(const ProcessState &) = delete;
    ProcessState &operator=(const ProcessState &) = delete;
    T &get() { return *reinterpret_cast<T *>(m_storage); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// ---- The module ----------------------------------------------------------
// Keeps the module that holds this code mapped until the process ends, even
// if the host unloads it: for a relay thread that outlived its stop wait and
// still runs code of the module.
void pin_module();

// ---- Locks ---------------------------------------------------------------
// A critical section: recursive on the same thread, like the Windows one.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    void enter();
    void leave();

private:
    alignas(16) unsigned char m_storage[64];
};

// Holds a lock for the life of a scope.
class LockGuard {
public:
    explicit LockGuard(Lock &lock) : m_lock(lock) { m_lock.enter(); }
    ~LockGuard() { m_lock.leave(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lock &m_lock;
};

// A manual-reset event: set() wakes every waiter until reset().
class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    void set();
    void reset();
    // Waits up to timeoutMs; true when the event is set.
    bool wait(uint32_t timeoutMs);

private:
    alignas(16) unsigned char m_storage[128];
};

// ---- Process and time ----------------------------------------------------
void sleep_ms(uint32_t ms);
uint32_t process_id();
// Local broken-down time of t; false when it cannot be converted.
bool local_time(std::time_t t, std::tm *out);
// Milliseconds from an arbitrary fixed point, never going backwards.
uint64_t monotonic_ms();

// ---- Files ---------------------------------------------------------------
// Full path of the process's executable (not of this module) into buf,
// truncated to size - 1 characters and always terminated. Returns the
// number of characters stored, 0 when the path cannot be read.
uint32_t exe_path(char *buf, uint32_t size);
// True when the platform can report attributes of the path (file or directory).
bool path_exists(const char *path);
// Creates one directory level with default permissions; true on success.
bool create_directory(const char *path);

} // namespace plat
