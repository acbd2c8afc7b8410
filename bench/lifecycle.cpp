// Start and stop of the relay: how long from sh_load_start until a message
// reaches the server, how long sh_load_exit takes with the link up and with
// the server unreachable, and the CPU time an idle connected relay costs.
#include <dirent.h>

#include <fstream>
#include <set>
#include <string>

#include "kit_socket.h"
#include "run_util.h"
#include "runs.h"

namespace bench {

namespace {

double ms_since(Clock::time_point t0) {
    return seconds_since(t0) * 1e3;
}

// A loopback port that refuses connections: bound, never listening.
testkit::Socket bind_refusing_port(uint16_t *pPort, std::string *pError) {
    const testkit::Socket s = testkit::OpenTcpSocket(false);
    if (s != testkit::BAD_SOCKET && testkit::BindLoopback(s, 0, pError) &&
        (*pPort = testkit::BoundPort(s)) != 0)
        return s;
    *pError = "no free loopback port: " + testkit::SocketErrorText(testkit::LastSocketError());
    testkit::CloseSocket(s);
    return testkit::BAD_SOCKET;
}

bool start(Context &ctx, Outcome *pOut) {
    const int32_t result = ctx.module.load_start(OnData, &ctx.pfRec);
    if (result != 0) {
        pOut->ok = false;
        pOut->error = "sh_load_start returned " + std::to_string(result);
    }
    return result == 0;
}

// Starts the relay and waits until its link carries messages; on failure the
// relay is stopped again and *pOut says why.
bool start_connected(Context &ctx, Outcome *pOut) {
    if (!start(ctx, pOut))
        return false;
    if (WaitLinkUp(ctx))
        return true;
    ctx.module.load_exit();
    pOut->ok = false;
    pOut->error = "the relay did not connect";
    return false;
}

// Ids of the process's threads.
std::set<std::string> thread_ids() {
    std::set<std::string> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ids.insert(entry->d_name);
        closedir(dir);
    }
    return ids;
}

// Nanoseconds the given threads have run on a CPU (the scheduler's own
// account, exact to the nanosecond, unlike the tick-based times).
uint64_t cpu_ns_of(const std::set<std::string> &ids) {
    uint64_t total = 0;
    for (const std::string &id : ids) {
        std::ifstream in("/proc/self/task/" + id + "/schedstat");
        uint64_t ns = 0;
        if (in >> ns)
            total += ns;
    }
    return total;
}

// The CPU time that the relay's own threads (those that sh_load_start
// created) use while the link is up and idle: keep-alives and the waits'
// time-outs only.
bool measure_idle_cpu(Context &ctx, double idleS, LifecycleTimes *pTimes, Outcome *pOut) {
    const std::set<std::string> before = thread_ids();
    if (!start_connected(ctx, pOut))
        return false;
    std::set<std::string> relay;
    for (const std::string &id : thread_ids())
        if (!before.count(id))
            relay.insert(id);
    const uint64_t ns0 = cpu_ns_of(relay);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleS));
    const uint64_t ns1 = cpu_ns_of(relay);
    ctx.module.load_exit();
    pTimes->idleRelayThreads = relay.size();
    pTimes->idleCpuUsPerS = static_cast<double>(ns1 - ns0) / 1e3 / idleS;
    return true;
}

} // namespace

// Sends keep-alive probes until one reaches the server: the relay has
// connected and the host's messages go through.
bool WaitLinkUp(Context &ctx) {
    const uint64_t base = ctx.relayServer.Packets();
    return wait_until(
        [&] {
            ctx.pfRec(PACKET_TYPE_CHECK, 0, nullptr, 0);
            return ctx.relayServer.Packets() > base;
        },
        10.0);
}

Outcome MeasureLifecycle(Context &ctx, int nCycles, double idleS, LifecycleTimes *pTimes) {
    Outcome out;
    std::string error;
    for (int i = 0; i < nCycles && out.ok; ++i) {
        if (!WriteRelayConfig(ctx.relayServer.Port(), &error)) {
            out.ok = false;
            out.error = error;
            break;
        }
        const Clock::time_point t0 = Clock::now();
        if (!start_connected(ctx, &out))
            break;
        pTimes->startToConnected.push_back(ms_since(t0));
        const Clock::time_point t1 = Clock::now();
        ctx.module.load_exit();
        pTimes->exitConnected.push_back(ms_since(t1));
    }

    if (out.ok && !measure_idle_cpu(ctx, idleS, pTimes, &out))
        return out;

    uint16_t nRefusing = 0;
    const testkit::Socket refusing = bind_refusing_port(&nRefusing, &error);
    if (refusing == testkit::BAD_SOCKET && out.ok) {
        out.ok = false;
        out.error = error;
    }
    for (int i = 0; i < nCycles && out.ok; ++i) {
        if (!WriteRelayConfig(nRefusing, &error)) {
            out.ok = false;
            out.error = error;
            break;
        }
        if (!start(ctx, &out))
            break;
        // Let the first attempt fail and the monitor go back to its sleep.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const Clock::time_point t1 = Clock::now();
        ctx.module.load_exit();
        pTimes->exitDisconnected.push_back(ms_since(t1));
    }
    testkit::CloseSocket(refusing);
    WriteRelayConfig(ctx.relayServer.Port(), &error);
    return out;
}

} // namespace bench
