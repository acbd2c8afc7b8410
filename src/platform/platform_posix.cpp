// POSIX implementation of the platform layer (Linux first).
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace plat {

namespace {

void monotonic_deadline(uint32_t timeoutMs, timespec *ts) {
    clock_gettime(CLOCK_MONOTONIC, ts);
    ts->tv_sec += static_cast<time_t>(timeoutMs / 1000);
    ts->tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    }
}

void init_monotonic_cond(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// Waits on cond until *flag is true or the time runs out; mutex is held.
bool wait_flag(pthread_cond_t *cond, pthread_mutex_t *mutex, const bool *flag, uint32_t timeoutMs) {
    if (timeoutMs == WAIT_FOREVER) {
        while (!*flag)
            pthread_cond_wait(cond, mutex);
        return true;
    }
    timespec deadline;
    monotonic_deadline(timeoutMs, &deadline);
    while (!*flag) {
        if (pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT)
            break;
    }
    return *flag;
}

} // namespace

// ---- Threads -------------------------------------------------------------

// Shared by the owner of the handle and the running thread; the last of the
// two to let go frees it.
struct Thread {
    pthread_t id;
    ThreadProc proc;
    void *arg;
    char name[16];
    pthread_mutex_t mutex;
    pthread_cond_t ended_cond;
    bool ended;
    bool joined;
    std::atomic<int> refs;
};

static std::atomic<int> s_nRunningThreads(0);

static void thread_unref(Thread *t) {
    if (t->refs.fetch_sub(1) == 1) {
        pthread_cond_destroy(&t->ended_cond);
        pthread_mutex_destroy(&t->mutex);
        delete t;
    }
}

// Every signal but those that a fault of the thread itself raises. Were those
// blocked, a fault would end the process at once, and the host's crash
// handler, which runs on the faulting thread, would never see it.
static void asynchronous_signals(sigset_t *set) {
    static const int SYNCHRONOUS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};
    sigfillset(set);
    for (int nSignal : SYNCHRONOUS)
        sigdelset(set, nSignal);
}

static void *thread_trampoline(void *p) {
    Thread *t = static_cast<Thread *>(p);
#if defined(__linux__)
    pthread_setname_np(pthread_self(), t->name);
#endif
    t->proc(t->arg);
    pthread_mutex_lock(&t->mutex);
    t->ended = true;
    pthread_cond_broadcast(&t->ended_cond);
    pthread_mutex_unlock(&t->mutex);
    thread_unref(t);
    --s_nRunningThreads;
    return nullptr;
}

Thread *thread_start(ThreadProc proc, void *arg, const char *name) {
    Thread *t = new (std::nothrow) Thread;
    if (!t)
        return nullptr;
    t->proc = proc;
    t->arg = arg;
    snprintf(t->name, sizeof(t->name), "%s", name ? name : "");
    t->ended = false;
    t->joined = false;
    t->refs = 2;
    pthread_mutex_init(&t->mutex, nullptr);
    init_monotonic_cond(&t->ended_cond);

    // The new thread inherits the creator's signal mask: block the
    // asynchronous signals for the moment of creation so the relay's threads
    // never take the host's signals.
    sigset_t asynchronous, old;
    asynchronous_signals(&asynchronous);
    pthread_sigmask(SIG_SETMASK, &asynchronous, &old);
    ++s_nRunningThreads;
    int rc = pthread_create(&t->id, nullptr, thread_trampoline, t);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        --s_nRunningThreads;
        t->refs = 1;
        thread_unref(t);
        return nullptr;
    }
    return t;
}

bool thread_wait(Thread *t, uint32_t timeoutMs) {
    if (!t)
        return true;
    pthread_mutex_lock(&t->mutex);
    bool ended = wait_flag(&t->ended_cond, &t->mutex, &t->ended, timeoutMs);
    pthread_mutex_unlock(&t->mutex);
    if (ended && !t->joined) {
        pthread_join(t->id, nullptr);
        t->joined = true;
    }
    return ended;
}

void thread_release(Thread *t) {
    if (!t)
        return;
    if (!t->joined) {
        pthread_mutex_lock(&t->mutex);
        bool ended = t->ended;
        pthread_mutex_unlock(&t->mutex);
        if (ended)
            pthread_join(t->id, nullptr);
        else
            pthread_detach(t->id);
        t->joined = true;
    }
    thread_unref(t);
}

bool thread_is_current(const Thread *t) {
    return t && pthread_equal(t->id, pthread_self());
}

int running_threads() {
    return s_nRunningThreads.load();
}

// ---- The module ----------------------------------------------------------

// Opening the module again with RTLD_NODELETE marks it never to be unmapped;
// the reference this takes is never given back.
void pin_module() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&pin_module), &info) != 0 && info.dli_fname)
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// ---- Locks ---------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= 64, "Lock storage too small");

Lock::Lock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t *>(m_storage), &attr);
    pthread_mutexattr_destroy(&attr);
}

Lock::~Lock() {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(m_storage));
}

void Lock::enter() {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(m_storage));
}

void Lock::leave() {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(m_storage));
}

namespace {
struct EventState {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
};
} // namespace

static_assert(sizeof(EventState) <= 128, "Event storage too small");

static EventState *event_state(unsigned char *storage) {
    return reinterpret_cast<EventState *>(storage);
}

Event::Event() {
    EventState *s = new (m_storage) EventState;
    pthread_mutex_init(&s->mutex, nullptr);
    init_monotonic_cond(&s->cond);
    s->signalled = false;
}

Event::~Event() {
    EventState *s = event_state(m_storage);
    pthread_cond_destroy(&s->cond);
    pthread_mutex_destroy(&s->mutex);
}

void Event::set() {
    EventState *s = event_state(m_storage);
    pthread_mutex_lock(&s->mutex);
    s->signalled = true;
    pthread_cond_broadcast(&s->cond);
    pthread_mutex_unlock(&s->mutex);
}

void Event::reset() {
    EventState *s = event_state(m_storage);
    pthread_mutex_lock(&s->mutex);
    s->signalled = false;
    pthread_mutex_unlock(&s->mutex);
}

bool Event::wait(uint32_t timeoutMs) {
    EventState *s = event_state(m_storage);
    pthread_mutex_lock(&s->mutex);
    bool signalled = wait_flag(&s->cond, &s->mutex, &s->signalled, timeoutMs);
    pthread_mutex_unlock(&s->mutex);
    return signalled;
}

// ---- Process and time ----------------------------------------------------

void sleep_ms(uint32_t ms) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t process_id() {
    return static_cast<uint32_t>(getpid());
}

bool local_time(std::time_t t, std::tm *out) {
    return localtime_r(&t, out) != nullptr;
}

uint64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---- Files ---------------------------------------------------------------

uint32_t exe_path(char *buf, uint32_t size) {
    if (!buf || size == 0)
        return 0;
    buf[0] = '\0';
    // readlink does not terminate and reports truncation only by filling the
    // buffer, so read into a larger one and cut to the caller's size.
    char full[4096];
    ssize_t n = readlink("/proc/self/exe", full, sizeof(full) - 1);
    if (n <= 0)
        return 0;
    uint32_t len = static_cast<uint32_t>(n);
    if (len > size - 1)
        len = size - 1;
    for (uint32_t i = 0; i < len; ++i)
        buf[i] = full[i];
    buf[len] = '\0';
    return len;
}

bool path_exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

bool create_directory(const char *path) {
    return mkdir(path, 0777) == 0;
}

} // namespace plat
