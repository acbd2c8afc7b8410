// The relay object: one per process, held in g_pThunk from sh_load_start to
// sh_load_exit. Its monitor thread connects, reconnects and sends
// keep-alives; one connection thread per open connection receives from the
// VOZevezu and calls the host.
//
// The member functions live with their concern: lifecycle and monitor in
// host/, log writers in log/, configuration readers in config/, message
// exchange and server link in relay/.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "host/globals.h"
#include "log/log.h"
#include "net/net.h"
#include "platform/platform.h"
#include "relay/msg_queue.h"
#include "relay/packet.h"

const char *const RELAY_VERSION = "2009/12/29";
const uint32_t MONITOR_PASS_MS = 1000;
const uint32_t STOP_WAIT_MS = 10000;
const uint32_t TO_GAME_QUEUE_SIZE = 1048576;
const uint32_t CONNECTION_WAIT_MS = 100;

class GameServerThunk {
public:
    GameServerThunk();
    ~GameServerThunk();
    GameServerThunk(const GameServerThunk &) = delete;
    GameServerThunk &operator=(const GameServerThunk &) = delete;

    // ---- Lifecycle and monitor (host/game_server_thunk.cpp) ----
    int Prepare();
    int StopThreads();
    int run(std::string configPath);
    // Starts the monitor thread; null when it cannot be created.
    plat::Thread *StartMonitor();
    // True once the given monitor thread and the connection thread have both
    // ended; does not wait.
    bool ThreadsEnded(plat::Thread *monitor);

    // ---- Log writers (log/thunk_log.cpp) ----
    void WriteLog(const LogLine &line);
    void WriteLogLimited(const LogLine &line);

    // ---- Configuration (config/config.cpp) ----
    int read_xml_config(std::string path);
    int read_xml_config_try_connection(std::string path);

    // ---- Message exchange (relay/exchange.cpp) ----
    int SendToServer(unsigned char type, uint32_t id, const void *data, int32_t size);
    void OnMsgD(const unsigned char *msg, uint32_t size);
    void OnMsgK(const unsigned char *msg, uint32_t size);
    int PushToGame(const unsigned char *msg, uint32_t size);
    int GetData(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType, uint32_t *pId,
                uint32_t *pLen);

    // ---- Server link (relay/link.cpp) ----
    int Connect();
    void DisConnect(int nCallFrom);
    void OnDisconnected();
    int connectting_thread();
    int ServeConnection(); // the connection thread's body

    // ---- Fields ----
    Net_TCPSocket *m_pSocket;
    Net_SocketSet *m_pSocketSet;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bStopLink;
    Net_Address m_ServerAddr;
    std::atomic<bool> m_bConsole;
    std::atomic<bool> m_bConnected;
    // On a cache line of its own: host threads take it for every message,
    // and the flags read before it must not share its line.
    alignas(64) plat::Lock m_csLink;
    uint32_t m_nCheckInterval;
    uint32_t m_nTryInterval;
    bool m_bLogConnectionError;
    plat::Lock m_csLog;
    std::unique_ptr<std::ofstream> m_pLogFile;
    alignas(64) unsigned char m_SendBuf[PACKET_MAX_OUT];
    std::atomic<int32_t> m_nLimitedLogCount;
    std::atomic<bool> m_bQueueMode;
    std::atomic<plat::Thread *> m_hConnThread;
    int32_t m_nConnResult;
    MsgQueue m_qToGame;
    std::atomic<bool> m_bToGameHasData;

    // Set together with m_bStop, so the monitor's sleep ends at once.
    plat::Event m_evStop;
    // Woken together with m_bStop, so the connection thread's wait ends at
    // once; null when the platform gave none (the wait then runs its 100 ms).
    Net_Waker *m_pWaker;

private:
    void ReapConnThread();
};

// Hands a "D" message to the host in place, or to the queue in queue mode.
// Inline: the connection thread calls it for every message.
inline void GameServerThunk::OnMsgD(const unsigned char *msg, uint32_t size) {
    if (m_bQueueMode) {
        PushToGame(msg, size);
        return;
    }
    SendFunc pfSend = g_pfSend;
    if (pfSend)
        pfSend(read_u32le(msg + 1), msg + 5, static_cast<int32_t>(size - 5));
}

unsigned MonitorThreadProc(void *param);
unsigned ConnectionThreadProc(void *param);
