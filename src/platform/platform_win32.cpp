// Win32 implementation of the platform layer.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

namespace plat {

// ---- Threads -------------------------------------------------------------

struct Thread {
    HANDLE handle;
    DWORD id;
};

// What the new thread runs; it owns and frees this record, so the handle's
// owner may release the handle at any time.
struct StartRecord {
    ThreadProc proc;
    void *arg;
    HMODULE module; // a reference to the module holding this code, or null
};

// Takes a reference to the module that holds this code (the relay's DLL), so
// that a host unloading it cannot pull the code from under a relay thread
// that outlived its stop wait.
static HMODULE pin_own_module() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&pin_own_module), &module))
        return nullptr;
    return module;
}

static std::atomic<int> s_nRunningThreads(0);

static DWORD WINAPI thread_trampoline(LPVOID p) {
    StartRecord start = *static_cast<StartRecord *>(p);
    delete static_cast<StartRecord *>(p);
    const DWORD code = start.proc(start.arg);
    --s_nRunningThreads;
    // Drops the module reference without returning into code that the drop
    // may have unmapped.
    if (start.module)
        FreeLibraryAndExitThread(start.module, code);
    return code;
}

Thread *thread_start(ThreadProc proc, void *arg, const char * /*name*/) {
    Thread *t = new (std::nothrow) Thread;
    StartRecord *start = new (std::nothrow) StartRecord{proc, arg, nullptr};
    if (t && start) {
        start->module = pin_own_module();
        ++s_nRunningThreads;
        t->handle = CreateThread(nullptr, 0, thread_trampoline, start, 0, &t->id);
        if (!t->handle)
            --s_nRunningThreads;
    }
    if (!t || !start || !t->handle) {
        if (start && start->module)
            FreeLibrary(start->module);
        delete start;
        delete t;
        return nullptr;
    }
    return t;
}

bool thread_wait(Thread *t, uint32_t timeoutMs) {
    if (!t)
        return true;
    DWORD wait = timeoutMs == WAIT_FOREVER ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(t->handle, wait) == WAIT_OBJECT_0;
}

// Closing the handle of a running thread lets it run on to its end.
void thread_release(Thread *t) {
    if (!t)
        return;
    CloseHandle(t->handle);
    delete t;
}

bool thread_is_current(const Thread *t) {
    return t && t->id == GetCurrentThreadId();
}

// Threads that the process's end cut short never count down; the state they
// would have used is then left to the ending process.
int running_threads() {
    return s_nRunningThreads.load();
}

// ---- The module ----------------------------------------------------------

// Nothing to do: every relay thread holds a reference to the module from its
// start to its end (thread_start).
void pin_module() {}

// ---- Locks ---------------------------------------------------------------

static_assert(sizeof(CRITICAL_SECTION) <= 64, "Lock storage too small");

Lock::Lock() {
    InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(m_storage));
}
Lock::~Lock() {
    DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(m_storage));
}
void Lock::enter() {
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(m_storage));
}
void Lock::leave() {
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(m_storage));
}

static HANDLE &event_handle(unsigned char *storage) {
    return *reinterpret_cast<HANDLE *>(storage);
}

Event::Event() {
    event_handle(m_storage) = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Event::~Event() {
    if (event_handle(m_storage))
        CloseHandle(event_handle(m_storage));
}

void Event::set() {
    if (event_handle(m_storage))
        SetEvent(event_handle(m_storage));
}

void Event::reset() {
    if (event_handle(m_storage))
        ResetEvent(event_handle(m_storage));
}

// An event that could not be created still makes its waiters wait the full
// time, so a loop paced by it never spins.
bool Event::wait(uint32_t timeoutMs) {
    HANDLE event = event_handle(m_storage);
    if (!event) {
        Sleep(timeoutMs == WAIT_FOREVER ? INFINITE : static_cast<DWORD>(timeoutMs));
        return false;
    }
    DWORD wait = timeoutMs == WAIT_FOREVER ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(event, wait) == WAIT_OBJECT_0;
}

// ---- Process and time ----------------------------------------------------

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

uint32_t process_id() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

bool local_time(std::time_t t, std::tm *out) {
    return localtime_s(out, &t) == 0;
}

// Whole seconds and the remainder are scaled apart: counter * 1000 would
// overflow after some weeks of uptime on a high-frequency counter.
uint64_t monotonic_ms() {
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
        !QueryPerformanceCounter(&now))
        return GetTickCount();
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t q = static_cast<uint64_t>(now.QuadPart);
    return q / f * 1000u + q % f * 1000u / f;
}

// ---- Files ---------------------------------------------------------------

uint32_t exe_path(char *buf, uint32_t size) {
    if (!buf || size == 0)
        return 0;
    buf[0] = '\0';
    // No module handle: the host's executable, not this library.
    DWORD n = GetModuleFileNameA(nullptr, buf, size);
    if (n == 0)
        return 0;
    // A name longer than the buffer is cut to it; older systems then leave
    // it unterminated.
    if (n >= size)
        n = size - 1;
    buf[n] = '\0';
    return static_cast<uint32_t>(n);
}

bool path_exists(const char *path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool create_directory(const char *path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

} // namespace plat
