// A small socket library over the platform's TCP sockets: client and server
// sockets, fixed-capacity socket sets with a readiness wait, a counted start
// and stop of the socket service, one last-error text, and the IPv4 address
// helpers. Failures are reported by results; nothing here logs or throws.
//
// One implementation per platform (net_posix.cpp, net_win32.cpp); the parts
// that do not touch the platform are in net_common.cpp. No platform socket
// header is included here.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

// The platform socket handle: a descriptor on POSIX, a SOCKET on Windows.
#if defined(_WIN32)
typedef uintptr_t Net_Channel;
const Net_Channel NET_INVALID_CHANNEL = ~static_cast<uintptr_t>(0);
#else
typedef int Net_Channel;
const Net_Channel NET_INVALID_CHANNEL = -1;
#endif

// At most this many members of a set take part in one readiness wait.
const int NET_MAX_WAIT_SOCKETS = 64;
const int NET_ERROR_SIZE = 1024;

// IPv4 endpoint, both fields in network byte order.
struct Net_Address {
    uint32_t host;
    uint16_t port;
};

// Common head of every socket a set can hold.
struct Net_GenericSocket {
    int ready;           // 1 once a wait found it readable; 0 after each receive
    Net_Channel channel; // NET_INVALID_CHANNEL when no handle was obtained
};

struct Net_TCPSocket : Net_GenericSocket {
    Net_Address remoteAddress; // client sockets only
    Net_Address localAddress;  // server sockets only
    int isServer;
};

struct Net_SocketSet {
    int numSockets;
    int maxSockets;
    Net_GenericSocket **sockets;
};

// Successful Net_Init calls not yet matched by Net_Quit.
extern int g_nNetStarted;
// Message of the most recent failure.
extern char g_szNetError[NET_ERROR_SIZE];

int Net_Init();
void Net_Quit();
// Formats at most NET_ERROR_SIZE - 1 characters into g_szNetError.
void Net_SetError(const char *fmt, ...);
const char *Net_GetError();

// Null when memory runs out or maxSockets is negative.
Net_SocketSet *Net_AllocSocketSet(int maxSockets);
// numSockets after the call (unchanged for a null socket); -1 when the set is
// full ("socketset is full") or null.
int Net_AddSocket(Net_SocketSet *set, Net_GenericSocket *sock);
int Net_TCP_AddSocket(Net_SocketSet *set, Net_TCPSocket *sock);
// Waits up to timeoutMs (0 polls) until a member is readable. Only the
// NET_MAX_WAIT_SOCKETS members added last take part; a channel added twice
// counts once. Sets ready on each readable member and returns how many
// channels are readable, 0 on time-out (an empty set just waits), -1 on error
// (null set, a member without an open channel).
int Net_CheckSockets(Net_SocketSet *set, uint32_t timeoutMs);

// Ends a readiness wait from another thread at once. One owner keeps it for
// as long as any wait may use it; Net_Wake may be called from any thread
// meanwhile.
struct Net_Waker;
// Null when the platform gives no channel for it (waits then run their time).
Net_Waker *Net_AllocWaker();
// Makes the current or the next wait on the waker return; wakes that come
// before that wait are folded into one.
void Net_Wake(Net_Waker *waker);
void Net_FreeWaker(Net_Waker *waker);
// Net_CheckSockets that a Net_Wake also ends (a null waker: never). The
// wake-up is not counted: a wait ended only by it returns 0, as on time-out.
int Net_CheckSocketsOrWake(Net_SocketSet *set, uint32_t timeoutMs, Net_Waker *waker);
int Net_SocketReady(const Net_GenericSocket *sock);
void Net_FreeSocketSet(Net_SocketSet *set);

// Opens a client socket connected to *addr (isServer 0) or a server socket
// listening on *addr (isServer nonzero). A client connect waits until the
// platform finishes it, or for at most connectTimeoutMs when that is not 0;
// when pbCancel is given and becomes true meanwhile, the attempt is
// abandoned. Either way it fails like a refused connect.
Net_TCPSocket *Net_TCP_Open(const Net_Address *addr, int isServer,
                            const std::atomic<bool> *pbCancel = nullptr,
                            uint32_t connectTimeoutMs = 0);
// Keeps a client link from outliving its peer and sizes its send buffer; 0
// leaves the platform's own behaviour for either. With deadLinkTimeoutMs,
// data that the peer has not acknowledged for that long ends the link with a
// socket error, and an idle link is probed well within that time, so a peer
// that stops answering ends it too; a peer that is merely silent still
// answers and keeps it. A socket closed later is given up by the platform
// within the same time even when its peer never reads. sendBufferSize is the
// bytes the socket may hold unsent (the platform may cap it). 0 when every
// option took, else -1 with the last-error text naming the first that did
// not; the socket stays usable either way.
int Net_TCP_SetLinkOptions(Net_TCPSocket *sock, uint32_t deadLinkTimeoutMs,
                           uint32_t sendBufferSize);
// Null for a server socket (or a null one).
Net_Address *Net_TCP_GetPeerAddress(Net_TCPSocket *sock);
// Bytes sent without waiting, 0..len: short when the send buffer fills or the
// connection fails. -1 for a server socket or a null one. A negative len, or
// null data with len > 0, sends nothing and returns 0.
int Net_TCP_Send(Net_TCPSocket *sock, const void *data, int len);
// Bytes received without waiting; 0 when the peer has closed; -1 when nothing
// is pending, on error, for a server socket or a null one, and for a null
// buffer or a negative maxlen. Clears ready on a client socket.
int Net_TCP_Recv(Net_TCPSocket *sock, void *data, int maxlen);
void Net_TCP_Close(Net_TCPSocket *sock);

// Dotted IPv4 text to a network-order host; 0, or -1..-4 with *out untouched.
int parse_dotted_ipv4(const std::string &text, uint32_t *out);
// False for 0.0.0.0 and 255.255.255.255 (network order either way), which
// are no server's address: the relay never tries to connect to them.
bool is_connectable_host(uint32_t host);
uint16_t swap_bytes16(uint16_t value);

// Writes 127.0.0.1-15306.
std::ostream &operator<<(std::ostream &os, const Net_Address &addr);
