// sample_host: a small game-server host for the relay module. It loads the
// module at run time and looks up its five exports, as a real host does, and
// never links the relay.
//
// Default mode (for people): send a few "D" messages and print what comes
// back. --script: read commands from stdin and answer each with a line
// starting with "@", for tests and experiments (see --help).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DEZuzovEzodid.h"
#include "host_script.h"
#include "relay_module.h"
#include "wire.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

typedef std::chrono::steady_clock Clock;

const size_t MAX_BUFFER = 16u << 20; // largest buffer the script allocates
const int FAULT_HANDLED_STATUS = 77; // exit status set by the crash handler
const char FAULT_HANDLED_LINE[] = "@fault-handled\n";

// ---- Platform ------------------------------------------------------------------

#if defined(_WIN32)

const char MODULE_FILE_NAME[] = "DEZuzovEzodid.dll";

long WriteOut(const char *data, size_t n) {
    return _write(1, data, static_cast<unsigned>(n));
}

bool StdoutIsTerminal() {
    return _isatty(1) != 0;
}

// Holding descriptors is for tests of POSIX descriptor numbers only.
std::string HoldDescriptors(uint32_t /*nFds*/) {
    return "@error fds is not available on this platform";
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS * /*info*/) {
    _write(1, FAULT_HANDLED_LINE, sizeof FAULT_HANDLED_LINE - 1);
    ExitProcess(FAULT_HANDLED_STATUS);
    return EXCEPTION_CONTINUE_SEARCH;
}

// A crash handler as game servers install one to write a crash dump.
void InstallCrashHandler() {
    SetUnhandledExceptionFilter(OnUnhandledException);
}

// A page that any access faults on.
volatile int *UnmappedAddress() {
    return static_cast<volatile int *>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS));
}

#else

const char MODULE_FILE_NAME[] = "DEZuzovEzodid.so";

long WriteOut(const char *data, size_t n) {
    return write(1, data, n);
}

bool StdoutIsTerminal() {
    return isatty(1) != 0;
}

// Descriptors held open by "fds", so that the relay's own get high numbers.
std::vector<int> g_heldFds;

// Raises the soft descriptor limit so that n more descriptors fit.
void MakeRoomForDescriptors(size_t n) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    rlim_t wanted = static_cast<rlim_t>(n) + 256;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Holds exactly nFds extra descriptors open: opens more or closes some.
std::string HoldDescriptors(uint32_t nFds) {
    MakeRoomForDescriptors(nFds);
    while (g_heldFds.size() > nFds) {
        close(g_heldFds.back());
        g_heldFds.pop_back();
    }
    while (g_heldFds.size() < nFds) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        g_heldFds.push_back(fd);
    }
    std::string highest = "-";
    if (!g_heldFds.empty())
        highest = std::to_string(*std::max_element(g_heldFds.begin(), g_heldFds.end()));
    return "@fds " + std::to_string(g_heldFds.size()) + " " + highest;
}

void OnFault(int /*nSignal*/) {
    ssize_t n = write(1, FAULT_HANDLED_LINE, sizeof FAULT_HANDLED_LINE - 1);
    (void)n;
    _exit(FAULT_HANDLED_STATUS);
}

// A crash handler as game servers install one to write a crash dump.
void InstallCrashHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnFault;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
}

// A page that any access faults on.
volatile int *UnmappedAddress() {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<volatile int *>(page);
}

#endif

// ---- The module --------------------------------------------------------------

// The module file beside this executable.
std::string DefaultModulePath(const char *argv0) {
    std::string self = testkit::ExecutablePath();
    if (self.empty())
        self = argv0;
    size_t slash = self.find_last_of("/\\");
    return slash == std::string::npos ? std::string("./") + MODULE_FILE_NAME
                                      : self.substr(0, slash + 1) + MODULE_FILE_NAME;
}

// ---- Output --------------------------------------------------------------------
// Callbacks print from the relay's thread, so lines are serialised. Each goes
// out in one write, past stdio, so that it never mixes with the pieces of a
// console line the relay is writing through stdio at the same moment.

std::mutex g_outMutex;

void WriteAll(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        long n = WriteOut(text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            return;
    }
}

void PrintLine(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    WriteAll(line + "\n");
}

testkit::RelayModule g_module;

// ---- Script mode -----------------------------------------------------------------

RecvFunc g_pfRec = nullptr;
std::atomic<bool> g_bEcho{false};
std::atomic<uint32_t> g_nStallMs{0};             // the next D callback waits this long
std::atomic<volatile int *> g_pFaultAt{nullptr}; // the next D callback writes here
const unsigned char kNoData[1] = {0};

// The longest sh_recv call since the last "maxrecv", and the number of calls.
std::atomic<uint64_t> g_nRecvMaxUs{0};
std::atomic<uint64_t> g_nRecvCalls{0};

int32_t TimedRecv(unsigned char type, uint32_t nId, const unsigned char *pData, int32_t nSize) {
    Clock::time_point t0 = Clock::now();
    int32_t rc = g_module.recv(type, nId, pData, nSize);
    uint64_t us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
    uint64_t nLongest = g_nRecvMaxUs.load();
    while (us > nLongest && !g_nRecvMaxUs.compare_exchange_weak(nLongest, us)) {
    }
    g_nRecvCalls.fetch_add(1);
    return rc;
}

std::string DoMaxRecv() {
    uint64_t nCalls = g_nRecvCalls.exchange(0);
    return "@maxrecv " + std::to_string(g_nRecvMaxUs.exchange(0)) + " " + std::to_string(nCalls);
}

extern "C" {

static void DEZ_CALL ScriptSend(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    PrintLine("@D " + std::to_string(nId) + " " + std::to_string(nSize) + " " +
              host::DataPreview(pData, nSize));
    if (volatile int *pFault = g_pFaultAt.exchange(nullptr))
        *pFault = 1;
    if (uint32_t nMs = g_nStallMs.exchange(0))
        std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
    if (g_bEcho.load())
        TimedRecv('D', nId, pData, nSize);
}

static void DEZ_CALL ScriptK(uint32_t nId, uint32_t nValue) {
    PrintLine("@K " + std::to_string(nId) + " " + std::to_string(nValue));
}

static void DEZ_CALL ScriptLink(int32_t nState, int32_t nCode) {
    PrintLine("@L " + std::to_string(nState) + " " + std::to_string(nCode));
}

} // extern "C"

const unsigned char *DataPointer(const std::vector<unsigned char> &data) {
    return data.empty() ? kNoData : data.data();
}

std::string DoStart(const host::ScriptCommand &cmd, bool *pbRunning) {
    g_pfRec = nullptr;
    int32_t rc =
        g_module.load_start(cmd.bNoSend ? nullptr : ScriptSend, cmd.bNullRec ? nullptr : &g_pfRec);
    if (rc == DEZ_START_OK)
        *pbRunning = true;
    return "@start " + std::to_string(rc) + " pfrec=" + (g_pfRec != nullptr ? "1" : "0");
}

std::string DoSetFunc(const host::ScriptCommand &cmd) {
    void *pfn = cmd.nCode == DEZ_FUNC_LINK_STATE ? reinterpret_cast<void *>(&ScriptLink)
                                                 : reinterpret_cast<void *>(&ScriptK);
    g_module.setfunc(cmd.bNullFn ? nullptr : pfn, cmd.nCode);
    return "@setfunc";
}

std::string DoFault() {
    volatile int *pAddress = UnmappedAddress();
    if (pAddress == nullptr)
        return "@error no unmapped page";
    InstallCrashHandler();
    g_pFaultAt = pAddress;
    return "@fault";
}

// Unloads the module and loads it again, as a host that reloads its relay.
std::string DoReload(bool bRunning, const std::string &modulePath) {
    if (bRunning)
        return "@error reload needs a stopped relay";
    g_module.Unload();
    g_pfRec = nullptr;
    std::string error;
    if (!g_module.Load(modulePath, &error))
        return "@error " + error;
    return "@reload";
}

std::string DoExit(bool *pbRunning) {
    Clock::time_point t0 = Clock::now();
    g_module.load_exit();
    *pbRunning = false;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    return "@exit " + std::to_string(ms.count());
}

// A payload of len bytes with byte i = i & 0xff. Lengths above MAX_BUFFER get
// a MAX_BUFFER buffer: the relay refuses such sizes without reading them.
std::string DoSendN(const host::ScriptCommand &cmd) {
    size_t n = cmd.nLen > 0 ? std::min(static_cast<size_t>(cmd.nLen), MAX_BUFFER) : 0;
    std::vector<unsigned char> data = host::PatternPayload(n);
    int32_t rc = TimedRecv(cmd.type, cmd.nId, DataPointer(data), cmd.nLen);
    return "@send " + std::to_string(rc);
}

std::string DoGetData(const host::ScriptCommand &cmd) {
    std::vector<unsigned char> buf(std::min(static_cast<size_t>(cmd.nBufSize), MAX_BUFFER) + 1);
    unsigned char type = 0;
    uint32_t nId = 0xFFFFFFFFu;
    uint32_t nLen = 0xFFFFFFFFu;
    int32_t rc = g_module.getdata(buf.data(), cmd.nBufSize, &type, &nId, &nLen);
    std::string hex = "-";
    if (rc == DEZ_GETDATA_OK && nLen > 0)
        hex = testkit::ToHex(buf.data(), std::min(static_cast<size_t>(nLen), buf.size()));
    return "@getdata " + std::to_string(rc) + " " + host::TypeText(type) + " " +
           std::to_string(nId) + " " + std::to_string(nLen) + " " + hex;
}

// Threads send count "D" packets each through sh_recv; a payload starts with
// the thread index and the sequence number, and the id is the thread index.
std::string DoFlood(const host::ScriptCommand &cmd) {
    std::atomic<uint32_t> nOk{0};
    std::atomic<uint32_t> nRefused{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < cmd.nThreads; ++t) {
        threads.emplace_back([&cmd, &nOk, &nRefused, t] {
            std::vector<unsigned char> data = host::PatternPayload(cmd.nSize);
            for (uint32_t seq = 0; seq < cmd.nCount; ++seq) {
                for (int i = 0; i < 4; ++i) {
                    data[i] = static_cast<unsigned char>(t >> (8 * i));
                    data[4 + i] = static_cast<unsigned char>(seq >> (8 * i));
                }
                int32_t rc = TimedRecv('D', t, data.data(), static_cast<int32_t>(cmd.nSize));
                (rc == 0 ? nOk : nRefused).fetch_add(1);
                if (cmd.nPauseUs > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(cmd.nPauseUs));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return "@flood " + std::to_string(nOk.load()) + " " + std::to_string(nRefused.load());
}

// Rounds of start, hold, exit, as a host that reloads its relay often does.
std::string DoCycle(const host::ScriptCommand &cmd, bool bRunning) {
    if (bRunning)
        return "@error cycle needs a stopped relay";
    uint32_t nStarted = 0;
    uint32_t nRefused = 0;
    for (uint32_t i = 0; i < cmd.nCount; ++i) {
        RecvFunc pfRec = nullptr;
        int32_t rc = g_module.load_start(ScriptSend, &pfRec);
        (rc == DEZ_START_OK ? nStarted : nRefused) += 1;
        if (cmd.nMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(cmd.nMs));
        g_module.load_exit();
    }
    return "@cycle " + std::to_string(nStarted) + " " + std::to_string(nRefused);
}

std::string Execute(const host::ScriptCommand &cmd, bool *pbRunning,
                    const std::string &modulePath) {
    switch (cmd.op) {
    case host::ScriptOp::START:
        return DoStart(cmd, pbRunning);
    case host::ScriptOp::EXIT:
        return DoExit(pbRunning);
    case host::ScriptOp::SETFUNC:
        return DoSetFunc(cmd);
    case host::ScriptOp::SEND:
        return "@send " + std::to_string(TimedRecv(cmd.type, cmd.nId, DataPointer(cmd.data),
                                                   static_cast<int32_t>(cmd.data.size())));
    case host::ScriptOp::REC:
        if (g_pfRec == nullptr)
            return "@rec nofunc";
        return "@rec " + std::to_string(g_pfRec(cmd.type, cmd.nId, DataPointer(cmd.data),
                                                static_cast<int32_t>(cmd.data.size())));
    case host::ScriptOp::SENDN:
        return DoSendN(cmd);
    case host::ScriptOp::SENDNULL:
        return "@send " + std::to_string(TimedRecv('D', 1, nullptr, cmd.nLen));
    case host::ScriptOp::GETDATA:
        return DoGetData(cmd);
    case host::ScriptOp::GETDATA_NULL:
        return "@getdata " +
               std::to_string(g_module.getdata(nullptr, 0, nullptr, nullptr, nullptr));
    case host::ScriptOp::ECHO:
        g_bEcho = cmd.bEchoOn;
        return cmd.bEchoOn ? "@echo on" : "@echo off";
    case host::ScriptOp::FLOOD:
        return DoFlood(cmd);
    case host::ScriptOp::MAXRECV:
        return DoMaxRecv();
    case host::ScriptOp::SLEEP:
        std::this_thread::sleep_for(std::chrono::milliseconds(cmd.nMs));
        return "@slept";
    case host::ScriptOp::FDS:
        return HoldDescriptors(cmd.nFds);
    case host::ScriptOp::CYCLE:
        return DoCycle(cmd, *pbRunning);
    case host::ScriptOp::STALL:
        g_nStallMs = cmd.nMs;
        return "@stall";
    case host::ScriptOp::FAULT:
        return DoFault();
    case host::ScriptOp::RELOAD:
        return DoReload(*pbRunning, modulePath);
    case host::ScriptOp::QUIT:
        break;
    }
    return "@error unhandled command";
}

int RunScript(const std::string &modulePath) {
    bool bRunning = false; // a start succeeded and no exit followed
    bool bStop = true;     // quit stops the relay and unloads the module
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        host::ScriptCommand cmd;
        std::string error;
        if (!host::ParseScriptCommand(line, &cmd, &error)) {
            PrintLine("@error " + error);
            continue;
        }
        if (cmd.op == host::ScriptOp::QUIT) {
            bStop = !cmd.bNoStop;
            break;
        }
        PrintLine(Execute(cmd, &bRunning, modulePath));
    }
    // The relay's threads run code of the module: stop them before unloading.
    // A host that ends without either leaves the relay to the process's exit.
    if (bStop) {
        if (bRunning)
            g_module.load_exit();
        g_module.Unload();
    }
    PrintLine("@quit");
    return 0;
}

// ---- Default mode --------------------------------------------------------------

struct Demo {
    bool bTty = false;
    uint32_t nCount = 0;
    std::atomic<uint32_t> nSent{0};
    std::atomic<uint32_t> nReceivedD{0};
    std::atomic<uint32_t> nReceivedK{0};
    std::atomic<bool> bLinkUp{false};
    std::atomic<bool> bDone{false}; // no progress line after the summary
};

Demo g_demo;

std::string ProgressText() {
    return "sent " + std::to_string(g_demo.nSent.load()) + "/" + std::to_string(g_demo.nCount) +
           ", received " + std::to_string(g_demo.nReceivedD.load()) + " D, " +
           std::to_string(g_demo.nReceivedK.load()) + " K";
}

// On a terminal the last line is a live progress line that events print over.
void PrintEvent(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    if (g_demo.bTty)
        WriteAll("\r\x1b[K" + text + "\n" + (g_demo.bDone ? std::string() : ProgressText()));
    else
        WriteAll(text + "\n");
}

void ShowProgress() {
    if (!g_demo.bTty)
        return;
    std::lock_guard<std::mutex> lock(g_outMutex);
    WriteAll("\r\x1b[K" + ProgressText());
}

std::string Printable(const unsigned char *pData, int32_t nSize) {
    if (nSize <= 0 || pData == nullptr)
        return "(no data)";
    std::string text(reinterpret_cast<const char *>(pData), static_cast<size_t>(nSize));
    for (char c : text) {
        if (c < ' ' || c > '~')
            return host::DataPreview(pData, nSize);
    }
    return "\"" + text + "\"";
}

extern "C" {

static void DEZ_CALL DemoSend(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    if (nId == 0) { // a probe coming back
        if (!g_demo.bLinkUp.exchange(true))
            PrintEvent("the server answered: messages flow");
        return;
    }
    g_demo.nReceivedD.fetch_add(1);
    PrintEvent("received D id=" + std::to_string(nId) + " size=" + std::to_string(nSize) + " " +
               Printable(pData, nSize));
}

static void DEZ_CALL DemoK(uint32_t nId, uint32_t nValue) {
    g_demo.nReceivedK.fetch_add(1);
    PrintEvent("received K id=" + std::to_string(nId) + " value=" + std::to_string(nValue));
}

static void DEZ_CALL DemoLink(int32_t nState, int32_t nCode) {
    PrintEvent(nState == DEZ_LINK_UP
                   ? std::string("the link to the server is up")
                   : "the link to the server went down (" + std::to_string(nCode) + ")");
}

} // extern "C"

struct DemoOptions {
    uint32_t nCount = 10;
    uint32_t nIntervalMs = 200;
    uint32_t nWaitMs = 5000;
    uint32_t nDurationS = 60;
};

const char *StartResultText(int32_t rc) {
    switch (rc) {
    case DEZ_START_FAILED:
        return "configuration unreadable, or no monitor thread";
    case DEZ_START_NOT_ENABLED:
        return "GameThunkServer_Start is not 1 in QVThunkConfig.xml";
    case DEZ_START_RUNNING:
        return "a relay is already running";
    case DEZ_START_NO_MEMORY:
        return "the relay object could not be created";
    default:
        return "unexpected result";
    }
}

// The relay connects on its own; the link-state function tells when the link
// is up, but not that the server answers, so a probe (id 0, "ping") goes out
// every 500 ms until one comes back or time is up.
void WaitForLink(RecvFunc pfRec, const DemoOptions &opt, Clock::time_point end) {
    static const unsigned char kPing[] = {'p', 'i', 'n', 'g'};
    Clock::time_point until = std::min(end, Clock::now() + std::chrono::milliseconds(opt.nWaitMs));
    while (!g_demo.bLinkUp && Clock::now() < until) {
        pfRec('D', 0, kPing, sizeof kPing);
        for (int i = 0; i < 10 && !g_demo.bLinkUp; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!g_demo.bLinkUp)
        PrintEvent("no answer from the server within " + std::to_string(opt.nWaitMs) +
                   " ms; sending anyway");
}

// Sends the messages; returns how many the relay refused.
uint32_t SendMessages(RecvFunc pfRec, const DemoOptions &opt, Clock::time_point end) {
    uint32_t nRefused = 0;
    for (uint32_t i = 1; i <= opt.nCount && Clock::now() < end; ++i) {
        std::string text = "hello " + std::to_string(i);
        int32_t rc = pfRec('D', i, reinterpret_cast<const unsigned char *>(text.data()),
                           static_cast<int32_t>(text.size()));
        if (rc != 0) {
            ++nRefused;
            PrintEvent("the relay refused message " + std::to_string(i) + " (" +
                       std::to_string(rc) + ")");
        }
        g_demo.nSent.fetch_add(1);
        ShowProgress();
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.nIntervalMs));
    }
    return nRefused;
}

int RunDemo(const DemoOptions &opt, const std::string &modulePath) {
    g_demo.bTty = StdoutIsTerminal();
    g_demo.nCount = opt.nCount;
    Clock::time_point end = Clock::now() + std::chrono::seconds(opt.nDurationS);
    PrintEvent("loaded " + modulePath);
    g_module.setfunc(reinterpret_cast<void *>(&DemoK), DEZ_FUNC_K_MESSAGE);
    g_module.setfunc(reinterpret_cast<void *>(&DemoLink), DEZ_FUNC_LINK_STATE);
    RecvFunc pfRec = nullptr;
    int32_t rc = g_module.load_start(DemoSend, &pfRec);
    if (rc != DEZ_START_OK || pfRec == nullptr) {
        std::fprintf(stderr, "sample_host: sh_load_start returned %d: %s\n", static_cast<int>(rc),
                     rc == DEZ_START_OK ? "no receive function handed back" : StartResultText(rc));
        if (rc == DEZ_START_OK || rc == DEZ_START_FAILED)
            g_module.load_exit(); // a relay object may exist: stop it before unloading
        g_module.Unload();
        return 1;
    }
    PrintEvent("relay started; waiting for the link");
    WaitForLink(pfRec, opt, end);
    uint32_t nRefused = SendMessages(pfRec, opt, end);
    // Give the answers time to come back; less when the server never answered.
    std::chrono::milliseconds lingerMs(g_demo.bLinkUp ? 3000 : 500);
    Clock::time_point linger = std::min(end, Clock::now() + lingerMs);
    while (g_demo.nReceivedD < g_demo.nSent && Clock::now() < linger)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Clock::time_point t0 = Clock::now();
    g_module.load_exit();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    g_module.Unload();
    g_demo.bDone = true;
    PrintEvent("stopped in " + std::to_string(ms.count()) + " ms; " + ProgressText() +
               (nRefused ? ", " + std::to_string(nRefused) + " refused" : std::string()));
    return nRefused == 0 ? 0 : 1;
}

// ---- Command line ------------------------------------------------------------

void PrintUsage() {
    std::printf(
        "usage: sample_host [--module PATH] [--count N] [--interval MS] [--wait MS]\n"
        "                   [--duration S]\n"
        "       sample_host [--module PATH] --script\n"
        "       sample_host --help | --version\n"
        "\n"
        "Loads the relay module, as a game server does, and exchanges messages with the\n"
        "server named in QVThunkConfig.xml beside this executable.\n"
        "\n"
        "  --module PATH   the module to load (default: %s beside this program)\n"
        "  --count N       \"D\" messages to send, \"hello 1\" ... (default 10)\n"
        "  --interval MS   pause after each message (default 200)\n"
        "  --wait MS       how long to wait for the link before sending (default 5000)\n"
        "  --duration S    upper bound of the whole run (default 60)\n"
        "  --script        read commands from stdin instead (below)\n"
        "  --help          this text\n"
        "  --version       the version\n"
        "\n"
        "Exit status: 0 when the run went through; 1 when the relay did not start or\n"
        "refused a message; 2 when the module cannot be loaded or the command line is bad.\n"
        "\n%s",
        MODULE_FILE_NAME, host::SCRIPT_HELP);
}

bool ParseNumber(const char *text, uint32_t *pValue) {
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFul)
        return false;
    *pValue = static_cast<uint32_t>(value);
    return true;
}

int UsageError(const std::string &text) {
    std::fprintf(stderr, "sample_host: %s (see --help)\n", text.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string modulePath = DefaultModulePath(argv[0]);
    bool bScript = false;
    DemoOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage();
            return 0;
        }
        if (arg == "--version") {
            std::printf("sample_host " RELAY_VERSION "\n");
            return 0;
        }
        if (arg == "--script") {
            bScript = true;
            continue;
        }
        if (i + 1 >= argc)
            return UsageError("unknown option or missing value: " + arg);
        const char *value = argv[++i];
        bool bOk = true;
        if (arg == "--module")
            modulePath = value;
        else if (arg == "--count")
            bOk = ParseNumber(value, &opt.nCount);
        else if (arg == "--interval")
            bOk = ParseNumber(value, &opt.nIntervalMs);
        else if (arg == "--wait")
            bOk = ParseNumber(value, &opt.nWaitMs);
        else if (arg == "--duration")
            bOk = ParseNumber(value, &opt.nDurationS);
        else
            return UsageError("unknown option " + arg);
        if (!bOk)
            return UsageError("bad value for " + arg + ": " + value);
    }
    std::string error;
    if (!g_module.Load(modulePath, &error)) {
        std::fprintf(stderr, "sample_host: %s\n", error.c_str());
        return 2;
    }
    return bScript ? RunScript(modulePath) : RunDemo(opt, modulePath);
}
