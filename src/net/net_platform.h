// What each platform's half of the socket layer (net_posix.cpp,
// net_win32.cpp) gives the shared half (net_common.cpp), which builds the
// TCP operations on it. Only the socket layer includes this header.
#pragma once

#include <cstdint>

#include "net/net.h"

namespace net_platform {

// A TCP channel that child processes do not inherit and that never raises a
// signal; NET_INVALID_CHANNEL when the platform gives none.
Net_Channel create_channel();

// Makes the channel non-blocking and starts connecting it to addr.
enum ConnectStart { CONNECT_DONE, CONNECT_PENDING, CONNECT_FAILED };
ConnectStart start_connect(Net_Channel channel, const Net_Address &addr);
// Waits up to timeoutMs (plat::WAIT_FOREVER: no limit) for a pending connect
// to finish: 1 when it has, 0 when it is still under way, -1 when the
// platform already reports it failed or the wait itself failed.
int wait_connect_slice(Net_Channel channel, uint32_t timeoutMs);
// The error that a finished connect ended with; 0 when it succeeded.
int connect_error(Net_Channel channel);

// Binds the channel to addr. A port that an ended connection of this host
// still holds may be bound again; one that another socket listens on may
// not.
bool bind_channel(Net_Channel channel, const Net_Address &addr);
bool listen_channel(Net_Channel channel, int backlog);
// The address the channel is bound to.
bool local_address(Net_Channel channel, Net_Address *out);
// Non-blocking with TCP_NODELAY, as every socket is once open.
void set_open_options(Net_Channel channel);
// The options of Net_TCP_SetLinkOptions, for a value that is not 0: the
// name of the first option the platform refused, or null when all took.
const char *set_dead_link_timeout(Net_Channel channel, uint32_t timeoutMs);
const char *set_send_buffer(Net_Channel channel, uint32_t bytes);
// One send call, repeated while interrupted: the bytes taken, 0 when none
// were (a full buffer, a failure, or len 0).
int send_once(Net_Channel channel, const char *data, int len);
// One receive call, repeated while interrupted: the bytes read, 0 when the
// peer has closed, -1 when nothing is pending or on error.
int recv_once(Net_Channel channel, void *data, int maxlen);
void close_channel(Net_Channel channel);

} // namespace net_platform
