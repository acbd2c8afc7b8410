// The relay object: one per process, held in g_pThunk from sh_load_start to
// sh_load_exit. Its monitor thread connects, reconnects and sends
// keep-alives; one connection thread per open connection receives from the
// VOZevezu and calls the host.
//
// It reaches the host side only through what it is given: the callback slots
// and the configuration path at construction, the monitor thread's handle
// when it is stopped.
//
// The members live with their concern: lifecycle and monitor loop in
// game_server_thunk.cpp; the server link and the connection thread's whole
// road, from the socket to the host's callbacks, in link.cpp; the host's
// road (sending, and sh_getdata in queue mode) in exchange.cpp; log writers
// in thunk_log.cpp; configuration readers in thunk_config.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "DEZuzovEzodid.h"
#include "config/config.h"
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
// What connectting_thread returns when it ends on m_bStopLink (a stop or a
// short send); the code stored and reported is DEZ_LINK_SEND_SHORT.
const int CONN_RETURN_STOPPED = -1;
// The server host before the configuration gives one.
const char *const RELAY_START_HOST = "127.0.0.1";

// Passes of the monitor from one attempt (or keep-alive) to the next for an
// interval: it counts whole seconds, so 60000 ms gives 61 and anything
// below 1000 ms every pass.
inline uint32_t monitor_pace_passes(uint32_t intervalMs) {
    return intervalMs / MONITOR_PASS_MS + 1;
}
// The server host after a configuration read: the ip text's address when it
// is a dotted IPv4 address, otherwise the host as it was.
uint32_t server_host_after(const std::string &ipText, uint32_t host);

// What the relay takes from the host side. The callback slots are read at
// every message, so a function that the host registers while the relay runs
// is called from then on; configFile returns a fresh copy of the
// configuration file's path at every call.
struct RelayHost {
    const std::atomic<SendFunc> *pfSend;     // receives "D" messages
    const std::atomic<Func1002> *pfFunc1002; // receives "K" messages
    const std::atomic<Func1003> *pfFunc1003; // told when the link comes up and goes down
    std::string (*configFile)();
};

// Failed connection attempts since the last connection thread started.
extern std::atomic<int32_t> g_nConnectFailCount;
// Address lines written by read_xml_config_try_connection in this process.
extern std::atomic<int32_t> g_nTryConnectionLogCount;

class GameServerThunk {
public:
    explicit GameServerThunk(const RelayHost &host);
    ~GameServerThunk();
    GameServerThunk(const GameServerThunk &) = delete;
    GameServerThunk &operator=(const GameServerThunk &) = delete;

    // ---- Lifecycle and monitor (game_server_thunk.cpp) ----
    int Prepare();
    // Stops both relay threads; monitor is the thread that runs run().
    int StopThreads(plat::Thread *monitor);
    int run(std::string configPath);
    // True once the given monitor thread and the connection thread have both
    // ended; does not wait.
    bool ThreadsEnded(plat::Thread *monitor);
    // True while the handle of a connection thread is held: from Connect
    // until the monitor's first pass after the thread has ended.
    bool HoldsConnThread() const { return m_hConnThread.load() != nullptr; }

    // ---- Log writers (thunk_log.cpp) ----
    void WriteLog(const LogLine &line);
    void WriteLogLimited(const LogLine &line);

    // ---- Configuration (thunk_config.cpp) ----
    int read_xml_config(std::string path);
    int read_xml_config_try_connection(std::string path);
    void ApplyLinkOptions(const RelayConfig &config);

    // ---- The host's road (exchange.cpp) ----
    int SendToServer(unsigned char type, uint32_t id, const void *data, int32_t size);
    int GetData(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType, uint32_t *pId,
                uint32_t *pLen);

private:
    // ---- Server link and connection thread (link.cpp) ----
    int Connect();
    void SetLinkOptions();
    void DisConnect(int nCallFrom);
    void OnDisconnected();
    int connectting_thread();
    int EndConnection(int32_t nCode);
    int ServeConnection(); // the connection thread's body
    static unsigned ConnectionThreadProc(void *param);
    void ReapConnThread();
    void ReapEndedConnThread();
    // Tells the host's code-1003 function, unless a stop was requested.
    void ReportLinkState(int32_t nState, int32_t nCode);
    enum DeliverResult {
        DELIVERED,    // every complete packet of the read was handed on
        UNKNOWN_TYPE, // a packet of unknown type arrived
        STOPPED,      // a stop was requested: the rest of the read is not handed on
    };
    // Hands every complete packet of the last read to its handler.
    DeliverResult DeliverPackets(PacketCutter &cutter);
    void OnMsgD(const unsigned char *msg, uint32_t size);
    void OnMsgK(const unsigned char *msg, uint32_t size);
    int PushToGame(const unsigned char *msg, uint32_t size);

    // ---- Fields, in their documented order. The settings and the limited
    // writer's count are public: tests set and inspect them. ----
    Net_TCPSocket *m_pSocket;
    Net_SocketSet *m_pSocketSet;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bStopLink;

public:
    Net_Address m_ServerAddr;
    std::atomic<bool> m_bConsole;

private:
    std::atomic<bool> m_bConnected;
    // On a cache line of its own: host threads take it for every message,
    // and the flags read before it must not share its line.
    alignas(64) plat::Lock m_csLink;

public:
    uint32_t m_nCheckInterval;
    uint32_t m_nTryInterval;
    bool m_bLogConnectionError;
    // Link options of each new connection (milliseconds, bytes; 0 leaves
    // the platform's own behaviour).
    uint32_t m_nDeadLinkTimeout;
    uint32_t m_nConnectTimeout;
    uint32_t m_nSendBufferSize;

private:
    plat::Lock m_csLog;
    std::unique_ptr<std::ofstream> m_pLogFile;
    alignas(64) unsigned char m_SendBuf[PACKET_MAX_OUT];

public:
    std::atomic<int32_t> m_nLimitedLogCount;
    std::atomic<bool> m_bQueueMode;

private:
    std::atomic<plat::Thread *> m_hConnThread;
    int32_t m_nConnResult;
    MsgQueue m_qToGame;
    std::atomic<bool> m_bToGameHasData;
    // A refused link option is logged once per relay object.
    bool m_bLinkOptionErrorLogged;

    // Set together with m_bStop, so the monitor's sleep ends at once.
    plat::Event m_evStop;
    // Woken together with m_bStop, so the connection thread's wait ends at
    // once; null when the platform gave none (the wait then runs its 100 ms).
    Net_Waker *m_pWaker;
    const RelayHost m_host;
};
