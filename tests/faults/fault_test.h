// Fixture for the fault suite on virtual networks: two network namespaces
// of its own joined by a veth pair, the sample host (loading the built
// module) in one, a server in the other, and packet filter rules, a pulled
// cable or a slow, lossy path between them. Everything it builds is removed
// at the end of each test, whatever the outcome; where the machine does not
// let it build namespaces, every test is skipped with one line saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "kit_socket.h"
#include "stress_test.h"

typedef std::chrono::steady_clock Clock;

// The pace of the suite's configurations: short, so that every case ends
// within seconds.
const int DEAD_LINK_MS = 5000;   // DeadLinkTimeout
const int CONNECT_MS = 3000;     // ConnectTimeout, where a case sets it
const int INTERVAL_MS = 1000;    // TryConnectionInteval and MaxCheckConnectionInterval
const int PACE_MS = 2000;        // so the monitor tries, or sends a keep-alive, every 2 s
const int MARGIN_MS = 5000;      // what the targets allow on top of the timeouts
const int FAULT_WAIT_MS = 30000; // bound of waits that only fail when something is broken

// The keys of dead-link detection, bounded connect and the send buffer,
// written into a configuration; a negative value leaves the key out.
struct LinkKeys {
    long deadLinkMs = DEAD_LINK_MS;
    long connectMs = -1;
    long sendBufferBytes = -1;
};
void add_link_keys(testkit::ThunkConfig *pConfig, const LinkKeys &keys);

// How a wait for the end of the link came out.
struct LinkEnd {
    bool bEnded = false;
    double seconds = 0; // from the moment given to the wait
    int nCode = 0;      // the code of the link-state call
    // "link ended after 7.4 s (-102)" or "link not ended within 12 s".
    std::string Text(int nBoundMs) const;
};

// A TCP socket of the host namespace, as /proc/net/tcp lists it.
struct KernelSocket {
    int nState = 0;       // the kernel's state number (4 = FIN-WAIT-1, ...)
    uint32_t nQueued = 0; // bytes sent or waiting to be, not yet acknowledged
    bool bOrphan = false; // closed by its owner, kept by the kernel alone
};

// The host's answer to a flood, "@flood <ok> <refused>"; -1 where unreadable.
struct FloodAnswer {
    int nOk = -1;
    int nRefused = -1;
};
FloodAnswer parse_flood(const std::string &line);

// "7.4 s"
std::string seconds_text(double seconds);
double seconds_since(Clock::time_point since);
// Prints one line of figures: "[fault] <text>".
void report(const std::string &text);

class FaultTest : public StressTest {
protected:
    enum Side { HOST = 0, SERVER = 1 };
    static const char HOST_ADDRESS[];   // the host's end of the veth
    static const char SERVER_ADDRESS[]; // the server's end

    void SetUp() override;
    void TearDown() override;

    // ---- The network ----------------------------------------------------------
    // Runs fn on a thread inside the side's namespace; processes it starts
    // and sockets it opens stay there.
    bool InNamespace(Side side, const std::function<void()> &fn);
    // Runs a tool inside the side's namespace; true when it ends with 0,
    // else the test fails with its output.
    bool Tool(Side side, const std::vector<std::string> &args);
    const std::string &Veth(Side side) const { return m_veth[side]; }
    // Every packet on the veth dropped at both ends, and let through again.
    void DropPath();
    void HealPath();
    // The server's end of the veth down: the host's end loses its carrier.
    void PullCable();
    // SYNs to the server dropped (every other packet passes), and let through.
    void DropSyns();
    void PassSyns();
    // Each packet held nDelayMs and dropped at nLossPct % in either
    // direction; returns what does it, netem or the suite's packet-filter queue.
    std::string SlowPath(int nDelayMs, int nLossPct);
    // Ends the queue's delay and loss; what the queues did, or "" with netem.
    std::string StopSlowPath();
    void SetHostSysctl(const std::string &name, const std::string &value);

    // ---- Servers --------------------------------------------------------------
    // The test kit's server (m_server), listening in the server namespace.
    void StartServerThere();
    // The sample server, run in the server namespace; returns its port.
    uint16_t StartSampleServer(const std::vector<std::string> &args);
    testkit::ChildProcess &SampleServer() { return *m_sampleServer; }
    // A listener that never takes its connections: the kernel completes them
    // and receives into them until their small buffers are full. Returns its
    // port.
    uint16_t ListenWithoutAccepting();

    // ---- The relay ------------------------------------------------------------
    // A configuration that connects to nPort on the server's end at the
    // suite's pace, with keys as given.
    testkit::ThunkConfig FaultConfig(uint16_t nPort, const LinkKeys &keys = LinkKeys()) const;
    // Starts the host in its namespace with its link-state printer, then the
    // relay; the link is not waited for.
    void StartRelay(const testkit::ThunkConfig &config);
    bool WaitLinkUp(int nTimeoutMs = FAULT_WAIT_MS);
    LinkEnd WaitLinkEnd(Clock::time_point since, int nTimeoutMs);
    // Codes of every end of the link the host has been told of so far.
    std::vector<int> LinkEndCodes();
    // Sends a script command without waiting for its answer.
    void Send(const std::string &command);
    std::string Answer(const std::string &prefix, int nTimeoutMs = FAULT_WAIT_MS);
    // The host namespace's sockets to the server's port nPort.
    std::vector<KernelSocket> SocketsTo(uint16_t nPort);
    // Checks the host's echo lines of a one-thread flood of nCount packets of
    // nSize bytes: each there, whole, once and in order. Empty when all hold.
    std::string CheckEchoes(uint32_t nCount, uint32_t nSize);
    // "D" packets the test kit's server has received, on all connections.
    size_t DataArrivals() const;
    // Checks what the test kit's server received: nCount flood packets of
    // nSize bytes from one thread on one connection, whole and in order.
    std::string CheckArrivals(uint32_t nCount, uint32_t nSize);

private:
    std::string BuildNetwork();
    void RemoveNetwork();
    testkit::ChildProcess *StartHelper(Side side, const std::string &program,
                                       const std::vector<std::string> &args);
    void StopHelpers();

    std::string m_ns[2];
    std::string m_veth[2];
    bool m_bNetwork = false;
    std::vector<std::unique_ptr<testkit::ChildProcess>> m_helpers;
    std::vector<testkit::ChildProcess *> m_queues; // lossy_path programs
    testkit::ChildProcess *m_sampleServer = nullptr;
    testkit::Socket m_fdSilent = testkit::BAD_SOCKET;
};
