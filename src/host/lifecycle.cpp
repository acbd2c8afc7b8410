// The exported operations: start, stop, callback registration, and the
// process-wide state behind them.
#include <cstdint>
#include <iomanip>
#include <new>

#include "host/game_server_thunk.h"
#include "host/globals.h"
#include "host/paths.h"

int32_t g_nNum = 0;
uint32_t g_nPid = 0;
std::atomic<GameServerThunk *> g_pThunk(nullptr);
bool g_bGameThunkServerStart = false;
plat::Thread *g_hMonitorThread = nullptr;
std::atomic<SendFunc> g_pfSend(nullptr);
std::atomic<void *> g_pfFunc1001(nullptr);
std::atomic<Func1002> g_pfFunc1002(nullptr);

namespace {

// Function addresses in the log are lowercase hexadecimal without prefix.
template <class F> uintptr_t address_of(F fn) { return reinterpret_cast<uintptr_t>(fn); }

void log_start_entry(SendFunc pfSend, RecvFunc rec) {
    write_log_line(LogLine() << "> " << "In sh_load_start: pfSend=" << std::hex << std::setw(8)
                             << address_of(pfSend) << ",pfRec=" << address_of(rec) << "    "
                             << RELAY_VERSION);
    char path[PATH_BUFFER_SIZE] = {0};
    plat::exe_path(path, PATH_BUFFER_SIZE - 1);
    write_log_line(LogLine() << "> g_nNum:" << g_nNum << ",File: " << path);
}

// Creates the object and its monitor thread; the start result.
int32_t start_relay(SendFunc pfSend) {
    GameServerThunk *thunk = new (std::nothrow) GameServerThunk;
    if (!thunk) {
        write_log_line(LogLine() << ">" << "New GameServerThunk Error");
        return -103;
    }
    g_pThunk = thunk;
    plat::thread_release(g_hMonitorThread);
    // The host's receiver is in place before the first connection can deliver
    // to it; a start that fails puts the previous one back.
    SendFunc previous = g_pfSend.exchange(pfSend);
    g_hMonitorThread = thunk->StartMonitor();
    if (!g_hMonitorThread) {
        g_pfSend = previous;
        write_log_line(LogLine() << ">" << "GameServerThunk Create Moniter Thead Failed");
        return -1;
    }
    return 0;
}

} // namespace

int32_t relay_load_start(SendFunc pfSend, RecvFunc *ppfRec) {
    ++g_nNum;
    g_nPid = plat::process_id();
    set_pid_prefix(g_nPid);
    if (ppfRec)
        *ppfRec = pfRec;
    init_paths();
    log_start_entry(pfSend, ppfRec ? *ppfRec : pfRec);

    std::string configFile = config_file_copy();
    if (read_xml_global(configFile) < 0) {
        write_log_line(LogLine() << ">" << "Read Config Err,File: " << configFile);
        return -1;
    }
    write_log_line(LogLine() << "> In sh_load_start 2");
    if (!g_bGameThunkServerStart) {
        write_log_line(LogLine() << ">" << "GameServerThunk No Load In Config File");
        return -101;
    }
    if (g_pThunk) {
        write_log_line(LogLine() << ">" << "GameServerThunk Class Has Been Created");
        return -102;
    }
    int32_t result = start_relay(pfSend);
    if (result != 0)
        return result;
    if (ppfRec)
        *ppfRec = pfRec;
    write_log_line(LogLine() << "> In sh_load_start 6," << std::hex << std::setw(8)
                             << address_of(&pfRec));
    return 0;
}

void relay_load_exit() {
    write_log_line(LogLine() << "> In sh_load_exit");
    GameServerThunk *thunk = g_pThunk;
    if (thunk) {
        thunk->StopThreads();
        g_pThunk = nullptr;
        // Destroys the object now, or, if a relay thread outlived its wait,
        // when that thread ends.
        thunk->Release();
    }
    write_log_line(LogLine() << "> In sh_load_exit end");
}

void relay_setfunc(void *pfn, int32_t nCode) {
    if (nCode == DEZ_FUNC_1001)
        g_pfFunc1001 = pfn;
    else if (nCode == DEZ_FUNC_K_MESSAGE)
        g_pfFunc1002 = reinterpret_cast<Func1002>(pfn);
}

int32_t DEZ_CALL pfRec(unsigned char nType, uint32_t nId, const unsigned char *pBuf, int32_t nLen) {
    GameServerThunk *thunk = g_pThunk;
    if (!thunk)
        return 0;
    return thunk->SendToServer(nType, nId, pBuf, nLen);
}

int32_t relay_getdata(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                      uint32_t *pId, uint32_t *pLen) {
    GameServerThunk *thunk = g_pThunk;
    if (!thunk)
        return 1;
    return thunk->GetData(pData, nBuffLen, pType, pId, pLen);
}
