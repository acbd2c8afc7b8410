// Windows side of the test sockets, over Winsock 2.
#include <winsock2.h>

#include <cstring>

#include "test_sockets.h"

namespace {

SOCKET to_socket(Net_Channel channel) {
    return static_cast<SOCKET>(channel);
}

bool wait_for(Net_Channel s, bool write, int timeoutMs) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = to_socket(s);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv) == 1;
}

} // namespace

Net_Address loopback(uint16_t hostOrderPort) {
    Net_Address addr;
    addr.host = htonl(INADDR_LOOPBACK);
    addr.port = htons(hostOrderPort);
    return addr;
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
    const SOCKET s = accept(to_socket(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? NET_INVALID_CHANNEL : static_cast<Net_Channel>(s);
}

int raw_send(Net_Channel s, const void *data, int len) {
    return send(to_socket(s), static_cast<const char *>(data), len, 0);
}

int raw_recv(Net_Channel s, void *data, int len) {
    return recv(to_socket(s), static_cast<char *>(data), len, 0);
}

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
    closesocket(to_socket(s));
}

uint16_t raw_local_port(Net_Channel s) {
    sockaddr_in bound;
    int length = sizeof(bound);
    if (getsockname(to_socket(s), reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return 0;
    return bound.sin_port;
}

bool raw_nodelay(Net_Channel s) {
    int value = 0;
    int length = sizeof(value);
    return getsockopt(to_socket(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&value),
                      &length) == 0 &&
           value != 0;
}

// Winsock cannot report the mode; a receive with nothing pending shows it:
// it fails with WSAEWOULDBLOCK instead of waiting. Only for sockets with no
// data pending.
bool raw_is_nonblocking(Net_Channel s) {
    char byte;
    return recv(to_socket(s), &byte, 1, MSG_PEEK) == SOCKET_ERROR &&
           WSAGetLastError() == WSAEWOULDBLOCK;
}

FullListener::FullListener() : m_nListener(NET_INVALID_CHANNEL), m_Address{0, 0} {
    for (Net_Channel &filler : m_Fillers)
        filler = NET_INVALID_CHANNEL;
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == INVALID_SOCKET)
        return;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(sa);
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        closesocket(listener);
        return;
    }
    m_nListener = static_cast<Net_Channel>(listener);
    m_Address.host = sa.sin_addr.s_addr;
    m_Address.port = sa.sin_port;
    for (Net_Channel &filler : m_Fillers) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET)
            continue;
        u_long one = 1;
        ioctlsocket(s, FIONBIO, &one);
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
            closesocket(to_socket(filler));
        filler = NET_INVALID_CHANNEL;
    }
    if (m_nListener != NET_INVALID_CHANNEL)
        closesocket(to_socket(m_nListener));
    m_nListener = NET_INVALID_CHANNEL;
}
