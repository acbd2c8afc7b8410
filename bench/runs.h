// One measured run of each kind, through the relay and through a raw socket
// doing the same work in the same process.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "relay/packet.h"
#include "relay_module.h"

namespace bench {

// A client link to a benchmark server, its socket set up as the relay sets
// up its own: close-on-exec, no delay, non-blocking.
struct RawLink {
    int fd = -1;
    PacketCutter cutter; // the reader's cutting of the stream

    RawLink() = default;
    ~RawLink();
    RawLink(const RawLink &) = delete;
    RawLink &operator=(const RawLink &) = delete;
    bool Open(BenchServer &server, std::string *pError);
    void Close();
    // What the relay's connection thread does per read, without the relay:
    // wait up to 100 ms, read at most one chunk behind the carried bytes, cut,
    // and hand each "D" packet to the host's receiver. False when the link
    // failed.
    bool ReadOnce();
    // The least a reader can do per read: poll, one recv of at most 5,000
    // bytes behind the carried tail, a plain cutting loop, and the host's
    // receiver through a pointer. False when the link failed.
    bool ReadOnceLean();

private:
    alignas(64) unsigned char m_lean[PACKET_RECV_BUFFER];
    uint32_t m_nLeanCarry = 0;
};

// A thread that reads a raw link the way the relay's connection thread
// reads its own, for as long as the link lives.
class RawReader {
public:
    RawReader() = default;
    ~RawReader() { Stop(); }
    RawReader(const RawReader &) = delete;
    RawReader &operator=(const RawReader &) = delete;
    // bLean: read with ReadOnceLean instead of ReadOnce.
    bool Start(RawLink *pLink, bool bLean = false);
    void Stop();
    bool Failed() const { return m_bFailed.load(); }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::thread m_thread;
};

// Old: every thread where the system puts it, a host that spins (yielding)
// for its answer, the raw reader doing the relay's steps with its cutter.
// Loaded: the host's threads, and so the relay's, on HOST_CPU, the servers'
// threads on SERVER_CPU, the lean raw reader, a host that spins briefly and
// then blocks for its answer.
enum Method { METHOD_OLD, METHOD_LOADED };
const char *MethodName(Method method);

struct Context {
    ~Context();
    testkit::RelayModule module;
    RecvFunc pfRec = nullptr; // handed out by sh_load_start
    BenchServer relayServer;  // the relay's VOZevezu
    BenchServer rawServer;    // the raw link's peer
    RawLink rawLink;          // read by rawReader (by the sender in the ping-pong)
    RawReader rawReader;
    std::mutex rawLock; // the raw senders' link lock
    unsigned char rawSendBuf[PACKET_MAX_OUT];
    Method method = METHOD_OLD;
};

// Pins (or unpins) the threads for the method; the links and readers get it
// at the next FreshLinks.
bool UseMethod(Context &ctx, Method method, std::string *pError);

struct Outcome {
    bool ok = true;
    std::string error;
    double perSecond = 0;     // messages per second
    uint64_t messages = 0;    // messages inside the measured window
    uint64_t allocations = 0; // heap allocations inside the measured window
};

// The host's "D" receiver, for the relay and the raw readers alike.
void DEZ_CALL OnData(uint32_t nId, const unsigned char *pData, int32_t nSize);

// Opens the raw links and starts the raw reader.
bool OpenRawLinks(Context &ctx, std::string *pError);
// Gives both sides new connections and new reader threads: the relay is
// stopped and started again, the raw link closed and opened again. Each
// round starts so, since a connection and its reader keep, for as long as
// they live, whatever pace the system settled on for them.
bool FreshLinks(Context &ctx, std::string *pError);
// Stops the relay and starts it again with the given "D" receiver, until it
// has connected.
bool RestartRelay(Context &ctx, SendFunc pfReceiver, std::string *pError);

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

// Stamped packets flooded through the relay and checked one by one.
struct IntegrityResult {
    uint64_t sent = 0, seen = 0, mismatches = 0;
    uint64_t firstMismatch = ~0ull; // number of the first packet that did not match
};
Outcome IntegrityFlood(Context &ctx, uint64_t nPackets, IntegrityResult *pResult);

// Writes QVThunkConfig.xml beside the executable: a relay that connects to
// 127.0.0.1:nPort and retries on every pass of its monitor.
bool WriteRelayConfig(uint16_t nPort, std::string *pError);

// True once a keep-alive sent through the started relay reached its server,
// within 10 seconds.
bool WaitLinkUp(Context &ctx);

// Start and stop of the relay, in milliseconds per cycle.
struct LifecycleTimes {
    std::vector<double> startToConnected;
    std::vector<double> exitConnected;
    std::vector<double> exitDisconnected;
    // CPU time of the relay's threads while connected and idle, in
    // microseconds per second, and how many threads that was.
    double idleCpuUsPerS = 0;
    size_t idleRelayThreads = 0;
};
// Runs nCycles of each start and stop, and idle windows of idleS seconds.
Outcome MeasureLifecycle(Context &ctx, int nCycles, double idleS, LifecycleTimes *pTimes);

} // namespace bench
