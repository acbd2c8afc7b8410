#include "kit_socket.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testkit {

namespace {

#if defined(_WIN32)
typedef SOCKET NativeSocket;
typedef int SockLen;
#else
typedef int NativeSocket;
typedef socklen_t SockLen;
#endif

NativeSocket Native(Socket s) {
    return static_cast<NativeSocket>(s);
}

sockaddr_in Ipv4Address(uint32_t nAddress, uint16_t nPort) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = nAddress; // network order
    addr.sin_port = htons(nPort);
    return addr;
}

sockaddr_in LoopbackAddress(uint16_t nPort) {
    return Ipv4Address(htonl(INADDR_LOOPBACK), nPort);
}

template <class T> void SetOption(Socket s, int level, int name, T value) {
    setsockopt(Native(s), level, name, reinterpret_cast<const char *>(&value), sizeof value);
}

bool BindTo(Socket s, const sockaddr_in &addr) {
    return bind(Native(s), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

bool Bind(Socket s, uint16_t nPort) {
    return BindTo(s, LoopbackAddress(nPort));
}

} // namespace

#if defined(_WIN32)

// ---- Windows -----------------------------------------------------------------

namespace {

Socket FromNative(SOCKET s) {
    return s == INVALID_SOCKET ? BAD_SOCKET : static_cast<Socket>(s);
}

int ErrnoOf(int nWsaError) {
    switch (nWsaError) {
    case 0:
        return 0;
    case WSAEWOULDBLOCK:
        return EAGAIN;
    case WSAEINPROGRESS:
    case WSAEALREADY:
        return EINPROGRESS;
    case WSAEINTR:
        return EINTR;
    case WSAECONNRESET:
        return ECONNRESET;
    case WSAECONNABORTED:
        return ECONNABORTED;
    case WSAECONNREFUSED:
        return ECONNREFUSED;
    case WSAETIMEDOUT:
        return ETIMEDOUT;
    case WSAENOTCONN:
        return ENOTCONN;
    case WSAEADDRINUSE:
        return EADDRINUSE;
    default:
        return nWsaError;
    }
}

void NotInherited(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

} // namespace

bool SocketsReady() {
    static const bool s_bReady = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bReady;
}

Socket OpenTcpSocket(bool bNonBlocking) {
    if (!SocketsReady())
        return BAD_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return BAD_SOCKET;
    NotInherited(s);
    if (bNonBlocking)
        SetNonBlocking(FromNative(s));
    return FromNative(s);
}

bool SetNonBlocking(Socket s) {
    u_long one = 1;
    return ioctlsocket(Native(s), FIONBIO, &one) == 0;
}

void CloseSocket(Socket s) {
    if (s != BAD_SOCKET)
        closesocket(Native(s));
}

int LastSocketError() {
    return ErrnoOf(WSAGetLastError());
}

std::string SocketErrorText(int nError) {
    return nError >= WSABASEERR ? "Winsock error " + std::to_string(nError)
                                : std::string(std::strerror(nError));
}

int ConnectLoopback(Socket s, uint16_t nPort) {
    sockaddr_in addr = LoopbackAddress(nPort);
    if (connect(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return 0;
    int nError = LastSocketError();
    return nError == EAGAIN ? EINPROGRESS : nError;
}

Socket AcceptSocket(Socket listener) {
    SOCKET s = accept(Native(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return BAD_SOCKET;
    NotInherited(s);
    SetNonBlocking(FromNative(s));
    return FromNative(s);
}

long SendSome(Socket s, const void *data, size_t n) {
    int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
    return send(Native(s), static_cast<const char *>(data), chunk, 0);
}

long ReceiveSome(Socket s, void *data, size_t n) {
    int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
    return recv(Native(s), static_cast<char *>(data), chunk, 0);
}

// select() rather than WSAPoll: WSAPoll does not report a failed connect.
int WaitSockets(SocketWait *entries, size_t n, int nTimeoutMs) {
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    for (size_t i = 0; i < n && i < FD_SETSIZE; ++i) {
        entries[i].revents = 0;
        if (entries[i].events & WAIT_IN)
            FD_SET(Native(entries[i].s), &readSet);
        if (entries[i].events & WAIT_OUT)
            FD_SET(Native(entries[i].s), &writeSet);
        FD_SET(Native(entries[i].s), &exceptSet);
    }
    timeval tv = {nTimeoutMs / 1000, (nTimeoutMs % 1000) * 1000};
    int nResult = select(0, &readSet, &writeSet, &exceptSet, nTimeoutMs < 0 ? nullptr : &tv);
    if (nResult <= 0)
        return nResult < 0 ? -1 : 0;
    int nReady = 0;
    for (size_t i = 0; i < n && i < FD_SETSIZE; ++i) {
        if (FD_ISSET(Native(entries[i].s), &readSet))
            entries[i].revents |= WAIT_IN;
        if (FD_ISSET(Native(entries[i].s), &writeSet))
            entries[i].revents |= WAIT_OUT;
        if (FD_ISSET(Native(entries[i].s), &exceptSet))
            entries[i].revents |= WAIT_ERR;
        nReady += entries[i].revents != 0;
    }
    return nReady;
}

// A UDP socket sending to another on 127.0.0.1: the waiting thread sees the
// reading one become readable.
bool Waker::Open(std::string *pError) {
    Close();
    if (SocketsReady()) {
        m_read = FromNative(socket(AF_INET, SOCK_DGRAM, 0));
        m_write = FromNative(socket(AF_INET, SOCK_DGRAM, 0));
    }
    sockaddr_in addr = LoopbackAddress(0);
    SockLen len = sizeof addr;
    if (m_read == BAD_SOCKET || m_write == BAD_SOCKET ||
        bind(Native(m_read), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(Native(m_read), reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        connect(Native(m_write), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *pError = "cannot make the wake-up sockets: " + SocketErrorText(LastSocketError());
        Close();
        return false;
    }
    NotInherited(Native(m_read));
    NotInherited(Native(m_write));
    SetNonBlocking(m_read);
    SetNonBlocking(m_write);
    return true;
}

void Waker::Wake() {
    char c = 1;
    // A full queue already guarantees a wake-up, so a failed send is fine.
    send(Native(m_write), &c, 1, 0);
}

void Waker::Drain() {
    char buf[64];
    while (recv(Native(m_read), buf, sizeof buf, 0) > 0) {
    }
}

#else

// ---- POSIX -------------------------------------------------------------------

bool SocketsReady() {
    return true;
}

Socket OpenTcpSocket(bool bNonBlocking) {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (bNonBlocking ? SOCK_NONBLOCK : 0), 0);
}

bool SetNonBlocking(Socket s) {
    int flags = fcntl(Native(s), F_GETFL);
    return flags >= 0 && fcntl(Native(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

void CloseSocket(Socket s) {
    if (s != BAD_SOCKET)
        close(Native(s));
}

int LastSocketError() {
    return errno == EWOULDBLOCK ? EAGAIN : errno;
}

std::string SocketErrorText(int nError) {
    return std::strerror(nError);
}

int ConnectLoopback(Socket s, uint16_t nPort) {
    sockaddr_in addr = LoopbackAddress(nPort);
    if (connect(Native(s), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return 0;
    return errno;
}

Socket AcceptSocket(Socket listener) {
    return accept4(Native(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

// A send to a reset peer fails with EPIPE instead of raising SIGPIPE.
long SendSome(Socket s, const void *data, size_t n) {
    return send(Native(s), data, n, MSG_NOSIGNAL);
}

long ReceiveSome(Socket s, void *data, size_t n) {
    return recv(Native(s), data, n, 0);
}

int WaitSockets(SocketWait *entries, size_t n, int nTimeoutMs) {
    pollfd fds[16];
    if (n > 16)
        n = 16;
    for (size_t i = 0; i < n; ++i) {
        fds[i].fd = Native(entries[i].s);
        fds[i].events = static_cast<short>(((entries[i].events & WAIT_IN) ? POLLIN : 0) |
                                           ((entries[i].events & WAIT_OUT) ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int nResult = poll(fds, static_cast<nfds_t>(n), nTimeoutMs);
    for (size_t i = 0; i < n; ++i) {
        short r = fds[i].revents;
        entries[i].revents = static_cast<short>(
            ((r & POLLIN) ? WAIT_IN : 0) | ((r & POLLOUT) ? WAIT_OUT : 0) |
            ((r & (POLLERR | POLLNVAL)) ? WAIT_ERR : 0) | ((r & POLLHUP) ? WAIT_HUP : 0));
    }
    return nResult;
}

bool Waker::Open(std::string *pError) {
    Close();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *pError = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_read = fds[0];
    m_write = fds[1];
    return true;
}

void Waker::Wake() {
    char c = 1;
    // A full pipe already guarantees a wake-up, so a failed write is fine.
    ssize_t n = write(static_cast<int>(m_write), &c, 1);
    (void)n;
}

void Waker::Drain() {
    char buf[64];
    while (read(static_cast<int>(m_read), buf, sizeof buf) > 0) {
    }
}

#endif

// ---- Both ----------------------------------------------------------------------

void SetNoDelay(Socket s) {
    SetOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

void SetReceiveBuffer(Socket s, int nBytes) {
    SetOption(s, SOL_SOCKET, SO_RCVBUF, nBytes);
}

void SetSendBuffer(Socket s, int nBytes) {
    SetOption(s, SOL_SOCKET, SO_SNDBUF, nBytes);
}

void ResetSocket(Socket s) {
    linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    SetOption(s, SOL_SOCKET, SO_LINGER, lg);
    CloseSocket(s);
}

bool ListenLoopback(Socket s, uint16_t nPort, int nBacklog, std::string *pError) {
    return ListenOn(s, "127.0.0.1", nPort, nBacklog, pError);
}

bool ListenOn(Socket s, const std::string &address, uint16_t nPort, int nBacklog,
              std::string *pError) {
    const uint32_t nAddress = inet_addr(address.c_str());
    if (nAddress == INADDR_NONE) {
        *pError = "not an IPv4 address: " + address;
        return false;
    }
    SetOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
    if (!BindTo(s, Ipv4Address(nAddress, nPort)) || listen(Native(s), nBacklog) != 0) {
        *pError = "cannot listen on " + address + ":" + std::to_string(nPort) + ": " +
                  SocketErrorText(LastSocketError());
        return false;
    }
    return true;
}

bool BindLoopback(Socket s, uint16_t nPort, std::string *pError) {
    if (!Bind(s, nPort)) {
        *pError = "cannot bind to 127.0.0.1:" + std::to_string(nPort) + ": " +
                  SocketErrorText(LastSocketError());
        return false;
    }
    return true;
}

uint16_t BoundPort(Socket s) {
    sockaddr_in addr;
    SockLen len = sizeof addr;
    if (getsockname(Native(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

int ConnectError(Socket s) {
    int nError = 0;
    SockLen len = sizeof nError;
    if (getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&nError), &len) != 0)
        return LastSocketError();
#if defined(_WIN32)
    return ErrnoOf(nError);
#else
    return nError;
#endif
}

bool WaitReadable(Socket s, int nTimeoutMs) {
    SocketWait entry = {s, WAIT_IN, 0};
    return WaitSockets(&entry, 1, nTimeoutMs) > 0;
}

bool WaitWritable(Socket s, int nTimeoutMs) {
    SocketWait entry = {s, WAIT_OUT, 0};
    return WaitSockets(&entry, 1, nTimeoutMs) > 0;
}

void Waker::Close() {
    CloseSocket(m_read);
    CloseSocket(m_write);
    m_read = m_write = BAD_SOCKET;
}

} // namespace testkit
