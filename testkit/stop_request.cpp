#include "stop_request.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#else
#include <csignal>
#include <cstring>
#endif

namespace testkit {

#if defined(_WIN32)

namespace {

HANDLE g_hStopEvent = nullptr;

std::string StopEventName(unsigned long nPid) {
    return "Local\\relay-kit-stop-" + std::to_string(nPid);
}

BOOL WINAPI OnConsoleControl(DWORD nType) {
    if (nType != CTRL_C_EVENT && nType != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(g_hStopEvent);
    return TRUE;
}

} // namespace

bool WatchStopRequests() {
    if (g_hStopEvent == nullptr)
        g_hStopEvent =
            CreateEventA(nullptr, TRUE, FALSE, StopEventName(GetCurrentProcessId()).c_str());
    if (g_hStopEvent == nullptr)
        return false;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return true;
}

bool StopRequested() {
    return g_hStopEvent != nullptr && WaitForSingleObject(g_hStopEvent, 0) == WAIT_OBJECT_0;
}

bool RequestStop(unsigned long nPid) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, StopEventName(nPid).c_str());
    if (event == nullptr)
        return false;
    bool bSet = SetEvent(event) != 0;
    CloseHandle(event);
    return bSet;
}

#else

namespace {

volatile std::sig_atomic_t g_nStopSignal = 0;

extern "C" void OnStopSignal(int nSignal) {
    g_nStopSignal = nSignal;
}

} // namespace

bool WatchStopRequests() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool StopRequested() {
    return g_nStopSignal != 0;
}

#endif

} // namespace testkit
