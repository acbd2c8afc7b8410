// Runs a program as a child process with pipes on its stdin and stdout
// (stderr merged into stdout) and collects its output lines on a reader
// thread. No shell is involved. Every wait is bounded by a time-out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

class ChildProcess {
public:
    // Results of Wait besides an exit code (0..255, or 128 + signal number;
    // on Windows the process's exit code, 128 + 2, 15 or 9 when it was ended
    // by Interrupt, Terminate or Kill).
    static constexpr int WAIT_TIMED_OUT = -1; // still running at the time-out; killed
    static constexpr int NOT_STARTED = -2;

    typedef std::function<bool(const std::string &line)> LinePredicate;

    ChildProcess() = default;
    // Kills a child that still runs and joins the reader thread.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts program (a path; not looked up in PATH) with args, in workDir
    // (empty: the current directory), with the environment of this process
    // plus extraEnv. False, with Error() set, when it cannot be started.
    bool Start(const std::string &program, const std::vector<std::string> &args,
               const std::string &workDir = std::string(),
               const std::map<std::string, std::string> &extraEnv = {});
    const std::string &Error() const { return m_strError; }
    int Pid() const { return m_nPid; }

    // Writes text and a line feed to the child's stdin; false when the child
    // does not take it within the time-out or has closed its stdin.
    bool WriteLine(const std::string &text, int nTimeoutMs = 5000);
    void CloseStdin();

    // Returns (in *pLine) the first line not yet consumed that starts with
    // prefix, or satisfies pred, and marks it consumed. False on time-out or
    // when the output ended without such a line.
    bool WaitForLine(const std::string &prefix, int nTimeoutMs, std::string *pLine = nullptr);
    bool WaitForLine(const LinePredicate &pred, int nTimeoutMs, std::string *pLine = nullptr);

    std::vector<std::string> Lines() const;
    std::string Output() const;

    // Waits for the child to end and returns its exit code. A child that is
    // still running at the time-out is killed and WAIT_TIMED_OUT returned.
    int Wait(int nTimeoutMs);
    bool Running() const { return m_nPid > 0 && !m_bReaped; }
    // Sends SIGINT, SIGTERM or SIGKILL; false when no child runs. On Windows
    // the first two set the child's stop event (see stop_request.h) and end
    // a child without one; Kill ends it at once.
    bool Interrupt();
    bool Terminate();
    bool Kill();

private:
    bool SendSignal(int nSignal);
    void ReadOutput();
    void AddOutputLocked(const char *data, size_t n);
    // Called by the reader when it stops: the last partial line becomes a
    // line, and waiters learn that no more output comes.
    void EndOutput();
    // Waits up to nGraceMs for the reader to reach the end of the output.
    void WaitForOutputEnd(int nGraceMs);
    void StopReader(int nGraceMs);

    std::string m_strError;
    int m_nPid = -1;
    bool m_bReaped = false;
    int m_nExitCode = NOT_STARTED;
#if defined(_WIN32)
    void *m_hProcess = nullptr; // HANDLEs
    void *m_hStdin = nullptr;
    void *m_hStdout = nullptr;
    std::atomic<bool> m_bStopReading{false};
#else
    int m_fdStdin = -1;
    int m_fdStdout = -1;
    int m_fdWake[2] = {-1, -1};
#endif
    std::thread m_reader;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_output;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::vector<bool> m_consumed;
    bool m_bEof = false;
};

} // namespace testkit
