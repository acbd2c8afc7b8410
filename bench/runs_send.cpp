// Host to server throughput: host threads hand messages over as fast as they
// can, and the server counts the complete packets that reach it.
#include <cerrno>
#include <functional>
#include <sys/socket.h>
#include <vector>

#include "alloc_count.h"
#include "run_util.h"
#include "runs.h"

namespace bench {

namespace {

// Bytes allowed in flight between the host threads and the server. Far
// below the socket buffers, so that a send never finds them full: the relay
// ends its link on a short send, and the raw sender counts one as a failure.
const uint64_t WINDOW_BYTES = 512 * 1024;
const int BATCH = 16;
const int MAX_THREADS = 8;

struct alignas(64) SentCount {
    std::atomic<uint64_t> n{0};
};

// One run of nThreads senders; send(thread, id) hands one message over and
// returns false on a failure.
Outcome run_senders(BenchServer &server, int nThreads, uint32_t nPayload, double seconds,
                    const std::function<bool(int, uint32_t)> &send) {
    Outcome out;
    if (nThreads < 1 || nThreads > MAX_THREADS) {
        out.ok = false;
        out.error = "thread count out of range";
        return out;
    }
    SentCount sent[MAX_THREADS];
    std::atomic<bool> bStop(false);
    std::atomic<bool> bFailed(false);
    const uint64_t base = server.Packets();
    const uint64_t windowPackets = WINDOW_BYTES / (PACKET_HEADER_SIZE + nPayload);
    server.ExpectLength(PACKET_HEADER_SIZE + nPayload);
    const uint64_t badBefore = server.BadPackets();

    auto total_sent = [&] {
        uint64_t n = 0;
        for (int i = 0; i < nThreads; ++i)
            n += sent[i].n.load(std::memory_order_relaxed);
        return n;
    };
    StartLine line(nThreads);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(nThreads));
    for (int t = 0; t < nThreads; ++t) {
        threads.emplace_back([&, t] {
            line.Arrive();
            uint32_t seq = 0;
            while (!bStop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < BATCH; ++i) {
                    if (!send(t, (static_cast<uint32_t>(t) << 24) | (seq++ & 0xFFFFFF))) {
                        bFailed = true;
                        bStop = true;
                        break;
                    }
                }
                sent[t].n.fetch_add(BATCH, std::memory_order_relaxed);
                // The server may count a keep-alive too, so its count can be ahead.
                while (total_sent() > server.Packets() - base + windowPackets &&
                       !bStop.load(std::memory_order_relaxed))
                    std::this_thread::yield();
            }
        });
    }
    line.WaitAllArrived();
    const uint64_t a0 = allocation_count();
    const Clock::time_point t0 = Clock::now();
    line.Go();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    bStop = true;
    for (std::thread &th : threads)
        th.join();
    const uint64_t nSent = total_sent();
    const bool drained =
        !bFailed && wait_until([&] { return server.Packets() - base >= nSent; }, 10.0);
    const double elapsed = seconds_since(t0);
    out.allocations = allocation_count() - a0;
    out.messages = nSent;
    out.perSecond = static_cast<double>(server.Packets() - base) / elapsed;
    if (bFailed) {
        out.ok = false;
        out.error = "a send failed";
    } else if (!drained) {
        out.ok = false;
        out.error = "packets lost: " + std::to_string(nSent - (server.Packets() - base)) + " of " +
                    std::to_string(nSent);
    } else if (server.BadPackets() != badBefore) {
        out.ok = false;
        out.error = "packets arrived with a wrong length";
    }
    server.ExpectLength(0);
    return out;
}

} // namespace

Outcome SendRelay(Context &ctx, int nThreads, uint32_t nPayload, double seconds) {
    static unsigned char payload[PACKET_MAX_OUT_PAYLOAD] = {1};
    RecvFunc pfRec = ctx.pfRec;
    const int32_t n = static_cast<int32_t>(nPayload);
    return run_senders(ctx.relayServer, nThreads, nPayload, seconds, [&](int, uint32_t id) {
        return pfRec(PACKET_TYPE_DATA, id, payload, n) == 0;
    });
}

// The same work without the relay: frame into one buffer and send it on one
// non-blocking socket, under one lock, as the relay does.
Outcome SendRaw(Context &ctx, int nThreads, uint32_t nPayload, double seconds) {
    static unsigned char payload[PACKET_MAX_OUT_PAYLOAD] = {1};
    return run_senders(ctx.rawServer, nThreads, nPayload, seconds, [&](int, uint32_t id) {
        std::lock_guard<std::mutex> guard(ctx.rawLock);
        const uint32_t length =
            frame_packet(ctx.rawSendBuf, PACKET_TYPE_DATA, id, payload, nPayload);
        const unsigned char *p = ctx.rawSendBuf;
        size_t left = length;
        while (left > 0) {
            const ssize_t sent = send(ctx.rawLink.fd, p, left, MSG_NOSIGNAL);
            if (sent > 0) {
                p += sent;
                left -= static_cast<size_t>(sent);
            } else if (sent < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    });
}

} // namespace bench
