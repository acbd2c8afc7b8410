#include "test_client.h"

#include <cerrno>
#include <chrono>

namespace testkit {

namespace {

typedef std::chrono::steady_clock Clock;

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A non-blocking socket connecting to 127.0.0.1:nPort; *pError is 0 when
// connected within the time-out.
Socket ConnectSocket(uint16_t nPort, int nTimeoutMs, int *pError) {
    Socket fd = OpenTcpSocket(true);
    if (fd == BAD_SOCKET) {
        *pError = LastSocketError();
        return BAD_SOCKET;
    }
    *pError = ConnectLoopback(fd, nPort);
    if (*pError != EINPROGRESS)
        return fd;
    if (!WaitWritable(fd, nTimeoutMs)) {
        *pError = ETIMEDOUT;
        return fd;
    }
    *pError = ConnectError(fd);
    return fd;
}

bool WouldBlock(int nError) {
    return nError == EAGAIN || nError == EINTR;
}

} // namespace

// Some Winsock implementations report a reset connection to recv as an
// orderly end; a send of no bytes still fails on it, and does nothing on a
// connection that the peer merely closed.
bool TestClient::ResetSeenAsEnd() {
#if defined(_WIN32)
    return SendSome(m_fd, "", 0) < 0 && LastSocketError() == ECONNRESET;
#else
    return false;
#endif
}

int TryConnect(uint16_t nPort, int nTimeoutMs) {
    int error = 0;
    Socket fd = ConnectSocket(nPort, nTimeoutMs, &error);
    CloseSocket(fd);
    return error;
}

bool TestClient::Connect(uint16_t nPort, int nTimeoutMs) {
    Close();
    int error = 0;
    m_fd = ConnectSocket(nPort, nTimeoutMs, &error);
    m_bResetEarly = error == ECONNRESET;
    if (error != 0 && !m_bResetEarly)
        Close();
    return m_fd != BAD_SOCKET;
}

bool TestClient::Send(const Bytes &bytes, int nTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        long n = SendSome(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && !WouldBlock(LastSocketError()))
            return false;
        if (!WaitWritable(m_fd, Remaining(deadline)))
            return false;
    }
    return true;
}

Bytes TestClient::Receive(size_t n, int nTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    Bytes got;
    while (got.size() < n) {
        if (!WaitReadable(m_fd, Remaining(deadline)))
            break;
        uint8_t buf[4096];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        long r = ReceiveSome(m_fd, buf, want);
        if (r <= 0 && !(r < 0 && WouldBlock(LastSocketError())))
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
        if (!WaitReadable(m_fd, Remaining(deadline)))
            return END_TIMEOUT;
        uint8_t buf[4096];
        long r = ReceiveSome(m_fd, buf, sizeof buf);
        if (r == 0)
            return ResetSeenAsEnd() ? END_RESET : END_CLOSED;
        if (r < 0 && LastSocketError() == ECONNRESET)
            return END_RESET;
        if (r < 0 && !WouldBlock(LastSocketError()))
            return END_CLOSED;
    }
}

size_t TestClient::FillUntilBlocked(const Bytes &chunk, size_t nMaxBytes) {
    size_t total = 0;
    while (total < nMaxBytes) {
        long n = SendSome(m_fd, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < chunk.size())
            break;
    }
    return total;
}

void TestClient::SetSendBuffer(int nBytes) {
    testkit::SetSendBuffer(m_fd, nBytes);
}

void TestClient::Close() {
    CloseSocket(m_fd);
    m_fd = BAD_SOCKET;
    m_bResetEarly = false;
}

} // namespace testkit
