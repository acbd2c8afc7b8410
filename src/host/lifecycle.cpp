// The exported operations: start, stop, callback registration, and the
// process-wide state behind them.
#include <cstdint>
#include <iomanip>
#include <new>
#include <vector>

#include "config/config.h"
#include "host/globals.h"
#include "host/paths.h"
#include "relay/game_server_thunk.h"

int32_t g_nNum = 0;
uint32_t g_nPid = 0;
std::atomic<GameServerThunk *> g_pThunk(nullptr);
bool g_bGameThunkServerStart = false;
plat::Thread *g_hMonitorThread = nullptr;
std::atomic<SendFunc> g_pfSend(nullptr);
std::atomic<void *> g_pfFunc1001(nullptr);
std::atomic<Func1002> g_pfFunc1002(nullptr);
std::atomic<Func1003> g_pfFunc1003(nullptr);

// The host side as the relay object sees it.
static const RelayHost RELAY_HOST = {&g_pfSend, &g_pfFunc1002, &g_pfFunc1003, config_file_copy};

int read_xml_global(std::string path) {
    RelayConfig config;
    if (read_config_file(path, &config) < 0)
        return -1;
    g_bGameThunkServerStart = config.start.value;
    return 0;
}

namespace {

// The monitor thread: the loop of the relay object it is given, on the
// configuration path of the moment it starts.
unsigned MonitorThreadProc(void *param) {
    GameServerThunk *thunk = static_cast<GameServerThunk *>(param);
    try {
        thunk->run(config_file_copy());
    } catch (...) {
        // Nothing may escape into the host's process.
    }
    return 1;
}

// A relay object that sh_load_exit could not free because one of its threads
// had not ended within its wait, with its monitor thread's handle.
struct StoppedRelay {
    GameServerThunk *thunk;
    plat::Thread *monitor;
};

// Frees the object and the monitor's handle once both relay threads have
// ended; the waits for their ends order everything they did before this.
bool try_free(const StoppedRelay &stopped) {
    if (!stopped.thunk->ThreadsEnded(stopped.monitor))
        return false;
    delete stopped.thunk;
    plat::thread_release(stopped.monitor);
    return true;
}

// Relay objects kept after their stop. Touched only by the host's start and
// stop calls, which it never makes at the same time, and at unloading.
class StoppedRelays {
public:
    // At unloading (or process exit) whatever has ended since is freed.
    ~StoppedRelays() { Reap(); }
    void Add(const StoppedRelay &stopped) { m_relays.push_back(stopped); }
    void Reap() {
        for (size_t i = 0; i < m_relays.size();) {
            if (try_free(m_relays[i]))
                m_relays.erase(m_relays.begin() + static_cast<std::ptrdiff_t>(i));
            else
                ++i;
        }
    }

private:
    std::vector<StoppedRelay> m_relays;
};

StoppedRelays *g_pStoppedRelays = nullptr;

// Made on the first stop that leaves an object behind, after everything a
// relay object uses has been made, so it is destroyed before any of that.
StoppedRelays &stopped_relays() {
    static StoppedRelays s_relays;
    g_pStoppedRelays = &s_relays;
    return s_relays;
}

void reap_stopped_relays() {
    if (g_pStoppedRelays)
        g_pStoppedRelays->Reap();
}

// Function addresses in the log are lowercase hexadecimal without prefix.
template <class F> uintptr_t address_of(F fn) {
    return reinterpret_cast<uintptr_t>(fn);
}

void log_start_entry(SendFunc pfSend, RecvFunc rec) {
    write_log_line(LogLine() << "> In sh_load_start: pfSend=" << std::hex << std::setw(8)
                             << address_of(pfSend) << ",pfRec=" << address_of(rec) << "    "
                             << RELAY_VERSION);
    char path[PATH_BUFFER_SIZE] = {0};
    plat::exe_path(path, PATH_BUFFER_SIZE - 1);
    write_log_line(LogLine() << "> g_nNum:" << g_nNum << ",File: " << path);
}

// Creates the object and its monitor thread; the start result.
int32_t start_relay(SendFunc pfSend) {
    GameServerThunk *thunk = new (std::nothrow) GameServerThunk(RELAY_HOST);
    if (!thunk) {
        write_log_line(LogLine() << ">New GameServerThunk Error");
        return DEZ_START_NO_MEMORY;
    }
    g_pThunk = thunk;
    // The host's receiver is in place before the first connection can deliver
    // to it; a start that fails puts the previous one back.
    SendFunc previous = g_pfSend.exchange(pfSend);
    g_hMonitorThread = plat::thread_start(MonitorThreadProc, thunk, "relay-monitor");
    if (!g_hMonitorThread) {
        g_pfSend = previous;
        write_log_line(LogLine() << ">GameServerThunk Create Moniter Thead Failed");
        return DEZ_START_FAILED;
    }
    return DEZ_START_OK;
}

} // namespace

int32_t relay_load_start(SendFunc pfSend, RecvFunc *ppfRec) {
    reap_stopped_relays();
    ++g_nNum;
    g_nPid = plat::process_id();
    set_pid_prefix(g_nPid);
    if (ppfRec)
        *ppfRec = pfRec;
    init_paths();
    log_start_entry(pfSend, ppfRec ? *ppfRec : pfRec);

    std::string configFile = config_file_copy();
    if (read_xml_global(configFile) < 0) {
        write_log_line(LogLine() << ">Read Config Err,File: " << configFile);
        return DEZ_START_FAILED;
    }
    write_log_line(LogLine() << "> In sh_load_start 2");
    if (!g_bGameThunkServerStart) {
        write_log_line(LogLine() << ">GameServerThunk No Load In Config File");
        return DEZ_START_NOT_ENABLED;
    }
    if (g_pThunk) {
        write_log_line(LogLine() << ">GameServerThunk Class Has Been Created");
        return DEZ_START_RUNNING;
    }
    int32_t result = start_relay(pfSend);
    if (result != DEZ_START_OK)
        return result;
    if (ppfRec)
        *ppfRec = pfRec;
    write_log_line(LogLine() << "> In sh_load_start 6," << std::hex << std::setw(8)
                             << address_of(&pfRec));
    return DEZ_START_OK;
}

void relay_load_exit() {
    write_log_line(LogLine() << "> In sh_load_exit");
    reap_stopped_relays();
    GameServerThunk *thunk = g_pThunk;
    if (thunk) {
        thunk->StopThreads(g_hMonitorThread);
        g_pThunk = nullptr;
        StoppedRelay stopped = {thunk, g_hMonitorThread};
        g_hMonitorThread = nullptr;
        // A thread that outlived its wait still uses the object: it is kept
        // until that thread has ended, and freed by a later call. That thread
        // still runs the module's code, so the module stays mapped even if the
        // host unloads it now.
        if (!try_free(stopped)) {
            stopped_relays().Add(stopped);
            plat::pin_module();
        }
    }
    write_log_line(LogLine() << "> In sh_load_exit end");
}

void relay_setfunc(void *pfn, int32_t nCode) {
    if (nCode == DEZ_FUNC_1001)
        g_pfFunc1001 = pfn;
    else if (nCode == DEZ_FUNC_K_MESSAGE)
        g_pfFunc1002 = reinterpret_cast<Func1002>(pfn);
    else if (nCode == DEZ_FUNC_LINK_STATE)
        g_pfFunc1003 = reinterpret_cast<Func1003>(pfn);
}

int32_t DEZ_CALL pfRec(unsigned char nType, uint32_t nId, const unsigned char *pBuf, int32_t nLen) {
    GameServerThunk *thunk = g_pThunk;
    if (!thunk)
        return DEZ_RECV_OK;
    return thunk->SendToServer(nType, nId, pBuf, nLen);
}

int32_t relay_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType, uint32_t *pId,
                      uint32_t *pLen) {
    GameServerThunk *thunk = g_pThunk;
    if (!thunk)
        return DEZ_GETDATA_NONE;
    return thunk->GetData(pData, nBuffLen, pType, pId, pLen);
}
