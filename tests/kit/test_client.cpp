#include "test_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testkit {

namespace {

typedef std::chrono::steady_clock Clock;

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A non-blocking socket connecting to 127.0.0.1:nPort; *pError is 0 when
// connected within the time-out.
int ConnectSocket(uint16_t nPort, int nTimeoutMs, int *pError) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *pError = errno;
        return -1;
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(nPort);
    *pError = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        *pError = errno;
        return fd;
    }
    pollfd pfd = {fd, POLLOUT, 0};
    if (poll(&pfd, 1, nTimeoutMs) <= 0) {
        *pError = ETIMEDOUT;
        return fd;
    }
    socklen_t len = sizeof *pError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, pError, &len);
    return fd;
}

} // namespace

int TryConnect(uint16_t nPort, int nTimeoutMs) {
    int error = 0;
    int fd = ConnectSocket(nPort, nTimeoutMs, &error);
    if (fd >= 0)
        close(fd);
    return error;
}

bool TestClient::Connect(uint16_t nPort, int nTimeoutMs) {
    Close();
    int error = 0;
    m_fd = ConnectSocket(nPort, nTimeoutMs, &error);
    m_bResetEarly = error == ECONNRESET;
    if (error != 0 && !m_bResetEarly)
        Close();
    return m_fd >= 0;
}

bool TestClient::Send(const Bytes &bytes, int nTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd = {m_fd, POLLOUT, 0};
        if (poll(&pfd, 1, Remaining(deadline)) <= 0)
            return false;
    }
    return true;
}

Bytes TestClient::Receive(size_t n, int nTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    Bytes got;
    while (got.size() < n) {
        pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, Remaining(deadline)) <= 0)
            break;
        uint8_t buf[4096];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t r = recv(m_fd, buf, want, 0);
        if (r <= 0 && !(r < 0 && (errno == EAGAIN || errno == EINTR)))
            break;
        if (r > 0)
            got.insert(got.end(), buf, buf + r);
    }
    return got;
}

TestClient::End TestClient::WaitForEnd(int nTimeoutMs) {
    if (m_bResetEarly)
        return END_RESET;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, Remaining(deadline)) <= 0)
            return END_TIMEOUT;
        uint8_t buf[4096];
        ssize_t r = recv(m_fd, buf, sizeof buf, 0);
        if (r == 0)
            return END_CLOSED;
        if (r < 0 && errno == ECONNRESET)
            return END_RESET;
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return END_CLOSED;
    }
}

size_t TestClient::FillUntilBlocked(const Bytes &chunk, size_t nMaxBytes) {
    size_t total = 0;
    while (total < nMaxBytes) {
        ssize_t n = send(m_fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < chunk.size())
            break;
    }
    return total;
}

void TestClient::SetSendBuffer(int nBytes) {
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &nBytes, sizeof nBytes);
}

void TestClient::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_bResetEarly = false;
}

} // namespace testkit
