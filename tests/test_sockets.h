// Plain platform sockets for tests, used beside the socket layer under test:
// the accepted side of a connection, raw sends and receives, and waits.
// Call Net_Init before using them (it starts the platform's socket service).
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"

// 127.0.0.1 and a port, both in network byte order.
Net_Address loopback(uint16_t hostOrderPort);
// The network-order host of the four octets a.b.c.d.
uint32_t host_of(unsigned a, unsigned b, unsigned c, unsigned d);

// True when the socket becomes readable (or writable) within timeoutMs.
bool raw_wait_readable(Net_Channel s, int timeoutMs);
bool raw_wait_writable(Net_Channel s, int timeoutMs);
// Accepts the next connection, waiting up to 5 s; NET_INVALID_CHANNEL on failure.
Net_Channel raw_accept(Net_Channel listener);
// One send or receive call: bytes moved, or -1.
int raw_send(Net_Channel s, const void *data, int len);
int raw_recv(Net_Channel s, void *data, int len);
// A receive that never waits: -1 when nothing is pending.
int raw_recv_nowait(Net_Channel s, void *data, int len);
// Makes the next close send a reset instead of an orderly end.
bool raw_reset_on_close(Net_Channel s);
void raw_close(Net_Channel s);
// The local port of a bound socket, in network byte order; 0 on failure.
uint16_t raw_local_port(Net_Channel s);
// The handle the next socket would get (NET_INVALID_CHANNEL when none can be
// made): unchanged after an operation that released every handle it
// acquired, since POSIX hands out the lowest free descriptor, and Windows
// and wine a released handle before a fresh one.
Net_Channel raw_next_free_handle();
// Whether TCP_NODELAY is set, and whether the socket is in non-blocking mode.
bool raw_nodelay(Net_Channel s);
bool raw_is_nonblocking(Net_Channel s);

// A listener on 127.0.0.1 that never accepts, with its queue of pending
// connections filled, so that a further connect to it cannot complete (where
// the platform drops such requests rather than refusing them).
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;
    bool valid() const { return m_nListener != NET_INVALID_CHANNEL; }
    const Net_Address &address() const { return m_Address; }
    // Closes everything, so that a pending connect to it is refused.
    void close_all();

private:
    Net_Channel m_nListener;
    Net_Channel m_Fillers[3];
    Net_Address m_Address;
};
