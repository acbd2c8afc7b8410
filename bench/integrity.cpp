// The integrity check: the server floods stamped packets through the relay
// and the host's receiver checks each one's number, size and checksum.
#include <cstdio>

#include "run_util.h"
#include "runs.h"
#include "stamp.h"

namespace bench {

namespace {

// Written only by the thread that runs the host's receiver.
uint64_t g_nNextStamp = 0;
std::atomic<uint64_t> g_nStampedSeen(0);
std::atomic<uint64_t> g_nStampMismatches(0);
std::atomic<uint64_t> g_nFirstMismatch(~0ull);

void DEZ_CALL OnStamped(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    if (!StampMatches(nId, pData, nSize, g_nNextStamp)) {
        if (g_nStampMismatches.fetch_add(1) == 0)
            g_nFirstMismatch.store(g_nNextStamp);
        // Resynchronise on the packet's own number where it carries one.
        if (nSize >= static_cast<int32_t>(STAMP_MIN_PAYLOAD))
            g_nNextStamp = StampOf(pData);
    }
    ++g_nNextStamp;
    g_nStampedSeen.store(g_nStampedSeen.load(std::memory_order_relaxed) + 1,
                         std::memory_order_release);
}

// Waits until n packets were seen, as long as they keep coming.
bool wait_seen(uint64_t n) {
    uint64_t last = g_nStampedSeen.load();
    Clock::time_point progress = Clock::now();
    while (g_nStampedSeen.load() < n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t now = g_nStampedSeen.load();
        if (now != last) {
            last = now;
            progress = Clock::now();
        } else if (seconds_since(progress) > 10.0) {
            return false;
        }
    }
    return true;
}

} // namespace

Outcome IntegrityFlood(Context &ctx, uint64_t nPackets, IntegrityResult *pResult) {
    Outcome out;
    g_nNextStamp = 0;
    g_nStampedSeen = 0;
    g_nStampMismatches = 0;
    g_nFirstMismatch = ~0ull;
    if (!RestartRelay(ctx, OnStamped, &out.error)) {
        out.ok = false;
        return out;
    }
    const Clock::time_point t0 = Clock::now();
    ctx.relayServer.StartStampedFlood();
    const bool bFlowed = wait_seen(nPackets);
    const uint64_t nSent = ctx.relayServer.StopFlood();
    const bool bAllSeen = bFlowed && wait_seen(nSent);
    out.perSecond = static_cast<double>(g_nStampedSeen.load()) / seconds_since(t0);
    pResult->sent = nSent;
    pResult->seen = g_nStampedSeen.load();
    pResult->mismatches = g_nStampMismatches.load();
    pResult->firstMismatch = g_nFirstMismatch.load();
    out.messages = pResult->seen;
    if (!bAllSeen) {
        out.ok = false;
        out.error = "stamped packets stopped arriving";
    }
    std::string error;
    if (!RestartRelay(ctx, OnData, &error) && out.ok) {
        out.ok = false;
        out.error = error;
    }
    return out;
}

} // namespace bench
