#include "fault_test.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#ifndef SAMPLE_SERVER_PATH
#error "SAMPLE_SERVER_PATH must be set by the build"
#endif
#ifndef LOSSY_PATH_PATH
#error "LOSSY_PATH_PATH must be set by the build"
#endif

namespace fs = std::filesystem;

using testkit::ChildProcess;

// One private /30, used inside the suite's namespaces only.
const char FaultTest::HOST_ADDRESS[] = "10.199.18.1";
const char FaultTest::SERVER_ADDRESS[] = "10.199.18.2";

namespace {

const char NS_PREFIX[] = "dezf-";
const char NETNS_DIR[] = "/run/netns/";
const int TOOL_WAIT_MS = 20000;
const uint16_t QUEUE_NUMBER = 18;

// A program from PATH or the system directories; empty when there is none.
std::string find_program(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// Why the suite cannot build its namespaces here; empty when it can try.
std::string machine_unfit() {
    if (geteuid() != 0)
        return "network namespaces need root";
    std::string missing;
    for (const char *tool : {"ip", "nft", "iptables"}) {
        if (find_program(tool).empty())
            missing += std::string(missing.empty() ? "" : ", ") + tool;
    }
    return missing.empty() ? std::string() : "missing " + missing;
}

int run_tool(const std::vector<std::string> &args, std::string *pOutput) {
    ChildProcess tool;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (!tool.Start(find_program(args[0]), rest)) {
        *pOutput = tool.Error();
        return -1;
    }
    int status = tool.Wait(TOOL_WAIT_MS);
    *pOutput = tool.Output();
    return status;
}

std::string joined(const std::vector<std::string> &args) {
    std::string text;
    for (const std::string &arg : args)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

// Namespaces of this suite left behind by a run whose process is gone.
void sweep_stale_namespaces() {
    std::error_code ec;
    for (fs::directory_iterator it(NETNS_DIR, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, sizeof NS_PREFIX - 1, NS_PREFIX) != 0)
            continue;
        int pid = std::atoi(name.c_str() + sizeof NS_PREFIX - 1);
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
            std::string output;
            run_tool({"ip", "netns", "del", name}, &output);
        }
    }
}

// The hexadecimal form of an address:port in /proc/net/tcp.
std::string proc_endpoint(const char *address, uint16_t nPort) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(inet_addr(address)),
                  static_cast<unsigned>(nPort));
    return text;
}

} // namespace

// ---- Figures -------------------------------------------------------------------

void add_link_keys(testkit::ThunkConfig *pConfig, const LinkKeys &keys) {
    auto key = [](std::optional<std::string> *pKey, long value) {
        if (value >= 0)
            *pKey = std::to_string(value);
    };
    key(&pConfig->deadLinkTimeout, keys.deadLinkMs);
    key(&pConfig->connectTimeout, keys.connectMs);
    key(&pConfig->sendBufferSize, keys.sendBufferBytes);
}

FloodAnswer parse_flood(const std::string &line) {
    FloodAnswer answer;
    std::sscanf(line.c_str(), "@flood %d %d", &answer.nOk, &answer.nRefused);
    return answer;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.2f s" : "%.1f s", seconds);
    return text;
}

double seconds_since(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void report(const std::string &text) {
    std::printf("[fault] %s\n", text.c_str());
    std::fflush(stdout);
}

std::string LinkEnd::Text(int nBoundMs) const {
    if (!bEnded)
        return "link not ended within " + seconds_text(nBoundMs / 1000.0);
    return "link ended after " + seconds_text(seconds) + " (" + std::to_string(nCode) + ")";
}

// ---- Set-up and teardown -----------------------------------------------------

void FaultTest::SetUp() {
    std::string unfit = machine_unfit();
    if (unfit.empty())
        unfit = BuildNetwork();
    if (!unfit.empty())
        GTEST_SKIP() << "[fault] not run: " << unfit;
    ASSERT_FALSE(HasFailure()) << "the namespaces were made, but not the network between them";
}

std::string FaultTest::BuildNetwork() {
    static bool s_bSwept = false;
    if (!s_bSwept)
        sweep_stale_namespaces();
    s_bSwept = true;
    const std::string pid = std::to_string(getpid());
    m_ns[HOST] = NS_PREFIX + pid + "-h";
    m_ns[SERVER] = NS_PREFIX + pid + "-s";
    m_veth[HOST] = "dzf" + pid + "h";
    m_veth[SERVER] = "dzf" + pid + "s";
    std::string output;
    if (run_tool({"ip", "netns", "add", m_ns[HOST]}, &output) != 0)
        return "ip netns add failed: " + output;
    m_bNetwork = true;
    EXPECT_EQ(0, run_tool({"ip", "netns", "add", m_ns[SERVER]}, &output)) << output;
    // Made inside the namespaces: the veth never shows in this one.
    EXPECT_EQ(0, run_tool({"ip", "link", "add", m_veth[HOST], "netns", m_ns[HOST], "type", "veth",
                           "peer", "name", m_veth[SERVER], "netns", m_ns[SERVER]},
                          &output))
        << output;
    const char *addresses[2] = {HOST_ADDRESS, SERVER_ADDRESS};
    for (Side side : {HOST, SERVER}) {
        EXPECT_TRUE(Tool(side, {"ip", "addr", "add", std::string(addresses[side]) + "/30", "dev",
                                m_veth[side]}));
        EXPECT_TRUE(Tool(side, {"ip", "link", "set", "lo", "up"}));
        EXPECT_TRUE(Tool(side, {"ip", "link", "set", m_veth[side], "up"}));
    }
    return std::string();
}

void FaultTest::TearDown() {
    StressTest::TearDown(); // the host quits, the kit's server stops
    StopHelpers();
    testkit::CloseSocket(m_fdSilent);
    m_fdSilent = testkit::BAD_SOCKET;
    RemoveNetwork();
}

void FaultTest::RemoveNetwork() {
    if (!m_bNetwork)
        return;
    std::string output;
    for (Side side : {HOST, SERVER}) {
        if (fs::exists(NETNS_DIR + m_ns[side])) {
            EXPECT_EQ(0, run_tool({"ip", "netns", "del", m_ns[side]}, &output)) << output;
        }
    }
    m_bNetwork = false;
}

// ---- The network -----------------------------------------------------------------

bool FaultTest::InNamespace(Side side, const std::function<void()> &fn) {
    bool bEntered = false;
    std::thread([&] {
        int fd = open((NETNS_DIR + m_ns[side]).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        bEntered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (bEntered)
            fn();
    }).join();
    EXPECT_TRUE(bEntered) << "cannot enter " << m_ns[side];
    return bEntered;
}

bool FaultTest::Tool(Side side, const std::vector<std::string> &args) {
    int status = -1;
    std::string output;
    InNamespace(side, [&] { status = run_tool(args, &output); });
    EXPECT_EQ(0, status) << joined(args) << " in " << m_ns[side] << ":\n" << output;
    return status == 0;
}

void FaultTest::DropPath() {
    for (Side side : {HOST, SERVER})
        Tool(side, {"nft", "add table netdev dezf; add chain netdev dezf path { type filter hook "
                           "ingress device \"" +
                               m_veth[side] + "\" priority 0; policy drop; }"});
}

void FaultTest::HealPath() {
    for (Side side : {HOST, SERVER})
        Tool(side, {"nft", "delete table netdev dezf"});
}

void FaultTest::PullCable() {
    Tool(SERVER, {"ip", "link", "set", m_veth[SERVER], "down"});
}

void FaultTest::DropSyns() {
    Tool(SERVER, {"nft", "add table inet dezf; add chain inet dezf syn { type filter hook input "
                         "priority 0; policy accept; }; add rule inet dezf syn tcp flags & (syn "
                         "| ack) == syn drop"});
}

void FaultTest::PassSyns() {
    Tool(SERVER, {"nft", "delete table inet dezf"});
}

void FaultTest::SetHostSysctl(const std::string &name, const std::string &value) {
    bool bWritten = false;
    InNamespace(HOST, [&] {
        std::ofstream file("/proc/sys/" + name);
        file << value << "\n";
        file.flush();
        bWritten = static_cast<bool>(file);
    });
    EXPECT_TRUE(bWritten) << "cannot set " << name;
}

// netem delays and drops on the way out of both ends. Without it, a
// lossy_path program in each namespace takes the packets coming in: held
// there, they no longer count against their sender's socket.
std::string FaultTest::SlowPath(int nDelayMs, int nLossPct) {
    const std::string delay = std::to_string(nDelayMs) + "ms";
    const std::string loss = std::to_string(nLossPct) + "%";
    bool bNetem = false;
    InNamespace(HOST, [&] {
        std::string output;
        bNetem = run_tool({"tc", "qdisc", "add", "dev", m_veth[HOST], "root", "netem", "delay",
                           delay, "loss", loss},
                          &output) == 0;
    });
    if (bNetem) {
        Tool(SERVER, {"tc", "qdisc", "add", "dev", m_veth[SERVER], "root", "netem", "delay", delay,
                      "loss", loss});
        return "netem";
    }
    for (Side side : {HOST, SERVER}) {
        ChildProcess *queue = StartHelper(
            side, LOSSY_PATH_PATH,
            {"--queue", std::to_string(QUEUE_NUMBER), "--delay-ms", std::to_string(nDelayMs),
             "--loss-pct", std::to_string(nLossPct), "--seed", std::to_string(18 + side)});
        EXPECT_TRUE(queue->WaitForLine("ready", TOOL_WAIT_MS)) << queue->Output();
        m_queues.push_back(queue);
        Tool(side, {"iptables", "-I", "INPUT", "-i", m_veth[side], "-j", "NFQUEUE", "--queue-num",
                    std::to_string(QUEUE_NUMBER)});
    }
    return "packet-filter queue";
}

std::string FaultTest::StopSlowPath() {
    std::string counts;
    for (size_t i = 0; i < m_queues.size(); ++i) {
        Side side = i == 0 ? HOST : SERVER;
        Tool(side, {"iptables", "-F", "INPUT"});
        m_queues[i]->Terminate();
        m_queues[i]->Wait(TOOL_WAIT_MS);
        const std::string prefix = "lossy_path: ";
        std::string line;
        EXPECT_TRUE(m_queues[i]->WaitForLine(prefix, 0, &line)) << m_queues[i]->Output();
        counts += std::string(counts.empty() ? "" : "; ") +
                  (side == HOST ? "to host " : "to server ") +
                  (line.empty() ? "?" : line.substr(prefix.size()));
    }
    m_queues.clear();
    return counts;
}

// ---- Helper processes and servers ------------------------------------------------

ChildProcess *FaultTest::StartHelper(Side side, const std::string &program,
                                     const std::vector<std::string> &args) {
    m_helpers.push_back(std::make_unique<ChildProcess>());
    ChildProcess *helper = m_helpers.back().get();
    bool bStarted = false;
    InNamespace(side, [&] { bStarted = helper->Start(program, args); });
    EXPECT_TRUE(bStarted) << program << ": " << helper->Error();
    return helper;
}

void FaultTest::StopHelpers() {
    for (auto &helper : m_helpers) {
        if (helper->Running()) {
            kill(helper->Pid(), SIGCONT); // a frozen one takes its stop request too
            helper->Terminate();
            helper->Wait(TOOL_WAIT_MS);
        }
    }
    m_helpers.clear();
    m_queues.clear();
    m_sampleServer = nullptr;
}

void FaultTest::StartServerThere() {
    m_server.SetListenAddress(SERVER_ADDRESS);
    bool bStarted = false;
    InNamespace(SERVER, [&] { bStarted = m_server.Start(); });
    ASSERT_TRUE(bStarted) << m_server.Error();
}

uint16_t FaultTest::StartSampleServer(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"--bind", SERVER_ADDRESS, "--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    m_sampleServer = StartHelper(SERVER, SAMPLE_SERVER_PATH, all);
    std::string line;
    const std::string prefix = std::string("listening on ") + SERVER_ADDRESS + ":";
    if (!m_sampleServer->WaitForLine(prefix, TOOL_WAIT_MS, &line)) {
        ADD_FAILURE() << "the sample server did not listen: " << m_sampleServer->Output();
        return 0;
    }
    return static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
}

uint16_t FaultTest::ListenWithoutAccepting() {
    std::string error;
    InNamespace(SERVER, [&] {
        m_fdSilent = testkit::OpenTcpSocket(true);
        // Its connections take this little before their window closes.
        testkit::SetReceiveBuffer(m_fdSilent, 4096);
        if (!testkit::ListenOn(m_fdSilent, SERVER_ADDRESS, 0, 16, &error))
            ADD_FAILURE() << error;
    });
    return testkit::BoundPort(m_fdSilent);
}

// ---- The relay ---------------------------------------------------------------------

testkit::ThunkConfig FaultTest::FaultConfig(uint16_t nPort, const LinkKeys &keys) const {
    testkit::ThunkConfig config = testkit::ThunkConfig::Connecting(nPort);
    config.ip = SERVER_ADDRESS;
    config.tryInterval = std::to_string(INTERVAL_MS);
    config.checkInterval = std::to_string(INTERVAL_MS);
    add_link_keys(&config, keys);
    return config;
}

void FaultTest::StartRelay(const testkit::ThunkConfig &config) {
    ASSERT_TRUE(m_host.Prepare(config)) << m_host.Error();
    bool bStarted = false;
    InNamespace(HOST, [&] { bStarted = m_host.StartHost(); });
    ASSERT_TRUE(bStarted) << m_host.Error();
    m_bLaunched = true;
    ASSERT_EQ("@setfunc", Cmd("setfunc 1003"));
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
}

bool FaultTest::WaitLinkUp(int nTimeoutMs) {
    std::string line;
    return m_host.Host().WaitForLine("@L ", nTimeoutMs, &line) && line == "@L 1 0";
}

LinkEnd FaultTest::WaitLinkEnd(Clock::time_point since, int nTimeoutMs) {
    LinkEnd end;
    auto deadline = since + std::chrono::milliseconds(nTimeoutMs);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::string line;
    if (m_host.Host().WaitForLine("@L 0 ", static_cast<int>(std::max<long>(0, left.count())),
                                  &line)) {
        end.bEnded = true;
        end.seconds = seconds_since(since);
        end.nCode = std::stoi(line.substr(5));
    }
    return end;
}

std::vector<int> FaultTest::LinkEndCodes() {
    std::vector<int> codes;
    for (const std::string &line : m_host.Host().Lines())
        if (line.compare(0, 5, "@L 0 ") == 0)
            codes.push_back(std::stoi(line.substr(5)));
    return codes;
}

void FaultTest::Send(const std::string &command) {
    ASSERT_TRUE(m_host.Host().WriteLine(command));
}

std::string FaultTest::Answer(const std::string &prefix, int nTimeoutMs) {
    std::string line;
    m_host.Host().WaitForLine(prefix, nTimeoutMs, &line);
    return line;
}

std::vector<KernelSocket> FaultTest::SocketsTo(uint16_t nPort) {
    std::vector<KernelSocket> sockets;
    const std::string peer = proc_endpoint(SERVER_ADDRESS, nPort);
    InNamespace(HOST, [&] {
        // Of this thread, which is in the host's namespace.
        std::ifstream table("/proc/thread-self/net/tcp");
        std::string line;
        std::getline(table, line); // the heading
        while (std::getline(table, line)) {
            std::istringstream in(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            in >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (remote != peer)
                continue;
            KernelSocket entry;
            entry.nState = std::stoi(state, nullptr, 16);
            entry.nQueued = static_cast<uint32_t>(std::stoul(queues.substr(0, 8), nullptr, 16));
            entry.bOrphan = inode == 0;
            sockets.push_back(entry);
        }
    });
    return sockets;
}

// ---- Streams ---------------------------------------------------------------------

std::string FaultTest::CheckEchoes(uint32_t nCount, uint32_t nSize) {
    uint32_t nNext = 0;
    for (const std::string &line : m_host.Host().Lines()) {
        DataLine data;
        if (!parse_data_line(line, &data))
            continue;
        if (nNext >= nCount || data.id != 0 || data.size != nSize ||
            data.preview != data_preview(flood_payload(0, nNext, nSize)))
            return "echo " + std::to_string(nNext) + " is wrong: " + line.substr(0, 120);
        ++nNext;
    }
    if (nNext != nCount)
        return std::to_string(nNext) + " of " + std::to_string(nCount) + " echoes arrived";
    return std::string();
}

size_t FaultTest::DataArrivals() const {
    size_t n = 0;
    for (const testkit::WirePacket &packet : m_server.Packets())
        n += packet.type == 'D';
    return n;
}

std::string FaultTest::CheckArrivals(uint32_t nCount, uint32_t nSize) {
    std::vector<testkit::ConnectionRecord> connections = m_server.Connections();
    if (connections.size() != 1)
        return std::to_string(connections.size()) + " connections instead of one";
    std::map<uint32_t, size_t> perThread;
    std::string error = check_flood_stream(connections, 1, nSize, &perThread);
    if (error.empty() && perThread[0] != nCount)
        error = std::to_string(perThread[0]) + " of " + std::to_string(nCount) + " arrived";
    return error;
}
