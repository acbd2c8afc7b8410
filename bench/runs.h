// One measured run of each kind, through the relay and through a raw socket
// doing the same work in the same process.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bench_server.h"
#include "relay/packet.h"
#include "relay_module.h"

namespace bench {

struct Context {
    ~Context();
    RelayModule module;
    RecvFunc pfRec = nullptr;  // handed out by sh_load_start
    BenchServer relayServer;   // the relay's VOZevezu
    BenchServer rawServer;     // the raw socket's peer
    int rawFd = -1;            // a client socket set up as the relay sets up its own
    std::mutex rawLock;        // the raw senders' link lock
    unsigned char rawSendBuf[PACKET_MAX_OUT];
    PacketCutter rawCutter;    // the raw receivers' cutting of the stream
};

struct Outcome {
    bool ok = true;
    std::string error;
    double perSecond = 0;     // messages per second
    uint64_t messages = 0;    // messages inside the measured window
    uint64_t allocations = 0; // heap allocations inside the measured window
};

// The host's "D" receiver, for the relay and the raw readers alike.
void DEZ_CALL OnData(uint32_t nId, const unsigned char *pData, int32_t nSize);

bool OpenRawLink(Context &ctx, std::string *pError);

// Host to server: nThreads threads send nPayload-byte messages for about
// seconds; counted as complete packets at the server.
Outcome SendRelay(Context &ctx, int nThreads, uint32_t nPayload, double seconds);
Outcome SendRaw(Context &ctx, int nThreads, uint32_t nPayload, double seconds);

// Server to host: the server floods "D" packets of nPayload bytes; counted
// in the host's receiver.
Outcome FloodRelay(Context &ctx, uint32_t nPayload, double seconds);
Outcome FloodRaw(Context &ctx, uint32_t nPayload, double seconds);

// Round trips of a 64-byte message, in microseconds, appended to *pSamples.
Outcome RoundTripRelay(Context &ctx, int nSamples, std::vector<double> *pSamples);
Outcome RoundTripRaw(Context &ctx, int nSamples, std::vector<double> *pSamples);
Outcome PingPongRaw(Context &ctx, int nSamples, std::vector<double> *pSamples);

// True once a keep-alive sent through the started relay reached its server,
// within 10 seconds.
bool WaitLinkUp(Context &ctx);

// Start and stop of the relay, in milliseconds per cycle.
struct LifecycleTimes {
    std::vector<double> startToConnected;
    std::vector<double> exitConnected;
    std::vector<double> exitDisconnected;
};
Outcome MeasureLifecycle(Context &ctx, int nCycles, LifecycleTimes *pTimes);

} // namespace bench
