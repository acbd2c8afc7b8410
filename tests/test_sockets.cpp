// Plain platform sockets for tests: BSD sockets on POSIX, Winsock 2 on
// Windows. The few calls that differ sit in the shim at the top.
#include "test_sockets.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
typedef SOCKET Socket;
typedef int SockLen;
typedef int IoLen; // the length type of send and recv
const Socket BAD_SOCKET = INVALID_SOCKET;
const int SEND_FLAGS = 0;

void close_socket(Socket s) {
    closesocket(s);
}

void set_nonblocking(Socket s) {
    u_long one = 1;
    ioctlsocket(s, FIONBIO, &one);
}

bool wait_for(Net_Channel s, bool write, int timeoutMs) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = static_cast<SOCKET>(s);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv) == 1;
}
#else
typedef int Socket;
typedef socklen_t SockLen;
typedef size_t IoLen;
const Socket BAD_SOCKET = -1;
const int SEND_FLAGS = MSG_NOSIGNAL;

void close_socket(Socket s) {
    close(s);
}

void set_nonblocking(Socket s) {
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}

bool wait_for(Net_Channel s, bool write, int timeoutMs) {
    pollfd entry = {s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    return poll(&entry, 1, timeoutMs) == 1;
}
#endif

Socket to_socket(Net_Channel channel) {
    return static_cast<Socket>(channel);
}

} // namespace

Net_Address loopback(uint16_t hostOrderPort) {
    Net_Address addr;
    addr.host = htonl(INADDR_LOOPBACK);
    addr.port = htons(hostOrderPort);
    return addr;
}

uint32_t host_of(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t host;
    std::memcpy(&host, bytes, sizeof(host));
    return host;
}

bool raw_wait_readable(Net_Channel s, int timeoutMs) {
    return wait_for(s, false, timeoutMs);
}

bool raw_wait_writable(Net_Channel s, int timeoutMs) {
    return wait_for(s, true, timeoutMs);
}

Net_Channel raw_accept(Net_Channel listener) {
    if (!raw_wait_readable(listener, 5000))
        return NET_INVALID_CHANNEL;
    const Socket s = accept(to_socket(listener), nullptr, nullptr);
    return s == BAD_SOCKET ? NET_INVALID_CHANNEL : static_cast<Net_Channel>(s);
}

int raw_send(Net_Channel s, const void *data, int len) {
    return static_cast<int>(
        send(to_socket(s), static_cast<const char *>(data), static_cast<IoLen>(len), SEND_FLAGS));
}

int raw_recv(Net_Channel s, void *data, int len) {
    return static_cast<int>(
        recv(to_socket(s), static_cast<char *>(data), static_cast<IoLen>(len), 0));
}

// Asks first whether anything is pending, so that the receive never waits.
int raw_recv_nowait(Net_Channel s, void *data, int len) {
    if (!raw_wait_readable(s, 0))
        return -1;
    return raw_recv(s, data, len);
}

bool raw_reset_on_close(Net_Channel s) {
    const linger reset = {1, 0};
    return setsockopt(to_socket(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset),
                      sizeof(reset)) == 0;
}

void raw_close(Net_Channel s) {
    close_socket(to_socket(s));
}

uint16_t raw_local_port(Net_Channel s) {
    sockaddr_in bound;
    SockLen length = sizeof(bound);
    if (getsockname(to_socket(s), reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return 0;
    return bound.sin_port;
}

Net_Channel raw_next_free_handle() {
    const Socket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s != BAD_SOCKET)
        close_socket(s);
    return static_cast<Net_Channel>(s);
}

bool raw_nodelay(Net_Channel s) {
    int value = 0;
    SockLen length = sizeof(value);
    return getsockopt(to_socket(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&value),
                      &length) == 0 &&
           value != 0;
}

bool raw_is_nonblocking(Net_Channel s) {
#ifdef _WIN32
    // Winsock cannot report the mode; a receive with nothing pending shows it:
    // it fails with WSAEWOULDBLOCK instead of waiting. Only for sockets with no
    // data pending.
    char byte;
    return recv(to_socket(s), &byte, 1, MSG_PEEK) == SOCKET_ERROR &&
           WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return (fcntl(s, F_GETFL) & O_NONBLOCK) != 0;
#endif
}

FullListener::FullListener() : m_nListener(NET_INVALID_CHANNEL), m_Address{0, 0} {
    for (Net_Channel &filler : m_Fillers)
        filler = NET_INVALID_CHANNEL;
    const Socket listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == BAD_SOCKET)
        return;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SockLen length = sizeof(sa);
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        close_socket(listener);
        return;
    }
    m_nListener = static_cast<Net_Channel>(listener);
    m_Address.host = sa.sin_addr.s_addr;
    m_Address.port = sa.sin_port;
    for (Net_Channel &filler : m_Fillers) {
        const Socket s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == BAD_SOCKET)
            continue;
        set_nonblocking(s);
        connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        filler = static_cast<Net_Channel>(s);
    }
    for (Net_Channel filler : m_Fillers) {
        if (filler != NET_INVALID_CHANNEL)
            raw_wait_writable(filler, 200); // let the handshakes that can finish finish
    }
}

FullListener::~FullListener() {
    close_all();
}

void FullListener::close_all() {
    for (Net_Channel &filler : m_Fillers) {
        if (filler != NET_INVALID_CHANNEL)
            close_socket(to_socket(filler));
        filler = NET_INVALID_CHANNEL;
    }
    if (m_nListener != NET_INVALID_CHANNEL)
        close_socket(to_socket(m_nListener));
    m_nListener = NET_INVALID_CHANNEL;
}
