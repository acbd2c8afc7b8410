// Windows half of the socket layer: service counting, the readiness wait, the
// waker and the socket primitives over Winsock 1.1 (wsock32.dll).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "net/net.h"
#include "net/net_fault.h"
#include "net/net_platform.h"
#include "platform/platform.h"

namespace {

// FIONBIO as the long command that ioctlsocket takes: the header's value is
// unsigned and above LONG_MAX, and the call takes its bit pattern.
const long NONBLOCKING_IO = static_cast<long>(FIONBIO);

#ifndef SO_EXCLUSIVEADDRUSE
#define SO_EXCLUSIVEADDRUSE ((int)(~SO_REUSEADDR))
#endif

// Guards g_nNetStarted: a relay object destroyed late on one thread may call
// Net_Quit while a new one calls Net_Init on another.
plat::Lock &service_lock() {
    static plat::Lock s_lock;
    return s_lock;
}

SOCKET to_socket(Net_Channel channel) {
    return static_cast<SOCKET>(channel);
}

// ---- Readiness wait ------------------------------------------------------

// The read set of one wait: the members' channels (at most
// NET_MAX_WAIT_SOCKETS) and the waker's socket after them. Laid out as
// Winsock's fd_set, a count before the handles, with one more slot, so the
// waker never pushes a member out and nothing is written past the array.
struct WaitSet {
    u_int fd_count;
    SOCKET fd_array[NET_MAX_WAIT_SOCKETS + 1];
};

static_assert(offsetof(WaitSet, fd_array) == offsetof(fd_set, fd_array),
              "WaitSet must begin as fd_set does");

fd_set *as_fd_set(WaitSet *set) {
    return reinterpret_cast<fd_set *>(set);
}

bool set_holds(const WaitSet &set, SOCKET s) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == s)
            return true;
    }
    return false;
}

// Enters each member's channel once, last added first, while fewer than
// NET_MAX_WAIT_SOCKETS are entered; later members are left out. The count is
// checked here rather than left to FD_SET. False when a member to be entered
// has no valid channel.
bool collect_channels(const Net_SocketSet *set, WaitSet *readSet) {
    readSet->fd_count = 0;
    for (int i = set->numSockets - 1; i >= 0; --i) {
        const SOCKET s = to_socket(set->sockets[i]->channel);
        if (set_holds(*readSet, s) || readSet->fd_count >= u_int(NET_MAX_WAIT_SOCKETS))
            continue;
        if (s == INVALID_SOCKET)
            return false;
        readSet->fd_array[readSet->fd_count++] = s;
    }
    return true;
}

timeval to_timeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

// Winsock refuses a select with no handle at all; an empty set just waits.
int wait_empty(uint32_t timeoutMs) {
    plat::sleep_ms(timeoutMs == plat::WAIT_FOREVER ? timeoutMs - 1 : timeoutMs);
    return 0;
}

// select() on the read set, with the waker's socket when there is one, for
// up to timeoutMs, resuming with the time left after an interrupted call.
// The set is rebuilt for every call because select overwrites it.
int select_within(const Net_SocketSet *set, WaitSet *readSet, uint32_t timeoutMs,
                  SOCKET wakeSocket) {
    const uint64_t deadline = plat::monotonic_ms() + timeoutMs;
    for (;;) {
        if (!collect_channels(set, readSet))
            return -1;
        if (wakeSocket != INVALID_SOCKET)
            readSet->fd_array[readSet->fd_count++] = wakeSocket;
        if (readSet->fd_count == 0)
            return wait_empty(timeoutMs);
        const uint64_t now = plat::monotonic_ms();
        timeval tv = to_timeval(now < deadline ? static_cast<uint32_t>(deadline - now) : 0);
        WSASetLastError(0);
        const int result = select(0, as_fd_set(readSet), nullptr, nullptr, &tv);
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEINTR)
            continue;
        return result == SOCKET_ERROR ? -1 : result;
    }
}

// Marks the members whose channel select left in the read set.
void mark_ready(Net_SocketSet *set, const WaitSet &readSet) {
    for (int i = set->numSockets - 1; i >= 0; --i) {
        if (set_holds(readSet, to_socket(set->sockets[i]->channel)))
            set->sockets[i]->ready = 1;
    }
}

// ---- Opening -------------------------------------------------------------

void set_nonblocking(Net_Channel channel) {
    u_long one = 1;
    ioctlsocket(to_socket(channel), NONBLOCKING_IO, &one);
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

// Not inherited by child processes of the host.
Net_Channel net_platform::create_channel() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return NET_INVALID_CHANNEL;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Net_Channel>(s);
}

net_platform::ConnectStart net_platform::start_connect(Net_Channel channel,
                                                       const Net_Address &addr) {
    set_nonblocking(channel);
    const sockaddr_in sa = make_sockaddr(addr);
    if (connect(to_socket(channel), reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0)
        return CONNECT_DONE;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR)
        return CONNECT_PENDING;
    return CONNECT_FAILED;
}

// A connect that succeeds makes the socket writable; one that is refused or
// abandoned shows in the exception set.
int net_platform::wait_connect_slice(Net_Channel channel, uint32_t timeoutMs) {
    const SOCKET s = to_socket(channel);
    fd_set writeSet, exceptSet;
    writeSet.fd_count = 1;
    writeSet.fd_array[0] = s;
    exceptSet.fd_count = 1;
    exceptSet.fd_array[0] = s;
    timeval tv = to_timeval(timeoutMs);
    const int result =
        select(0, nullptr, &writeSet, &exceptSet, timeoutMs == plat::WAIT_FOREVER ? nullptr : &tv);
    if (result == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? 0 : -1;
    if (FD_ISSET(s, &exceptSet))
        return -1;
    return result > 0 ? 1 : 0;
}

int net_platform::connect_error(Net_Channel channel) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(to_socket(channel), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
                   &length) != 0)
        return -1;
    return error;
}

// Winsock's SO_REUSEADDR lets a second socket bind a port that is being
// listened on and take its connections; exclusive use keeps the port to this
// socket, as SO_REUSEADDR does on POSIX systems.
bool net_platform::bind_channel(Net_Channel channel, const Net_Address &addr) {
    const SOCKET s = to_socket(channel);
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
               sizeof(one));
    const sockaddr_in sa = make_sockaddr(addr);
    return bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0;
}

bool net_platform::listen_channel(Net_Channel channel, int backlog) {
    return listen(to_socket(channel), backlog) == 0;
}

bool net_platform::local_address(Net_Channel channel, Net_Address *out) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    int length = sizeof(sa);
    if (getsockname(to_socket(channel), reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return false;
    out->host = sa.sin_addr.s_addr;
    out->port = sa.sin_port;
    return true;
}

void net_platform::set_open_options(Net_Channel channel) {
    set_nonblocking(channel);
    const int one = 1;
    setsockopt(to_socket(channel), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
               sizeof(one));
}

// A full send buffer (WSAEWOULDBLOCK) or any other failure takes nothing;
// only an interrupted call is repeated.
int net_platform::send_once(Net_Channel channel, const char *data, int len) {
    int error = 0;
    if (net_fault::take(net_fault::SEND, &error)) {
        WSASetLastError(error);
        return 0;
    }
    int sent;
    do {
        WSASetLastError(0);
        sent = send(to_socket(channel), data, len, 0);
    } while (sent == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    return sent > 0 ? sent : 0;
}

int net_platform::recv_once(Net_Channel channel, void *data, int maxlen) {
    int error = 0;
    if (net_fault::take(net_fault::RECV, &error)) {
        WSASetLastError(error);
        return -1;
    }
    int received;
    do {
        WSASetLastError(0);
        received = recv(to_socket(channel), static_cast<char *>(data), maxlen, 0);
    } while (received == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    return received == SOCKET_ERROR ? -1 : received;
}

void net_platform::close_channel(Net_Channel channel) {
    closesocket(to_socket(channel));
}

struct Net_Waker {
    SOCKET s;
};

namespace {
// Reads every pending wake-up, so the next wait waits again.
void drain_waker(Net_Waker *waker) {
    char bytes[64];
    while (recv(waker->s, bytes, sizeof bytes, 0) > 0) {
    }
}
} // namespace

// ---- Service -------------------------------------------------------------

int Net_Init() {
    plat::LockGuard guard(service_lock());
    if (g_nNetStarted == 0) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
            Net_SetError("Couldn't initialize Winsock 1.1\n");
            return -1;
        }
    }
    ++g_nNetStarted;
    return 0;
}

void Net_Quit() {
    plat::LockGuard guard(service_lock());
    if (g_nNetStarted == 0)
        return;
    if (--g_nNetStarted > 0)
        return;
    // A blocking call still in progress keeps Winsock from being released:
    // cancel it and release once more.
    if (WSACleanup() == SOCKET_ERROR && WSAGetLastError() == WSAEINPROGRESS) {
        WSACancelBlockingCall();
        WSACleanup();
    }
}

// ---- Readiness wait ------------------------------------------------------

int Net_CheckSocketsOrWake(Net_SocketSet *set, uint32_t timeoutMs, Net_Waker *waker) {
    if (!set)
        return -1;
    const SOCKET wakeSocket = waker ? waker->s : INVALID_SOCKET;
    WaitSet readSet;
    int result = select_within(set, &readSet, timeoutMs, wakeSocket);
    if (result <= 0)
        return result;
    if (waker && set_holds(readSet, wakeSocket)) {
        drain_waker(waker);
        --result;
    }
    mark_ready(set, readSet);
    return result;
}

// ---- Waker ---------------------------------------------------------------

// A UDP socket on loopback that sends to itself: select can wait on sockets
// only.
Net_Waker *Net_AllocWaker() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return nullptr;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(sa);
    u_long one = 1;
    Net_Waker *waker = nullptr;
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length) == 0 &&
        connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0 &&
        ioctlsocket(s, NONBLOCKING_IO, &one) == 0)
        waker = new (std::nothrow) Net_Waker{s};
    if (!waker)
        closesocket(s);
    return waker;
}

void Net_Wake(Net_Waker *waker) {
    if (!waker)
        return;
    // A full buffer already holds a wake-up; nothing more is needed then.
    const char byte = 1;
    send(waker->s, &byte, 1, 0);
}

void Net_FreeWaker(Net_Waker *waker) {
    if (!waker)
        return;
    closesocket(waker->s);
    delete waker;
}
