// What each platform's half of the socket layer (net_posix.cpp,
// net_win32.cpp) gives the shared half (net_common.cpp), which builds the
// TCP operations on it. Only the socket layer includes this header.
#pragma once

#include <atomic>

#include "net/net.h"

namespace net_platform {

// A TCP channel that child processes do not inherit and that never raises a
// signal; NET_INVALID_CHANNEL when the platform gives none.
Net_Channel create_channel();
// Connects the socket's channel to addr, or binds it to addr and listens;
// false with the error text set when that fails.
bool open_client(Net_TCPSocket *sock, const Net_Address &addr, const std::atomic<bool> *pbCancel);
bool open_server(Net_TCPSocket *sock, const Net_Address &addr);
// Non-blocking with TCP_NODELAY, as every socket is once open.
void set_open_options(Net_Channel channel);
// One send call, repeated while interrupted: the bytes taken, 0 when none
// were (a full buffer, a failure, or len 0).
int send_once(Net_Channel channel, const char *data, int len);
// One receive call, repeated while interrupted: the bytes read, 0 when the
// peer has closed, -1 when nothing is pending or on error.
int recv_once(Net_Channel channel, void *data, int maxlen);
void close_channel(Net_Channel channel);

} // namespace net_platform
