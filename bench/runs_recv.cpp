// Server to host: throughput of a flood of "D" packets, and round trips of a
// host message echoed by the server.
#include <cerrno>
#include <sched.h>
#include <sys/socket.h>

#include "alloc_count.h"
#include "pinning.h"
#include "run_util.h"
#include "runs.h"

namespace bench {

namespace {

const uint32_t RTT_PAYLOAD = 64;

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
bool wait_answer_yielding(uint32_t id) {
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

bool wait_answer(const Context &ctx, uint32_t id) {
    return ctx.method == METHOD_LOADED ? WaitAnswerSpinThenBlock(id) : wait_answer_yielding(id);
}

bool raw_send(int fd, uint32_t id, const unsigned char *payload) {
    unsigned char packet[PACKET_MAX_OUT];
    const uint32_t length = frame_packet(packet, PACKET_TYPE_DATA, id, payload, RTT_PAYLOAD);
    return send(fd, packet, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

} // namespace

Outcome FloodRelay(Context &ctx, uint32_t nPayload, double seconds) {
    return measure_flood(ctx.relayServer, nPayload, seconds);
}

Outcome FloodRaw(Context &ctx, uint32_t nPayload, double seconds) {
    Outcome out = measure_flood(ctx.rawServer, nPayload, seconds);
    if (ctx.rawReader.Failed()) {
        out.ok = false;
        out.error = "the raw link failed";
    }
    return out;
}

Outcome RoundTripRelay(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    ctx.relayServer.SetMode(BenchServer::MODE_ECHO);
    SetWakingHost(ctx.method == METHOD_LOADED);
    const uint64_t a0 = allocation_count();
    static uint32_t s_nId = 0x40000000;
    for (int i = 0; i < nSamples; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        // The loaded host sends through the export, as hosts that do not keep
        // the handed-out pointer do.
        const RecvFunc pfSend = ctx.method == METHOD_LOADED ? ctx.module.recv : ctx.pfRec;
        pfSend(PACKET_TYPE_DATA, id, payload, static_cast<int32_t>(RTT_PAYLOAD));
        if (!wait_answer(ctx, id)) {
            out.ok = false;
            out.error = "no answer through the relay";
            break;
        }
        pSamples->push_back(seconds_since(t0) * 1e6);
    }
    out.allocations = allocation_count() - a0;
    SetWakingHost(false);
    out.messages = static_cast<uint64_t>(nSamples);
    ctx.relayServer.SetMode(BenchServer::MODE_COUNT);
    return out;
}

// The same round trip without the relay: the host thread sends on the raw
// socket, and the raw reader thread, doing the relay's wait, read, cut and
// callback, hands the answer over as the relay's connection thread does.
Outcome RoundTripRaw(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    ctx.rawServer.SetMode(BenchServer::MODE_ECHO);
    SetWakingHost(ctx.method == METHOD_LOADED);
    static uint32_t s_nId = 0x80000000u;
    for (int i = 0; i < nSamples; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        if (!raw_send(ctx.rawLink.fd, id, payload) || !wait_answer(ctx, id)) {
            out.ok = false;
            out.error = "no answer on the raw link";
            break;
        }
        pSamples->push_back(seconds_since(t0) * 1e6);
    }
    SetWakingHost(false);
    if (ctx.rawReader.Failed()) {
        out.ok = false;
        out.error = "the raw link failed";
    }
    out.messages = static_cast<uint64_t>(nSamples);
    ctx.rawServer.SetMode(BenchServer::MODE_COUNT);
    return out;
}

// The plain ping-pong, for reference: one thread sends, waits on the socket
// and reads the answer itself.
Outcome PingPongRaw(Context &ctx, int nSamples, std::vector<double> *pSamples) {
    static unsigned char payload[RTT_PAYLOAD] = {2};
    Outcome out;
    // The raw link without its reader for the while: the sending thread reads.
    ctx.rawReader.Stop();
    ctx.rawServer.SetMode(BenchServer::MODE_ECHO);
    static uint32_t s_nId = 0xC0000000u;
    for (int i = 0; i < nSamples && out.ok; ++i) {
        const uint32_t id = ++s_nId;
        const Clock::time_point t0 = Clock::now();
        if (!raw_send(ctx.rawLink.fd, id, payload)) {
            out.ok = false;
            out.error = "raw send failed";
            break;
        }
        while (g_nLastId.load(std::memory_order_acquire) != id) {
            if (!ctx.rawLink.ReadOnce() || seconds_since(t0) > 5.0) {
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
    ctx.rawReader.Start(&ctx.rawLink, ctx.method == METHOD_LOADED);
    return out;
}

} // namespace bench
