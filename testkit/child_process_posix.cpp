// ChildProcess on POSIX: posix_spawn with pipes, a poll-based reader and
// signals.
#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;

namespace testkit {

namespace {

typedef std::chrono::steady_clock Clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void CloseFd(int *fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// A close-on-exec pipe whose ends are not 0, 1 or 2, so that redirecting
// them onto the child's standard descriptors never maps a descriptor onto
// itself (which would keep close-on-exec set).
bool MakePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > 2)
            continue;
        int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
        close(fds[i]);
        fds[i] = moved;
    }
    if (fds[0] < 0 || fds[1] < 0) {
        CloseFd(&fds[0]);
        CloseFd(&fds[1]);
        return false;
    }
    return true;
}

std::vector<std::string> BuildEnvironment(const std::map<std::string, std::string> &extraEnv) {
    std::vector<std::string> env;
    for (char **p = environ; *p != nullptr; ++p) {
        std::string entry(*p);
        std::string name = entry.substr(0, entry.find('='));
        if (extraEnv.count(name) == 0)
            env.push_back(entry);
    }
    for (const auto &kv : extraEnv)
        env.push_back(kv.first + "=" + kv.second);
    return env;
}

std::vector<char *> PointerArray(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &s : strings)
        pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Writes to a pipe without letting a closed read end raise SIGPIPE in this
// process: the signal is blocked on this thread and a pending one consumed.
ssize_t WriteNoSignal(int fd, const char *data, size_t n) {
    sigset_t pipeSet;
    sigset_t oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    ssize_t written = write(fd, data, n);
    int savedErrno = errno;
    if (written < 0 && savedErrno == EPIPE) {
        timespec zero = {0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    errno = savedErrno;
    return written;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 255;
}

} // namespace

ChildProcess::~ChildProcess() {
    if (Running()) {
        kill(m_nPid, SIGKILL);
        int status = 0;
        waitpid(m_nPid, &status, 0);
        m_bReaped = true;
    }
    StopReader(500);
    CloseFd(&m_fdStdin);
}

bool ChildProcess::Start(const std::string &program, const std::vector<std::string> &args,
                         const std::string &workDir,
                         const std::map<std::string, std::string> &extraEnv) {
    if (m_nPid > 0) {
        m_strError = "already started";
        return false;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (!MakePipe(in) || !MakePipe(out) || pipe2(m_fdWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_strError = std::string("pipe: ") + std::strerror(errno);
        CloseFd(&in[0]);
        CloseFd(&in[1]);
        CloseFd(&out[0]);
        CloseFd(&out[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (!workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    // The child starts with no blocked signals and default handlers for the
    // signals tests send, whatever this thread has set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &noSignals);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = BuildEnvironment(extraEnv);
    std::vector<char *> argv = PointerArray(argStrings);
    std::vector<char *> envp = PointerArray(envStrings);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    CloseFd(&in[0]);
    CloseFd(&out[1]);
    if (rc != 0) {
        m_strError = "cannot start " + program + ": " + std::strerror(rc);
        CloseFd(&in[1]);
        CloseFd(&out[0]);
        CloseFd(&m_fdWake[0]);
        CloseFd(&m_fdWake[1]);
        return false;
    }
    m_nPid = pid;
    m_fdStdin = in[1];
    fcntl(m_fdStdin, F_SETFL, fcntl(m_fdStdin, F_GETFL) | O_NONBLOCK);
    m_fdStdout = out[0];
    m_reader = std::thread(&ChildProcess::ReadOutput, this);
    return true;
}

// ---- Output ----------------------------------------------------------------

void ChildProcess::ReadOutput() {
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{m_fdStdout, POLLIN, 0}, {m_fdWake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue; // EINTR
        if (fds[1].revents != 0)
            break;
        ssize_t n = read(m_fdStdout, buf, sizeof buf);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            AddOutputLocked(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        break;
    }
    EndOutput();
}

// Lets the reader collect what the child wrote, for at most nGraceMs, then
// stops it.
void ChildProcess::StopReader(int nGraceMs) {
    if (!m_reader.joinable())
        return;
    WaitForOutputEnd(nGraceMs);
    char c = 1;
    ssize_t n = write(m_fdWake[1], &c, 1);
    (void)n;
    m_reader.join();
    CloseFd(&m_fdStdout);
    CloseFd(&m_fdWake[0]);
    CloseFd(&m_fdWake[1]);
}

// ---- Input -----------------------------------------------------------------

bool ChildProcess::WriteLine(const std::string &text, int nTimeoutMs) {
    if (m_fdStdin < 0)
        return false;
    std::string data = text + "\n";
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = WriteNoSignal(m_fdStdin, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        int left = RemainingMs(deadline);
        if (left == 0)
            return false;
        pollfd pfd = {m_fdStdin, POLLOUT, 0};
        poll(&pfd, 1, left);
    }
    return true;
}

void ChildProcess::CloseStdin() {
    CloseFd(&m_fdStdin);
}

// ---- Ending ----------------------------------------------------------------

int ChildProcess::Wait(int nTimeoutMs) {
    if (m_nPid <= 0)
        return NOT_STARTED;
    if (!m_bReaped) {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        int status = 0;
        pid_t done = 0;
        for (;;) {
            done = waitpid(m_nPid, &status, WNOHANG);
            if (done != 0 || RemainingMs(deadline) == 0)
                break;
            usleep(5000);
        }
        if (done == m_nPid) {
            m_nExitCode = DecodeStatus(status);
        } else if (done < 0) {
            m_nExitCode = 255; // reaped elsewhere: the status is lost
        } else {
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, &status, 0);
            m_nExitCode = WAIT_TIMED_OUT;
        }
        m_bReaped = true;
        CloseFd(&m_fdStdin);
    }
    StopReader(2000);
    return m_nExitCode;
}

bool ChildProcess::SendSignal(int nSignal) {
    if (!Running())
        return false;
    return kill(m_nPid, nSignal) == 0;
}

bool ChildProcess::Interrupt() {
    return SendSignal(SIGINT);
}

bool ChildProcess::Terminate() {
    return SendSignal(SIGTERM);
}

bool ChildProcess::Kill() {
    return SendSignal(SIGKILL);
}

} // namespace testkit
