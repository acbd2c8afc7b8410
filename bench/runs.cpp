// The host's receiver and the raw link, shared by every run.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "run_util.h"
#include "runs.h"

namespace bench {

std::atomic<uint64_t> g_nDelivered(0);
std::atomic<uint32_t> g_nLastId(0);

namespace {
volatile unsigned char g_nSink;
}

void DEZ_CALL OnData(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    // Touch the data as a host would, then count.
    if (nSize > 0)
        g_nSink = pData[nSize - 1];
    g_nLastId.store(nId, std::memory_order_release);
    g_nDelivered.store(g_nDelivered.load(std::memory_order_relaxed) + 1,
                       std::memory_order_release);
}

Context::~Context() {
    relayServer.Stop();
    rawServer.Stop();
    if (rawFd >= 0)
        close(rawFd);
}

// Connects to the raw server and sets the socket up as the relay sets up its
// own: close-on-exec, no delay, non-blocking.
bool OpenRawLink(Context &ctx, std::string *pError) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(ctx.rawServer.Port());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *pError = std::string("raw connect failed: ") + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    ctx.rawFd = fd;
    return wait_until([&] { return ctx.rawServer.Connections() > 0; }, 5.0);
}

} // namespace bench
