// The platform-independent half of the socket layer: the last-error text,
// socket sets, the TCP operations over the platform's primitives, peer
// addresses and the IPv4 address helpers.
#include "net/net.h"
#include "net/net_platform.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

int g_nNetStarted = 0;
char g_szNetError[NET_ERROR_SIZE] = "";

void Net_SetError(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(g_szNetError, sizeof(g_szNetError), fmt, args);
    va_end(args);
}

const char *Net_GetError() {
    return g_szNetError;
}

// ---- Socket sets ---------------------------------------------------------

Net_SocketSet *Net_AllocSocketSet(int maxSockets) {
    if (maxSockets < 0)
        return nullptr;
    Net_SocketSet *set = new (std::nothrow) Net_SocketSet;
    if (!set)
        return nullptr;
    set->numSockets = 0;
    set->maxSockets = maxSockets;
    set->sockets = new (std::nothrow) Net_GenericSocket *[static_cast<size_t>(maxSockets)];
    if (!set->sockets) {
        delete set;
        return nullptr;
    }
    for (int i = 0; i < maxSockets; ++i)
        set->sockets[i] = nullptr;
    return set;
}

int Net_AddSocket(Net_SocketSet *set, Net_GenericSocket *sock) {
    if (!set)
        return -1;
    if (!sock)
        return set->numSockets;
    if (set->numSockets == set->maxSockets) {
        Net_SetError("socketset is full");
        return -1;
    }
    set->sockets[set->numSockets++] = sock;
    return set->numSockets;
}

int Net_TCP_AddSocket(Net_SocketSet *set, Net_TCPSocket *sock) {
    return Net_AddSocket(set, static_cast<Net_GenericSocket *>(sock));
}

int Net_SocketReady(const Net_GenericSocket *sock) {
    return sock && sock->ready ? 1 : 0;
}

void Net_FreeSocketSet(Net_SocketSet *set) {
    if (!set)
        return;
    delete[] set->sockets;
    delete set;
}

int Net_CheckSockets(Net_SocketSet *set, uint32_t timeoutMs) {
    return Net_CheckSocketsOrWake(set, timeoutMs, nullptr);
}

// ---- TCP sockets ---------------------------------------------------------

namespace {

// A client connect looks at its cancel flag at least this often.
const uint32_t CONNECT_SLICE_MS = 50;

// How a client connect may wait: for a cancel flag and up to a time-out.
struct ConnectWait {
    const std::atomic<bool> *pbCancel; // null: nobody cancels
    uint32_t timeoutMs;                // 0: the platform's own time-out
};

// Waits for a pending connect to finish; with a cancel flag or a time-out,
// in slices so that a raised flag or the time-out abandons the attempt.
// Without a time-out the platform's own still ends the attempt.
bool wait_connected(Net_Channel channel, const ConnectWait &wait) {
    const bool bSliced = wait.pbCancel || wait.timeoutMs != 0;
    const uint64_t deadline = plat::monotonic_ms() + wait.timeoutMs;
    for (;;) {
        if (wait.pbCancel && wait.pbCancel->load())
            return false;
        uint32_t slice = bSliced ? CONNECT_SLICE_MS : plat::WAIT_FOREVER;
        if (wait.timeoutMs != 0) {
            const uint64_t now = plat::monotonic_ms();
            if (now >= deadline)
                return false;
            slice = static_cast<uint32_t>(std::min<uint64_t>(slice, deadline - now));
        }
        const int result = net_platform::wait_connect_slice(channel, slice);
        if (result < 0)
            return false;
        if (result > 0)
            return net_platform::connect_error(channel) == 0;
    }
}

bool open_client(Net_TCPSocket *sock, const Net_Address &addr, const ConnectWait &wait) {
    const net_platform::ConnectStart start = net_platform::start_connect(sock->channel, addr);
    const bool connected =
        start == net_platform::CONNECT_DONE ||
        (start == net_platform::CONNECT_PENDING && wait_connected(sock->channel, wait));
    if (!connected) {
        Net_SetError("Couldn't connect to remote host");
        return false;
    }
    sock->remoteAddress = addr;
    sock->isServer = 0;
    return true;
}

// A server socket asked for port 0 learns the port it was given.
bool open_server(Net_TCPSocket *sock, const Net_Address &addr) {
    if (!net_platform::bind_channel(sock->channel, addr)) {
        Net_SetError("Couldn't bind to local port");
        return false;
    }
    if (!net_platform::listen_channel(sock->channel, 5)) {
        Net_SetError("Couldn't listen to local port");
        return false;
    }
    Net_Address local = addr;
    if (addr.port == 0 && !net_platform::local_address(sock->channel, &local)) {
        Net_SetError("Couldn't retrieves the local name");
        return false;
    }
    sock->localAddress = local;
    sock->isServer = 1;
    return true;
}

} // namespace

Net_TCPSocket *Net_TCP_Open(const Net_Address *addr, int isServer,
                            const std::atomic<bool> *pbCancel, uint32_t connectTimeoutMs) {
    if (!addr) {
        Net_SetError(isServer ? "Couldn't bind to local port" : "Couldn't connect to remote host");
        return nullptr;
    }
    Net_TCPSocket *sock = new (std::nothrow) Net_TCPSocket();
    if (!sock) {
        Net_SetError("Out of memory");
        return nullptr;
    }
    sock->channel = net_platform::create_channel();
    if (sock->channel == NET_INVALID_CHANNEL) {
        Net_SetError("Couldn't create socket");
        Net_TCP_Close(sock);
        return nullptr;
    }
    const bool opened = isServer
                            ? open_server(sock, *addr)
                            : open_client(sock, *addr, ConnectWait{pbCancel, connectTimeoutMs});
    if (!opened) {
        Net_TCP_Close(sock);
        return nullptr;
    }
    net_platform::set_open_options(sock->channel);
    sock->ready = 0;
    return sock;
}

int Net_TCP_SetLinkOptions(Net_TCPSocket *sock, uint32_t deadLinkTimeoutMs,
                           uint32_t sendBufferSize) {
    if (!sock || sock->isServer)
        return -1;
    const char *refused = nullptr;
    if (deadLinkTimeoutMs != 0)
        refused = net_platform::set_dead_link_timeout(sock->channel, deadLinkTimeoutMs);
    if (!refused && sendBufferSize != 0)
        refused = net_platform::set_send_buffer(sock->channel, sendBufferSize);
    if (!refused)
        return 0;
    Net_SetError("Couldn't set %s", refused);
    return -1;
}

// Sends until everything is taken; a full send buffer or a failure ends it
// with the bytes sent so far. Length 0 still makes one send call.
int Net_TCP_Send(Net_TCPSocket *sock, const void *data, int len) {
    if (!sock)
        return -1;
    if (sock->isServer) {
        Net_SetError("Server sockets cannot send");
        return -1;
    }
    if (len < 0 || (!data && len > 0))
        return 0;
    const char *bytes = static_cast<const char *>(data);
    int total = 0;
    int sent;
    do {
        sent = net_platform::send_once(sock->channel, bytes + total, len - total);
        total += sent;
    } while (total < len && sent > 0);
    return total;
}

int Net_TCP_Recv(Net_TCPSocket *sock, void *data, int maxlen) {
    if (!sock)
        return -1;
    if (sock->isServer) {
        Net_SetError("Server sockets cannot receive");
        return -1;
    }
    sock->ready = 0;
    if (!data || maxlen < 0)
        return -1;
    return net_platform::recv_once(sock->channel, data, maxlen);
}

void Net_TCP_Close(Net_TCPSocket *sock) {
    if (!sock)
        return;
    if (sock->channel != NET_INVALID_CHANNEL)
        net_platform::close_channel(sock->channel);
    delete sock;
}

Net_Address *Net_TCP_GetPeerAddress(Net_TCPSocket *sock) {
    if (!sock || sock->isServer)
        return nullptr;
    return &sock->remoteAddress;
}

// ---- Address helpers -----------------------------------------------------

namespace {

std::string remove_blanks(const std::string &text) {
    std::string copy = text;
    copy.erase(std::remove(copy.begin(), copy.end(), ' '), copy.end());
    copy.erase(std::remove(copy.begin(), copy.end(), '\t'), copy.end());
    return copy;
}

bool is_all_digits(const std::string &text) {
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Splits at dots; runs of dots count as one and outer dots are ignored.
std::vector<std::string> split_at_dots(const std::string &text) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t dot = text.find('.', pos);
        if (dot == std::string::npos)
            dot = text.size();
        if (dot > pos)
            parts.push_back(text.substr(pos, dot - pos));
        pos = dot + 1;
    }
    return parts;
}

} // namespace

int parse_dotted_ipv4(const std::string &text, uint32_t *out) {
    const std::vector<std::string> parts = split_at_dots(remove_blanks(text));
    uint32_t octets[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string &part = parts[i];
        if (part.empty() || part.size() > 3)
            return -1;
        if (!is_all_digits(part))
            return -2;
        const uint32_t value = static_cast<uint32_t>(std::stoul(part));
        if (value > 255)
            return -3;
        if (i >= 4)
            return -4;
        octets[i] = value;
    }
    if (parts.size() != 4 || !out)
        return -1;
    // The first octet goes to the lowest-addressed byte: network byte order.
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(octets[0]), static_cast<unsigned char>(octets[1]),
        static_cast<unsigned char>(octets[2]), static_cast<unsigned char>(octets[3])};
    std::memcpy(out, bytes, sizeof(bytes));
    return 0;
}

bool is_connectable_host(uint32_t host) {
    return host != 0 && host != 0xFFFFFFFFu;
}

uint16_t swap_bytes16(uint16_t value) {
    return static_cast<uint16_t>(((value & 0xFFu) << 8) | (value >> 8));
}

std::ostream &operator<<(std::ostream &os, const Net_Address &addr) {
    unsigned char bytes[4];
    std::memcpy(bytes, &addr.host, sizeof(bytes));
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            text += '.';
        text += std::to_string(static_cast<unsigned>(bytes[i]));
    }
    text += '-';
    text += std::to_string(static_cast<unsigned>(swap_bytes16(addr.port)));
    return os << text;
}
