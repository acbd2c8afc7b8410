// ChildProcess on Windows: CreateProcess with anonymous pipes, a reader that
// polls its pipe, and stop requests through the child's stop event.
#include "child_process.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "stop_request.h"

namespace testkit {

namespace {

typedef std::chrono::steady_clock Clock;

const DWORD PIPE_SIZE = 65536;
const int EXIT_INTERRUPTED = 128 + 2;
const int EXIT_TERMINATED = 128 + 15;
const int EXIT_KILLED = 128 + 9;

// Inheritable handles are handed to every child started while they exist,
// so pipes are made and handed over one child at a time.
std::mutex g_startMutex;

HANDLE H(void *p) {
    return static_cast<HANDLE>(p);
}

void CloseH(void **p) {
    if (*p != nullptr)
        CloseHandle(H(*p));
    *p = nullptr;
}

std::string LastErrorText() {
    DWORD nError = GetLastError();
    char text[512] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             nError, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
    return n > 0 ? std::string(text) : "error " + std::to_string(nError);
}

// One argument quoted so that the child's C runtime splits it back out
// unchanged: backslashes double only in front of a quote.
std::string Quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t nBackslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++nBackslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * nBackslashes + 1 : nBackslashes, '\\');
        nBackslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * nBackslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string CommandLine(const std::string &program, const std::vector<std::string> &args) {
    std::string line = Quote(program);
    for (const std::string &arg : args)
        line += " " + Quote(arg);
    return line;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// This process's environment with extraEnv laid over it (names compare
// without case, as Windows does), as a sorted environment block.
std::vector<char> BuildEnvironment(const std::map<std::string, std::string> &extraEnv) {
    std::map<std::string, std::string> byName; // lowercase name -> "Name=value"
    char *block = GetEnvironmentStringsA();
    for (const char *p = block; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
        std::string entry(p);
        // Entries such as "=C:=C:\dir" keep their leading "=" in the name.
        size_t eq = entry.find('=', 1);
        byName[Lower(entry.substr(0, eq))] = entry;
    }
    if (block != nullptr)
        FreeEnvironmentStringsA(block);
    for (const auto &kv : extraEnv)
        byName[Lower(kv.first)] = kv.first + "=" + kv.second;
    std::vector<char> env;
    for (const auto &kv : byName) {
        env.insert(env.end(), kv.second.begin(), kv.second.end());
        env.push_back('\0');
    }
    env.push_back('\0');
    return env;
}

// A pipe whose childEnd is inheritable and whose other end is not.
bool MakePipe(HANDLE *pRead, HANDLE *pWrite, bool bChildReads) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    if (!CreatePipe(pRead, pWrite, &sa, PIPE_SIZE))
        return false;
    SetHandleInformation(bChildReads ? *pWrite : *pRead, HANDLE_FLAG_INHERIT, 0);
    return true;
}

} // namespace

ChildProcess::~ChildProcess() {
    if (Running()) {
        TerminateProcess(H(m_hProcess), EXIT_KILLED);
        WaitForSingleObject(H(m_hProcess), INFINITE);
        m_bReaped = true;
    }
    StopReader(500);
    CloseH(&m_hStdin);
    CloseH(&m_hProcess);
}

bool ChildProcess::Start(const std::string &program, const std::vector<std::string> &args,
                         const std::string &workDir,
                         const std::map<std::string, std::string> &extraEnv) {
    if (m_nPid > 0) {
        m_strError = "already started";
        return false;
    }
    std::string commandLine = CommandLine(program, args);
    std::vector<char> env = BuildEnvironment(extraEnv);

    std::lock_guard<std::mutex> startLock(g_startMutex);
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!MakePipe(&inRead, &inWrite, true) || !MakePipe(&outRead, &outWrite, false)) {
        m_strError = "pipe: " + LastErrorText();
        for (HANDLE h : {inRead, inWrite})
            if (h != nullptr)
                CloseHandle(h);
        return false;
    }
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    BOOL bStarted =
        CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       env.data(), workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    std::string startError = bStarted ? std::string() : LastErrorText();
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (!bStarted) {
        m_strError = "cannot start " + program + ": " + startError;
        CloseHandle(inWrite);
        CloseHandle(outRead);
        return false;
    }
    CloseHandle(pi.hThread);
    m_hProcess = pi.hProcess;
    m_nPid = static_cast<int>(pi.dwProcessId);
    m_hStdin = inWrite;
    m_hStdout = outRead;
    m_bStopReading = false;
    m_reader = std::thread(&ChildProcess::ReadOutput, this);
    return true;
}

// ---- Output ----------------------------------------------------------------

// Looks at the pipe every few milliseconds rather than blocking in ReadFile,
// so that StopReader can end it even while a grandchild keeps the pipe open.
void ChildProcess::ReadOutput() {
    char buf[4096];
    while (!m_bStopReading) {
        DWORD nAvailable = 0;
        if (!PeekNamedPipe(H(m_hStdout), nullptr, 0, nullptr, &nAvailable, nullptr))
            break; // the write end is closed and everything has been read
        if (nAvailable == 0) {
            Sleep(5);
            continue;
        }
        DWORD n = 0;
        DWORD nWant = nAvailable < sizeof buf ? nAvailable : static_cast<DWORD>(sizeof buf);
        if (!ReadFile(H(m_hStdout), buf, nWant, &n, nullptr) || n == 0)
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        AddOutputLocked(buf, n);
    }
    EndOutput();
}

void ChildProcess::StopReader(int nGraceMs) {
    if (!m_reader.joinable())
        return;
    WaitForOutputEnd(nGraceMs);
    m_bStopReading = true;
    m_reader.join();
    CloseH(&m_hStdout);
}

// ---- Input -----------------------------------------------------------------

// The pipe holds PIPE_SIZE bytes, far more than a command line, so a write
// finishes at once while the child is alive and fails once it has gone.
bool ChildProcess::WriteLine(const std::string &text, int nTimeoutMs) {
    (void)nTimeoutMs;
    if (m_hStdin == nullptr)
        return false;
    std::string data = text + "\n";
    size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(H(m_hStdin), data.data() + done, static_cast<DWORD>(data.size() - done), &n,
                       nullptr) ||
            n == 0)
            return false;
        done += n;
    }
    return true;
}

void ChildProcess::CloseStdin() {
    CloseH(&m_hStdin);
}

// ---- Ending ----------------------------------------------------------------

int ChildProcess::Wait(int nTimeoutMs) {
    if (m_nPid <= 0)
        return NOT_STARTED;
    if (!m_bReaped) {
        DWORD nWait = WaitForSingleObject(H(m_hProcess), static_cast<DWORD>(nTimeoutMs));
        DWORD nCode = 255;
        if (nWait == WAIT_OBJECT_0 && GetExitCodeProcess(H(m_hProcess), &nCode)) {
            m_nExitCode = static_cast<int>(nCode);
        } else {
            TerminateProcess(H(m_hProcess), EXIT_KILLED);
            WaitForSingleObject(H(m_hProcess), INFINITE);
            m_nExitCode = WAIT_TIMED_OUT;
        }
        m_bReaped = true;
        CloseH(&m_hStdin);
    }
    StopReader(2000);
    return m_nExitCode;
}

// nSignal is the exit code of a child that has to be ended by force.
bool ChildProcess::SendSignal(int nSignal) {
    if (!Running())
        return false;
    return TerminateProcess(H(m_hProcess), static_cast<UINT>(nSignal)) != 0;
}

bool ChildProcess::Interrupt() {
    if (Running() && RequestStop(static_cast<unsigned long>(m_nPid)))
        return true;
    return SendSignal(EXIT_INTERRUPTED);
}

bool ChildProcess::Terminate() {
    if (Running() && RequestStop(static_cast<unsigned long>(m_nPid)))
        return true;
    return SendSignal(EXIT_TERMINATED);
}

bool ChildProcess::Kill() {
    return SendSignal(EXIT_KILLED);
}

} // namespace testkit
