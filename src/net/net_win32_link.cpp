// Windows options of a client link: the dead-link time-out and the send
// buffer's size. Apart from net_win32.cpp because they need Winsock 2
// (WSAIoctl, from ws2_32.dll), whose header cannot share a file with the
// Winsock 1.1 one.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
// mstcpip.h needs the types that winsock2.h declares.
#include <mstcpip.h>

#include <algorithm>

#include "net/net_fault.h"
#include "net/net_platform.h"

namespace {

// The longest time, in seconds, that unacknowledged data is retransmitted
// before the connection is dropped (Windows Vista and later; ws2ipdef.h).
const int TCP_MAXRT_OPTION = 5;
// Keep-alive probes Windows sends before it drops an idle connection whose
// peer does not answer (fixed by the system: 10 since Windows Vista).
const uint32_t WINDOWS_KEEPALIVE_PROBES = 10;

SOCKET to_socket(Net_Channel channel) {
    return static_cast<SOCKET>(channel);
}

bool set_int_option(Net_Channel channel, int level, int name, int value) {
    int error = 0;
    return !net_fault::take(net_fault::SET_OPTION, &error) &&
           setsockopt(to_socket(channel), level, name, reinterpret_cast<const char *>(&value),
                      sizeof(value)) == 0;
}

} // namespace

// Unacknowledged data: TCP_MAXRT, whole seconds, rounded up. An idle link:
// keep-alive probes from a third of the time-out on, spread so that the
// system's fixed count of probes has run out when the time-out has passed.
const char *net_platform::set_dead_link_timeout(Net_Channel channel, uint32_t timeoutMs) {
    const char *refused = nullptr;
    const uint32_t seconds =
        std::min<uint32_t>(timeoutMs / 1000u + (timeoutMs % 1000u != 0), 0x7FFFFFFFu);
    if (!set_int_option(channel, IPPROTO_TCP, TCP_MAXRT_OPTION, static_cast<int>(seconds)))
        refused = "TCP_MAXRT";
    tcp_keepalive probes;
    probes.onoff = 1;
    probes.keepalivetime = std::max<uint32_t>(timeoutMs / 3, 1u);
    probes.keepaliveinterval =
        std::max<uint32_t>((timeoutMs - timeoutMs / 3) / WINDOWS_KEEPALIVE_PROBES, 1u);
    DWORD returned = 0;
    if (WSAIoctl(to_socket(channel), SIO_KEEPALIVE_VALS, &probes, sizeof(probes), nullptr, 0,
                 &returned, nullptr, nullptr) != 0 &&
        !refused)
        refused = "SIO_KEEPALIVE_VALS";
    return refused;
}

const char *net_platform::set_send_buffer(Net_Channel channel, uint32_t bytes) {
    const int value = static_cast<int>(std::min<uint32_t>(bytes, 0x3FFFFFFFu));
    return set_int_option(channel, SOL_SOCKET, SO_SNDBUF, value) ? nullptr : "SO_SNDBUF";
}
