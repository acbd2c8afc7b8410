// Construction, destruction, the monitor loop and the stop protocol.
#include "relay/game_server_thunk.h"

GameServerThunk::GameServerThunk(const RelayHost &host)
    : m_pSocket(nullptr), m_pSocketSet(nullptr), m_bStop(false),
      m_bStopLink(false), m_ServerAddr{0, 0}, m_bConsole(false), m_bConnected(false),
      m_nCheckInterval(60000), m_nTryInterval(60000), m_bLogConnectionError(false),
      m_nDeadLinkTimeout(0), m_nConnectTimeout(0), m_nSendBufferSize(0), m_SendBuf{},
      m_nLimitedLogCount(0), m_bQueueMode(false), m_hConnThread(nullptr), m_nConnResult(0),
      m_bToGameHasData(false), m_bLinkOptionErrorLogged(false), m_pWaker(nullptr), m_host(host) {
    // A socket service that does not start is not reported here: every
    // connection attempt then fails.
    Net_Init();
    m_pWaker = Net_AllocWaker();
}

GameServerThunk::~GameServerThunk() {
    m_bStop = true;
    DisConnect(1);
    m_pLogFile.reset();
    ReapConnThread();
    Net_FreeWaker(m_pWaker);
    Net_Quit();
}

int GameServerThunk::Prepare() {
    m_bConsole = true;
    parse_dotted_ipv4(RELAY_START_HOST, &m_ServerAddr.host);
    m_qToGame.Allocate(TO_GAME_QUEUE_SIZE);
    return 0;
}

int GameServerThunk::StopThreads(plat::Thread *monitor) {
    m_bStop = true;
    m_bStopLink = true;
    m_evStop.set();
    Net_Wake(m_pWaker);
    // While the monitor runs it may replace the connection thread's handle,
    // so that handle is read only once the monitor has ended.
    if (plat::thread_wait_other(monitor, STOP_WAIT_MS))
        plat::thread_wait_other(m_hConnThread.load(), STOP_WAIT_MS);
    return 1;
}

bool GameServerThunk::ThreadsEnded(plat::Thread *monitor) {
    return plat::thread_wait(monitor, 0) && plat::thread_wait(m_hConnThread.load(), 0);
}

int GameServerThunk::run(std::string configPath) {
    Prepare();
    if (read_xml_config(configPath) < 0) {
        write_log_line(LogLine() << "> In run,Read Config Err ; " << configPath);
        return -1;
    }
    WriteLog(LogLine() << ">VornProxy Starting ........Ver:" << RELAY_VERSION
                       << ",Build:" << __DATE__);

    // Pacing is counted in passes of one second, from the intervals as they
    // were when the loop began.
    const uint32_t nCheckPasses = monitor_pace_passes(m_nCheckInterval);
    const uint32_t nTryPasses = monitor_pace_passes(m_nTryInterval);
    uint32_t nKeepAliveCount = 0;
    uint32_t nReconnectCount = nTryPasses - 1; // the first pass tries at once
    while (!m_bStop) {
        ReapEndedConnThread();
        if (!m_bConnected && ++nReconnectCount >= nTryPasses) {
            nReconnectCount = 0;
            Connect();
        }
        if (m_bConnected && ++nKeepAliveCount >= nCheckPasses) {
            nKeepAliveCount = 0;
            SendToServer(PACKET_TYPE_CHECK, 0, nullptr, 0);
        }
        m_evStop.wait(MONITOR_PASS_MS);
    }
    WriteLog(LogLine() << ">VornProxy ShutDown");
    return 0;
}
