// Server to host: throughput of a flood of "D" packets, and round trips of a
// host message echoed by the server.
#include <cerrno>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include "alloc_count.h"
#include "run_util.h"
#include "runs.h"

namespace bench {

namespace {

const int WAIT_MS = 100; // the relay's connection thread waits in such slices
const uint32_t RTT_PAYLOAD = 64;

// The host's receiver is called through a pointer, as a callback is.
std::atomic<SendFunc> g_pfRawReceiver(OnData);

// What the relay's connection thread does per read, without the relay: wait,
// read at most one chunk behind the carried bytes, cut, and hand each "D"
// packet to the host's receiver. False when the link failed.
bool raw_read_once(Context &ctx) {
    pollfd pfd = {ctx.rawFd, POLLIN, 0};
    const int ready = poll(&pfd, 1, WAIT_MS);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    const ssize_t n = recv(ctx.rawFd, ctx.rawCutter.RecvPtr(), PACKET_RECV_CHUNK, 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    ctx.rawCutter.Received(static_cast<uint32_t>(n));
    Packet packet = {nullptr, 0};
    for (;;) {
        const PacketCutter::Result result = ctx.rawCutter.Next(&packet, nullptr);
        if (result == PacketCutter::CUT_NEED_MORE)
            return true;
        if (result == PacketCutter::CUT_INVALID_LENGTH)
            return false;
        if (packet.type() == PACKET_TYPE_DATA)
            g_pfRawReceiver.load(std::memory_order_relaxed)(
                read_u32le(packet.msg + 1), packet.msg + 5, static_cast<int32_t>(packet.size - 5));
    }
}

// Floods from server and measures the rate at which the host's receiver is
// called; every packet sent must arrive.
Outcome measure_flood(BenchServer &server, uint32_t nPayload, double seconds) {
    Outcome out;
    const uint64_t base = g_nDelivered.load();
    server.StartFlood(nPayload);
    if (!wait_until([&] { return g_nDelivered.load() > base; }, 5.0)) {
        server.StopFlood();
        out.ok = false;
        out.error = "no packet arrived";
        return out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t c0 = g_nDelivered.load();
    const uint64_t a0 = allocation_count();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t c1 = g_nDelivered.load();
    const uint64_t a1 = allocation_count();
    const double elapsed = seconds_since(t0);
    const uint64_t nSent = server.StopFlood();
    out.messages = c1 - c0;
    out.allocations = a1 - a0;
    out.perSecond = static_cast<double>(c1 - c0) / elapsed;
    if (!wait_until([&] { return g_nDelivered.load() - base >= nSent; }, 10.0)) {
        out.ok = false;
        out.error = "packets lost: " + std::to_string(nSent - (g_nDelivered.load() - base)) +
                    " of " + std::to_string(nSent);
    }
    return out;
}

// Spins until the host's receiver has taken the answer with the given id,
// giving the core away now and then: the answer comes from another thread.
bool wait_answer(uint32_t id) {
    const Clock::time_point t0 = Clock::now();
    for (unsigned spins = 1; g_nLastId.load(std::memory_order_acquire) != id; ++spins) {
        if (spins % 64 == 0) {
            sched_yield();
            if (seconds_since(t0) > 5.0)
                return false;
        }
    }
    return true;
}

// A thread that reads the raw link as the relay's connection thread reads
// its own, from construction until Stop.
class RawReader {
public:
    explicit RawReader(Context &ctx) : m_line(1) {
        m_thread = std::thread([this, &ctx] {
            m_line.Arrive();
            while (!m_bStop.load())
                if (!raw_read_once(ctx)) {
                    m_bFailed = true;
                    return;
                }
        });
        m_line.WaitAllArrived();
        m_line.Go();
    }
    ~RawReader() { Stop(nullptr); }
    // Ends the thread; a failure of the link is reported in *pOut.
    void Stop(Outcome *pOut) {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (pOut && m_bFailed) {
            pOut->ok = false;
            pOut->error = "the raw link failed";
        }
    }

private:
    StartLine m_line;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::thread m_thread;
};

bool raw_send(Context &ctx, uint32_t id, const unsigned char *payload) {
    const uint32_t length =
        frame_packet(ctx.rawSendBuf, PACKET_TYPE_DATA, id, payload, RTT_PAYLOAD);
    return send(ctx.rawFd, ctx.rawSendBuf, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

} // namespace

Outcome FloodRelay(Context &ctx, uint32_t nPayload, double seconds) {
    return measure_flood(ctx.relayServer, nPayload, seconds);
}

Outcome FloodRaw(Context &ctx, uint32_t nPayload, double seconds) {
    RawReader reader(ctx);
    Outcome out = measure_flood(ctx.rawServer, nPayload, seconds);
    reader.Stop(&out);
    return out;
}

Outcome RoundTripRelay(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    ctx.relayServer.SetMode(BenchServer::MODE_ECHO);
    const uint64_t a0 = allocation_count();
    static uint32_t s_nId = 0x40000000;
    for (int i = 0; i < nSamples; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        ctx.pfRec(PACKET_TYPE_DATA, id, payload, static_cast<int32_t>(RTT_PAYLOAD));
        if (!wait_answer(id)) {
            out.ok = false;
            out.error = "no answer through the relay";
            break;
        }
        pSamples->push_back(seconds_since(t0) * 1e6);
    }
    out.allocations = allocation_count() - a0;
    out.messages = static_cast<uint64_t>(nSamples);
    ctx.relayServer.SetMode(BenchServer::MODE_COUNT);
    return out;
}

// The same round trip without the relay: the host thread sends on the raw
// socket, and a reader thread doing the relay's wait, read, cut and callback
// hands the answer over, as the relay's connection thread does.
Outcome RoundTripRaw(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    ctx.rawServer.SetMode(BenchServer::MODE_ECHO);
    RawReader reader(ctx);
    static uint32_t s_nId = 0x80000000u;
    for (int i = 0; i < nSamples; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        if (!raw_send(ctx, id, payload) || !wait_answer(id)) {
            out.ok = false;
            out.error = "no answer on the raw link";
            break;
        }
        pSamples->push_back(seconds_since(t0) * 1e6);
    }
    reader.Stop(&out);
    out.messages = static_cast<uint64_t>(nSamples);
    ctx.rawServer.SetMode(BenchServer::MODE_COUNT);
    return out;
}

// The plain ping-pong, for reference: one thread sends, waits on the socket
// and reads the answer itself.
Outcome PingPongRaw(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    ctx.rawServer.SetMode(BenchServer::MODE_ECHO);
    static uint32_t s_nId = 0xC0000000u;
    for (int i = 0; i < nSamples && out.ok; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        if (!raw_send(ctx, id, payload)) {
            out.ok = false;
            out.error = "raw send failed";
            break;
        }
        while (g_nLastId.load(std::memory_order_acquire) != id) {
            if (!raw_read_once(ctx) || seconds_since(t0) > 5.0) {
                out.ok = false;
                out.error = "no answer on the raw link";
                break;
            }
        }
        if (out.ok)
            pSamples->push_back(seconds_since(t0) * 1e6);
    }
    out.messages = static_cast<uint64_t>(nSamples);
    ctx.rawServer.SetMode(BenchServer::MODE_COUNT);
    return out;
}

} // namespace bench
