// Fixture and checks for the fault and stress suite: the host-level fixture
// (sample host loading the built module, loopback server), plus what these
// tests look at from outside the host process: its threads, descriptors and
// signal state under /proc, and the order and integrity of flooded packets.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "relay_host_test.h"

const int STRESS_WAIT_MS = 60000;

class StressTest : public RelayHostTest {
protected:
    // Quits the host and expects exit code 0; on failure shows only the end
    // of its output, which may hold tens of thousands of callback lines.
    void TearDown() override;

    int HostPid() { return m_host.Host().Pid(); }
    // Waits until the callback lines matching prefix number n; all of them.
    std::vector<std::string> WaitForCallbacks(const std::string &prefix, size_t n,
                                              int nTimeoutMs = STRESS_WAIT_MS);
    // The last log texts, for failure messages.
    std::string LogTail(size_t nLines = 25) const;
    // Polls until the host's thread count is back at nThreads.
    bool WaitForThreadCount(size_t nThreads, int nTimeoutMs = 10000);
};

// ---- The host process as /proc shows it -----------------------------------
// False once the process has ended (also while it waits to be reaped).
bool proc_alive(int pid);
size_t proc_thread_count(int pid);
size_t proc_fd_count(int pid);
// Descriptor numbers of the process's sockets.
std::vector<int> proc_socket_fds(int pid);
// True when the signal is ignored by the process, or blocked in its main thread.
bool proc_signal_ignored_or_blocked(int pid, int nSignal);

// ---- Output of the sample host ----------------------------------------------
// A "@D <id> <size> <preview>" line, split; false for any other line.
struct DataLine {
    uint32_t id = 0;
    int64_t size = 0;
    std::string preview;
};
bool parse_data_line(const std::string &line, DataLine *out);
// The preview the sample host prints for data.
std::string data_preview(const testkit::Bytes &data);

// ---- Flood streams ------------------------------------------------------------
// The payload "flood" sends: the thread index and the sequence number as
// 32-bit little-endian values, then byte i = i & 0xff.
testkit::Bytes flood_payload(uint32_t nThread, uint32_t nSeq, uint32_t nSize);

// Type of a host message that a test sends between floods to mark a point.
const uint8_t FLOOD_MARKER_TYPE = 'M';

// Checks what the server received on every connection while the host ran
// "flood": each connection's bytes frame cleanly into whole packets, but
// for a last one torn by a short send; every "D" packet is a flood payload
// of nSize bytes from one of nThreads threads; each thread's sequence
// numbers strictly rise (gaps allowed) across all connections, or within
// each connection when the host ran several floods; "C" packets are exact
// keep-alives; marker packets are passed over. Returns an empty string when
// all holds, else the first fault found. *pPerThread receives the packets
// counted per thread.
enum class SeqScope { ALL_CONNECTIONS, EACH_CONNECTION };
std::string check_flood_stream(const std::vector<testkit::ConnectionRecord> &connections,
                               uint32_t nThreads, uint32_t nSize,
                               std::map<uint32_t, size_t> *pPerThread,
                               SeqScope scope = SeqScope::ALL_CONNECTIONS);
