// POSIX side of the test sockets.
#include "test_sockets.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool wait_for(int fd, short events, int timeoutMs) {
    pollfd entry = {fd, events, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

} // namespace

Net_Address loopback(uint16_t hostOrderPort) {
    Net_Address addr;
    addr.host = htonl(INADDR_LOOPBACK);
    addr.port = htons(hostOrderPort);
    return addr;
}

bool raw_wait_readable(Net_Channel s, int timeoutMs) {
    return wait_for(s, POLLIN, timeoutMs);
}

bool raw_wait_writable(Net_Channel s, int timeoutMs) {
    return wait_for(s, POLLOUT, timeoutMs);
}

Net_Channel raw_accept(Net_Channel listener) {
    if (!raw_wait_readable(listener, 5000))
        return NET_INVALID_CHANNEL;
    const int fd = accept(listener, nullptr, nullptr);
    return fd < 0 ? NET_INVALID_CHANNEL : fd;
}

int raw_send(Net_Channel s, const void *data, int len) {
    return static_cast<int>(send(s, data, static_cast<size_t>(len), MSG_NOSIGNAL));
}

int raw_recv(Net_Channel s, void *data, int len) {
    return static_cast<int>(recv(s, data, static_cast<size_t>(len), 0));
}

int raw_recv_nowait(Net_Channel s, void *data, int len) {
    return static_cast<int>(recv(s, data, static_cast<size_t>(len), MSG_DONTWAIT));
}

bool raw_reset_on_close(Net_Channel s) {
    const linger reset = {1, 0};
    return setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) == 0;
}

void raw_close(Net_Channel s) {
    close(s);
}

uint16_t raw_local_port(Net_Channel s) {
    sockaddr_in bound;
    socklen_t length = sizeof(bound);
    if (getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return 0;
    return bound.sin_port;
}

bool raw_nodelay(Net_Channel s) {
    int value = 0;
    socklen_t length = sizeof(value);
    return getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
}

bool raw_is_nonblocking(Net_Channel s) {
    return (fcntl(s, F_GETFL) & O_NONBLOCK) != 0;
}

FullListener::FullListener() : m_nListener(NET_INVALID_CHANNEL), m_Address{0, 0} {
    for (Net_Channel &filler : m_Fillers)
        filler = NET_INVALID_CHANNEL;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(sa);
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        close(listener);
        return;
    }
    m_nListener = listener;
    m_Address.host = sa.sin_addr.s_addr;
    m_Address.port = sa.sin_port;
    for (Net_Channel &filler : m_Fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (filler >= 0)
            connect(filler, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    }
    for (Net_Channel filler : m_Fillers)
        raw_wait_writable(filler, 200); // let the handshakes that can finish finish
}

FullListener::~FullListener() {
    close_all();
}

void FullListener::close_all() {
    for (Net_Channel &filler : m_Fillers) {
        if (filler != NET_INVALID_CHANNEL)
            close(filler);
        filler = NET_INVALID_CHANNEL;
    }
    if (m_nListener != NET_INVALID_CHANNEL)
        close(m_nListener);
    m_nListener = NET_INVALID_CHANNEL;
}
