// POSIX half of the socket layer: service counting, the readiness wait, the
// waker and the socket primitives over BSD sockets.
#include "net/net.h"
#include "net/net_fault.h"
#include "net/net_platform.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

#ifdef MSG_NOSIGNAL
// A send to a reset peer must fail with EPIPE, not kill the host with SIGPIPE.
const int SEND_FLAGS = MSG_NOSIGNAL;
#else
const int SEND_FLAGS = 0; // SO_NOSIGPIPE is set on the socket instead
#endif

// Guards g_nNetStarted: a relay object destroyed late on one thread may call
// Net_Quit while a new one calls Net_Init on another.
plat::Lock &service_lock() {
    static plat::Lock s_lock;
    return s_lock;
}

// ---- Readiness wait ------------------------------------------------------

int find_channel(const pollfd *fds, int count, Net_Channel channel) {
    for (int i = 0; i < count; ++i) {
        if (fds[i].fd == channel)
            return i;
    }
    return -1;
}

// Enters each member's channel once, last added first, while fewer than
// NET_MAX_WAIT_SOCKETS are entered; later members are left out. Returns the
// number entered, or -1 when a member to be entered has no valid channel.
int collect_channels(const Net_SocketSet *set, pollfd *fds) {
    int count = 0;
    for (int i = set->numSockets - 1; i >= 0; --i) {
        const Net_Channel channel = set->sockets[i]->channel;
        if (find_channel(fds, count, channel) >= 0 || count == NET_MAX_WAIT_SOCKETS)
            continue;
        if (channel < 0)
            return -1;
        fds[count].fd = channel;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        ++count;
    }
    return count;
}

// A clock cheap enough to read before every wait (it runs once per read of
// the connection thread). Its resolution, a few milliseconds on Linux,
// matters only when a wait is resumed.
uint64_t wait_clock_ms() {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
        return static_cast<uint64_t>(ts.tv_sec) * 1000u +
               static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
#endif
    return plat::monotonic_ms();
}

// poll() for up to timeoutMs, in slices poll's int can express, resuming
// with the time left after a signal. The clock is read once before the
// wait and again only when the wait has to go on.
int poll_within(pollfd *fds, int count, uint32_t timeoutMs) {
    const uint64_t start = wait_clock_ms();
    uint64_t left = timeoutMs;
    for (;;) {
        const int slice = left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        const int result = poll(fds, static_cast<nfds_t>(count), slice);
        const bool bResume =
            (result < 0 && errno == EINTR) || (result == 0 && left > static_cast<uint64_t>(slice));
        if (!bResume)
            return result;
        const uint64_t elapsed = wait_clock_ms() - start;
        left = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
    }
}

// Readable as select() would report it: data, end of stream or a pending error.
bool is_readable(const pollfd &fd) {
    return (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Marks the members whose channel was found readable; returns how many
// distinct channels were, or -1 when one of them was not an open descriptor.
int mark_ready(Net_SocketSet *set, const pollfd *fds, int count) {
    int readable = 0;
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents & POLLNVAL)
            return -1;
        if (is_readable(fds[i]))
            ++readable;
    }
    for (int i = set->numSockets - 1; i >= 0; --i) {
        const int index = find_channel(fds, count, set->sockets[i]->channel);
        if (index >= 0 && is_readable(fds[index]))
            set->sockets[i]->ready = 1;
    }
    return readable;
}

} // namespace

// ---- Opening -------------------------------------------------------------

namespace {

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

sockaddr_in make_sockaddr(const Net_Address &addr) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr.host;
    sa.sin_port = addr.port;
    return sa;
}

} // namespace

// Not inherited by child processes, and never raising SIGPIPE.
Net_Channel net_platform::create_channel() {
#ifdef SOCK_CLOEXEC
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
#ifdef SO_NOSIGPIPE
    if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one));
    }
#endif
    return fd < 0 ? NET_INVALID_CHANNEL : fd;
}

net_platform::ConnectStart net_platform::start_connect(Net_Channel channel,
                                                       const Net_Address &addr) {
    set_nonblocking(channel);
    const sockaddr_in sa = make_sockaddr(addr);
    if (connect(channel, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0)
        return CONNECT_DONE;
    return errno == EINPROGRESS || errno == EINTR ? CONNECT_PENDING : CONNECT_FAILED;
}

// A finished connect, failed or not, makes the socket writable.
int net_platform::wait_connect_slice(Net_Channel channel, uint32_t timeoutMs) {
    pollfd fd = {channel, POLLOUT, 0};
    // WAIT_FOREVER, like every time poll cannot express, waits without limit.
    const int timeout =
        timeoutMs > static_cast<uint32_t>(INT_MAX) ? -1 : static_cast<int>(timeoutMs);
    const int result = poll(&fd, 1, timeout);
    if (result > 0)
        return 1;
    return result < 0 && errno != EINTR ? -1 : 0;
}

int net_platform::connect_error(Net_Channel channel) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(channel, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return -1;
    return error;
}

bool net_platform::bind_channel(Net_Channel channel, const Net_Address &addr) {
    const int one = 1;
    setsockopt(channel, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    const sockaddr_in sa = make_sockaddr(addr);
    return bind(channel, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0;
}

bool net_platform::listen_channel(Net_Channel channel, int backlog) {
    return listen(channel, backlog) == 0;
}

bool net_platform::local_address(Net_Channel channel, Net_Address *out) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    socklen_t length = sizeof(sa);
    if (getsockname(channel, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return false;
    out->host = sa.sin_addr.s_addr;
    out->port = sa.sin_port;
    return true;
}

void net_platform::set_open_options(Net_Channel channel) {
    set_nonblocking(channel);
    const int one = 1;
    setsockopt(channel, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

namespace {

// A value of milliseconds or bytes for an int option, kept below INT_MAX / 2
// (the kernel doubles some of them).
int int_value(uint32_t value) {
    return static_cast<int>(std::min<uint32_t>(value, INT_MAX / 2));
}

// Sets an int option; notes the first one refused.
void set_int_option(Net_Channel channel, int level, int name, int value, const char *text,
                    const char **pRefused) {
    int error = 0;
    const bool bRefused = net_fault::take(net_fault::SET_OPTION, &error) ||
                          setsockopt(channel, level, name, &value, sizeof(value)) != 0;
    if (bRefused && !*pRefused)
        *pRefused = text;
}

// Keep-alive probes for a dead-link time-out, in whole seconds (at least
// 1): the first after a third of the time-out without traffic, the others
// spread over the rest, so that an idle link whose peer stops answering is
// given up when the time-out has passed: by TCP_USER_TIMEOUT (the time-out
// since the peer was last heard, with a probe unanswered), or, where the
// kernel lacks it, after the last of the four probes.
struct ProbeSchedule {
    int idleS;
    int intervalS;
    int count;
};

ProbeSchedule probe_schedule(uint32_t timeoutMs) {
    const int count = 4;
    const uint32_t idleMs = timeoutMs / 3;
    const uint32_t intervalMs = (timeoutMs - idleMs) / count;
    const auto seconds = [](uint32_t ms) {
        return static_cast<int>(std::clamp<uint32_t>(ms / 1000u, 1u, 32767u));
    };
    return {seconds(idleMs), seconds(intervalMs), count};
}

} // namespace

const char *net_platform::set_dead_link_timeout(Net_Channel channel, uint32_t timeoutMs) {
    const char *refused = nullptr;
#if defined(TCP_USER_TIMEOUT)
    set_int_option(channel, IPPROTO_TCP, TCP_USER_TIMEOUT, int_value(timeoutMs), "TCP_USER_TIMEOUT",
                   &refused);
#else
    refused = "TCP_USER_TIMEOUT";
#endif
    const ProbeSchedule probes = probe_schedule(timeoutMs);
    set_int_option(channel, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE", &refused);
#if defined(TCP_KEEPIDLE)
    set_int_option(channel, IPPROTO_TCP, TCP_KEEPIDLE, probes.idleS, "TCP_KEEPIDLE", &refused);
#elif defined(TCP_KEEPALIVE)
    set_int_option(channel, IPPROTO_TCP, TCP_KEEPALIVE, probes.idleS, "TCP_KEEPALIVE", &refused);
#endif
    set_int_option(channel, IPPROTO_TCP, TCP_KEEPINTVL, probes.intervalS, "TCP_KEEPINTVL",
                   &refused);
    set_int_option(channel, IPPROTO_TCP, TCP_KEEPCNT, probes.count, "TCP_KEEPCNT", &refused);
    return refused;
}

const char *net_platform::set_send_buffer(Net_Channel channel, uint32_t bytes) {
    const char *refused = nullptr;
    set_int_option(channel, SOL_SOCKET, SO_SNDBUF, int_value(bytes), "SO_SNDBUF", &refused);
    return refused;
}

int net_platform::send_once(Net_Channel channel, const char *data, int len) {
    int error = 0;
    if (net_fault::take(net_fault::SEND, &error)) {
        errno = error;
        return 0;
    }
    ssize_t sent;
    do {
        sent = send(channel, data, static_cast<size_t>(len), SEND_FLAGS);
    } while (sent < 0 && errno == EINTR);
    return sent > 0 ? static_cast<int>(sent) : 0;
}

int net_platform::recv_once(Net_Channel channel, void *data, int maxlen) {
    int error = 0;
    if (net_fault::take(net_fault::RECV, &error)) {
        errno = error;
        return -1;
    }
    ssize_t received;
    do {
        received = recv(channel, data, static_cast<size_t>(maxlen), 0);
    } while (received < 0 && errno == EINTR);
    return received < 0 ? -1 : static_cast<int>(received);
}

void net_platform::close_channel(Net_Channel channel) {
    close(channel);
}

// A pipe: Net_Wake writes a byte, the wait watches the reading end.
struct Net_Waker {
    int readFd;
    int writeFd;
};

namespace {
// Reads every pending wake-up, so the next wait waits again.
void drain_waker(Net_Waker *waker) {
    char bytes[64];
    while (read(waker->readFd, bytes, sizeof bytes) > 0) {
    }
}
} // namespace

// ---- Service -------------------------------------------------------------

int Net_Init() {
    plat::LockGuard guard(service_lock());
    // The socket service needs no start on POSIX, so this cannot fail.
    ++g_nNetStarted;
    return 0;
}

void Net_Quit() {
    plat::LockGuard guard(service_lock());
    if (g_nNetStarted == 0)
        return;
    // Nothing to release on POSIX when the count reaches 0.
    --g_nNetStarted;
}

// ---- Readiness wait ------------------------------------------------------

// Built on poll rather than select: select's fd_set cannot hold descriptors
// of 1024 and above, and a host process may well have that many open.
int Net_CheckSocketsOrWake(Net_SocketSet *set, uint32_t timeoutMs, Net_Waker *waker) {
    if (!set)
        return -1;
    pollfd fds[NET_MAX_WAIT_SOCKETS + 1];
    const int count = collect_channels(set, fds);
    if (count < 0)
        return -1;
    // The waker's channel goes after the members and is not one of them.
    const int total = waker ? count + 1 : count;
    if (waker) {
        fds[count].fd = waker->readFd;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
    }
    const int result = poll_within(fds, total, timeoutMs);
    if (result <= 0)
        return result;
    if (waker && fds[count].revents != 0)
        drain_waker(waker);
    return mark_ready(set, fds, count);
}

// ---- Waker ---------------------------------------------------------------

Net_Waker *Net_AllocWaker() {
    int fds[2];
#if defined(__linux__)
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
#else
    if (pipe(fds) != 0)
        return nullptr;
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        set_nonblocking(fd);
    }
#endif
    Net_Waker *waker = new (std::nothrow) Net_Waker{fds[0], fds[1]};
    if (!waker) {
        close(fds[0]);
        close(fds[1]);
    }
    return waker;
}

void Net_Wake(Net_Waker *waker) {
    if (!waker)
        return;
    // A full pipe already holds a wake-up; nothing more is needed then.
    const char byte = 1;
    ssize_t written;
    do {
        written = write(waker->writeFd, &byte, 1);
    } while (written < 0 && errno == EINTR);
}

void Net_FreeWaker(Net_Waker *waker) {
    if (!waker)
        return;
    close(waker->readFd);
    close(waker->writeFd);
    delete waker;
}
