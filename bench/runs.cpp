// The host's receiver and the raw link, shared by every run.
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config_file.h"
#include "kit_socket.h"
#include "pinning.h"
#include "run_util.h"
#include "runs.h"

namespace bench {

std::atomic<uint64_t> g_nDelivered(0);
std::atomic<uint32_t> g_nLastId(0);

namespace {
volatile unsigned char g_nSink;

const int RAW_WAIT_MS = 100; // the relay's connection thread waits in such slices

// The host's receiver is called through a pointer, as a callback is.
std::atomic<SendFunc> g_pfRawReceiver(OnData);
} // namespace

void DEZ_CALL OnData(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    // Touch the data as a host would, then count.
    if (nSize > 0)
        g_nSink = pData[nSize - 1];
    g_nLastId.store(nId, std::memory_order_release);
    g_nDelivered.store(g_nDelivered.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    WakeHost();
}

const char *MethodName(Method method) {
    return method == METHOD_OLD ? "old" : "loaded";
}

bool UseMethod(Context &ctx, Method method, std::string *pError) {
    const bool bLoaded = method == METHOD_LOADED;
    if (bLoaded && !CanPin()) {
        *pError = "the loaded-host method needs CPUs 0 and 1";
        return false;
    }
    ctx.method = method;
    if (!PinCurrentThread(bLoaded ? HOST_CPU : -1) ||
        !ctx.relayServer.PinTo(bLoaded ? SERVER_CPU : -1) ||
        !ctx.rawServer.PinTo(bLoaded ? SERVER_CPU : -1)) {
        *pError = "cannot pin threads to CPUs";
        return false;
    }
    return true;
}

Context::~Context() {
    rawReader.Stop();
    relayServer.Stop();
    rawServer.Stop();
}

RawLink::~RawLink() {
    Close();
}

void RawLink::Close() {
    if (fd >= 0)
        close(fd);
    fd = -1;
    cutter = PacketCutter();
    m_nLeanCarry = 0;
}

bool RawLink::Open(BenchServer &server, std::string *pError) {
    const uint64_t nAccepted = server.Connections();
    const testkit::Socket s = testkit::OpenTcpSocket(false);
    const int nError = s == testkit::BAD_SOCKET ? testkit::LastSocketError()
                                                : testkit::ConnectLoopback(s, server.Port());
    if (nError != 0) {
        testkit::CloseSocket(s);
        *pError = "raw connect failed: " + testkit::SocketErrorText(nError);
        return false;
    }
    fd = static_cast<int>(s);
    testkit::SetNoDelay(s);
    testkit::SetNonBlocking(s);
    if (!wait_until([&] { return server.Connections() > nAccepted; }, 5.0)) {
        *pError = "the raw link's server did not accept it";
        return false;
    }
    return true;
}

bool RawLink::ReadOnce() {
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, RAW_WAIT_MS);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    const ssize_t n = recv(fd, cutter.RecvPtr(), PACKET_RECV_CHUNK, 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    cutter.Received(static_cast<uint32_t>(n));
    Packet packet = {nullptr, 0};
    for (;;) {
        const PacketCutter::Result result = cutter.Next(&packet, nullptr);
        if (result == PacketCutter::CUT_NEED_MORE)
            return true;
        if (result == PacketCutter::CUT_INVALID_LENGTH)
            return false;
        if (packet.type() == PACKET_TYPE_DATA)
            g_pfRawReceiver.load(std::memory_order_relaxed)(
                read_u32le(packet.msg + 1), packet.msg + 5, static_cast<int32_t>(packet.size - 5));
    }
}

bool RawLink::ReadOnceLean() {
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, RAW_WAIT_MS);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    const ssize_t n = recv(fd, m_lean + m_nLeanCarry, PACKET_RECV_CHUNK, 0);
    if (n <= 0)
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    const uint32_t end = m_nLeanCarry + static_cast<uint32_t>(n);
    uint32_t pos = 0;
    while (end - pos >= PACKET_LENGTH_SIZE) {
        const unsigned char *p = m_lean + pos;
        const uint32_t length = read_u32le(p);
        if (length < PACKET_HEADER_SIZE || length > PACKET_MAX_IN)
            return false;
        if (end - pos < length)
            break;
        if (p[PACKET_LENGTH_SIZE] == PACKET_TYPE_DATA)
            g_pfRawReceiver.load(std::memory_order_relaxed)(read_u32le(p + 5), p + 9,
                                                            static_cast<int32_t>(length - 9));
        pos += length;
    }
    m_nLeanCarry = end - pos;
    std::memmove(m_lean, m_lean + pos, m_nLeanCarry);
    return true;
}

bool RawReader::Start(RawLink *pLink, bool bLean) {
    m_bStop = false;
    m_bFailed = false;
    std::atomic<bool> bNamed(false);
    m_thread = std::thread([this, pLink, bLean, &bNamed] {
        pthread_setname_np(pthread_self(), "raw-reader"); // looked up by name
        bNamed = true;
        while (!m_bStop.load(std::memory_order_relaxed))
            if (!(bLean ? pLink->ReadOnceLean() : pLink->ReadOnce())) {
                m_bFailed = true;
                return;
            }
    });
    while (!bNamed.load())
        std::this_thread::yield();
    return true;
}

void RawReader::Stop() {
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool WriteRelayConfig(uint16_t nPort, std::string *pError) {
    // The tests' connecting relay, retrying on every pass of its monitor.
    testkit::ThunkConfig config = testkit::ThunkConfig::Connecting(nPort);
    config.tryInterval = "500";
    const std::string dir = testkit::ExecutableDir();
    if (testkit::WriteThunkConfig(dir, config))
        return true;
    *pError = "cannot write " + dir + "/" + testkit::THUNK_CONFIG_FILE_NAME;
    return false;
}

bool OpenRawLinks(Context &ctx, std::string *pError) {
    return ctx.rawLink.Open(ctx.rawServer, pError) &&
           ctx.rawReader.Start(&ctx.rawLink, ctx.method == METHOD_LOADED);
}

bool RestartRelay(Context &ctx, SendFunc pfReceiver, std::string *pError) {
    ctx.module.load_exit();
    const int32_t result = ctx.module.load_start(pfReceiver, &ctx.pfRec);
    if (result != 0) {
        *pError = "sh_load_start returned " + std::to_string(result);
        return false;
    }
    if (!WaitLinkUp(ctx)) {
        *pError = "the relay did not connect again";
        return false;
    }
    return true;
}

bool FreshLinks(Context &ctx, std::string *pError) {
    if (!RestartRelay(ctx, OnData, pError))
        return false;
    ctx.rawReader.Stop();
    ctx.rawLink.Close();
    return OpenRawLinks(ctx, pError);
}

} // namespace bench
