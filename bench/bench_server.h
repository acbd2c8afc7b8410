// A lean VOZevezu for the benchmark: one loopback listener and one thread
// that serves one connection at a time, without allocating while it serves.
// It counts the packets it receives, echoes "D" packets, or floods the peer
// with "D" packets, as the benchmark asks.
//
// It is a server of its own, not the kit's LoopbackServer, because that one
// records every packet under a mutex: the bench server must neither allocate
// nor take a lock while it serves, or it would weigh on what it measures. The
// kit's socket helpers only set up its listener and accept its connections;
// serving uses plain poll, recv and send.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kit_socket.h"

namespace bench {

// A heap buffer that begins on a page boundary, so that both servers copy
// from and into memory laid out alike.
class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer() { std::free(m_p); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;
    bool Allocate(size_t n) {
        std::free(m_p);
        m_p = static_cast<unsigned char *>(std::aligned_alloc(PAGE, (n + PAGE - 1) / PAGE * PAGE));
        m_n = m_p ? n : 0;
        return m_p != nullptr;
    }
    unsigned char *data() { return m_p; }
    size_t size() const { return m_n; }

private:
    static const size_t PAGE = 4096;
    unsigned char *m_p = nullptr;
    size_t m_n = 0;
};

class BenchServer {
public:
    enum Mode { MODE_COUNT, MODE_ECHO, MODE_FLOOD };

    BenchServer() = default;
    ~BenchServer() { Stop(); }
    BenchServer(const BenchServer &) = delete;
    BenchServer &operator=(const BenchServer &) = delete;

    // Listens on 127.0.0.1 at a port of the system's choice.
    bool Start(std::string *pError);
    void Stop();
    uint16_t Port() const { return m_nPort; }

    // Complete packets received since the start, of any type.
    uint64_t Packets() const { return m_nPackets.load(std::memory_order_acquire); }
    // Received "D" packets whose length was not the expected one (0: any).
    uint64_t BadPackets() const { return m_nBad.load(std::memory_order_relaxed); }
    void ExpectLength(uint32_t nLength) { m_nExpected.store(nLength); }
    uint64_t Connections() const { return m_nConnections.load(); }

    // Counting (the default) or echoing received packets.
    void SetMode(Mode mode) { m_mode.store(mode); }
    // Sends "D" packets of nPayload bytes as fast as the peer takes them.
    void StartFlood(uint32_t nPayload);
    // Sends "D" packets stamped for the integrity check (stamp.h): numbered
    // from 0, of varying sizes, each with its checksum.
    void StartStampedFlood();
    // Ends the flood on a packet boundary; the number of packets sent.
    uint64_t StopFlood();
    // Pins the serving thread to cpu (-1: every CPU of the process at start).
    bool PinTo(int cpu);

private:
    void Serve();
    void Accept();
    void FloodStep();
    void StampFloodBuffer();
    void ReceiveStep();
    void Cut(bool bEcho);
    bool SendAll(const unsigned char *p, size_t n);
    void Drop();

    testkit::Socket m_listen = testkit::BAD_SOCKET;
    int m_conn = -1;
    uint16_t m_nPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_mode{MODE_COUNT};
    std::atomic<bool> m_bFlooding{false}; // the thread is inside a flood
    std::atomic<uint64_t> m_nPackets{0};
    std::atomic<uint64_t> m_nBad{0};
    std::atomic<uint32_t> m_nExpected{0};
    std::atomic<uint64_t> m_nConnections{0};

    // Owned by the serving thread while it serves.
    PageBuffer m_in; // received bytes, carried tail first
    size_t m_nIn = 0;
    std::vector<unsigned char> m_echo; // echo answers of one read
    PageBuffer m_flood;                // whole packets, sent round and round
    size_t m_nFlood = 0;               // bytes of them in m_flood
    size_t m_nFloodPos = 0;
    uint32_t m_nFloodPackets = 0; // packets in m_flood
    std::atomic<uint64_t> m_nFloodRounds{0};
    bool m_bStamped = false;
    uint64_t m_nNextStamp = 0;               // number of the next stamped packet
    std::atomic<uint64_t> m_nStampedSent{0}; // stamped packets sent whole
};

} // namespace bench
