// The server link: one connection attempt per call of Connect, a connection
// thread per open connection, and the closing of the link when it ends. The
// connection thread's whole road is here, from the socket to the host's
// callbacks: wait, read, cut packets (packet.h), hand each to its handler.
#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/scope_exit.hpp>

#include "relay/game_server_thunk.h"

std::atomic<int32_t> g_nConnectFailCount(0);

namespace {

// The peer of the current socket, for log lines.
Net_Address peer_of(Net_TCPSocket *socket) {
    Net_Address *peer = socket ? Net_TCP_GetPeerAddress(socket) : nullptr;
    return peer ? *peer : Net_Address{0, 0};
}

} // namespace

// ---- Opening the link (monitor thread) -------------------------------------

int GameServerThunk::Connect() {
    read_xml_config_try_connection(m_host.configFile());
    // The previous connection thread has closed its link; wait for its last
    // steps so that it cannot clear m_bConnected under the new connection,
    // and so that the host's link-state call for its end has returned before
    // the new connection calls the host.
    ReapConnThread();

    plat::LockGuard link(m_csLink);
    DisConnect(3);
    if (is_connectable_host(m_ServerAddr.host))
        m_pSocket = Net_TCP_Open(&m_ServerAddr, 0, &m_bStop, m_nConnectTimeout);
    if (m_pSocket)
        SetLinkOptions();
    m_pSocketSet = Net_AllocSocketSet(1);
    if (!m_pSocket || !m_pSocketSet) {
        if (g_nConnectFailCount < 10) {
            ++g_nConnectFailCount;
            WriteLogLimited(LogLine() << ">VornProxy Connect to VOZevezu Failed!!!! ");
        }
        return -1;
    }
    if (Net_TCP_AddSocket(m_pSocketSet, m_pSocket) < 0) {
        WriteLogLimited(LogLine() << ">Net_TCP_AddSocket Error,Failed!!!!");
        return -1;
    }
    m_bStopLink = false;
    m_nLimitedLogCount = 0;
    // A stop requested while the connect was under way starts no thread: the
    // object is about to be destroyed. Testing after clearing m_bStopLink
    // leaves no gap in which StopThreads' request could be lost.
    if (m_bStop)
        return -1;
    m_bConnected = true;
    plat::Thread *thread = plat::thread_start(ConnectionThreadProc, this, "relay-link");
    m_hConnThread = thread;
    if (!thread) {
        if (m_bLogConnectionError)
            WriteLog(LogLine() << ">VornProxy Create Conecttion Thread Error");
        m_bConnected = false;
        return -1;
    }
    return 0;
}

// A refused option leaves the link as the platform keeps it; it is said
// once, not at every connection.
void GameServerThunk::SetLinkOptions() {
    if (Net_TCP_SetLinkOptions(m_pSocket, m_nDeadLinkTimeout, m_nSendBufferSize) == 0 ||
        m_bLinkOptionErrorLogged)
        return;
    m_bLinkOptionErrorLogged = true;
    WriteLog(LogLine() << ">Net_TCP_SetLinkOptions Error," << Net_GetError());
}

// ---- The connection thread -------------------------------------------------

unsigned GameServerThunk::ConnectionThreadProc(void *param) {
    GameServerThunk *thunk = static_cast<GameServerThunk *>(param);
    try {
        thunk->ServeConnection();
    } catch (...) {
        // Nothing may escape into the host's process.
    }
    return 0;
}

int GameServerThunk::ServeConnection() {
    m_bConnected = true;
    int result = connectting_thread();
    write_log_line(LogLine() << "> connectting_thread reV:" << result);
    m_bConnected = false;
    ReportLinkState(DEZ_LINK_DOWN, m_nConnResult);
    return 0;
}

int GameServerThunk::connectting_thread() {
    g_nConnectFailCount = 0;
    WriteLog(LogLine() << ">Connected To " << peer_of(m_pSocket));
    m_nConnResult = 0;
    boost::function<void()> onDisconnected = boost::bind(&GameServerThunk::OnDisconnected, this);
    BOOST_SCOPE_EXIT(&onDisconnected) {
        onDisconnected();
    }
    BOOST_SCOPE_EXIT_END
    ReportLinkState(DEZ_LINK_UP, 0);

    PacketCutter cutter;
    for (;;) {
        if (m_bStopLink)
            return EndConnection(DEZ_LINK_SEND_SHORT);
        // Bytes already waiting need no wait: the socket alone is looked at
        // first, and only when it has nothing does the thread wait on it and
        // the waker. A stop request ends that wait at once; the loop then sees
        // m_bStopLink, which it also checks between reads that did not wait.
        int nReady = Net_CheckSockets(m_pSocketSet, 0);
        if (nReady == 0)
            nReady = Net_CheckSocketsOrWake(m_pSocketSet, CONNECTION_WAIT_MS, m_pWaker);
        if (nReady < 0) {
            WriteLog(LogLine() << ">" << peer_of(m_pSocket) << " ,Select ret:" << nReady);
            return EndConnection(DEZ_LINK_WAIT_FAILED);
        }
        if (nReady == 0 || !Net_SocketReady(m_pSocket))
            continue;
        int nRead = Net_TCP_Recv(m_pSocket, cutter.RecvPtr(), static_cast<int>(PACKET_RECV_CHUNK));
        if (nRead < 0)
            return EndConnection(DEZ_LINK_READ_FAILED);
        if (nRead == 0)
            return EndConnection(DEZ_LINK_CLOSED);
        cutter.Received(static_cast<uint32_t>(nRead));
        DeliverResult delivered = DeliverPackets(cutter);
        if (delivered == UNKNOWN_TYPE)
            return EndConnection(DEZ_LINK_UNKNOWN_TYPE);
        if (delivered == STOPPED)
            return EndConnection(DEZ_LINK_SEND_SHORT);
    }
}

// Stores why the connection ends; the thread returns the same code, except
// for a stop request or a short send (DEZ_LINK_SEND_SHORT), for which it
// returns CONN_RETURN_STOPPED.
int GameServerThunk::EndConnection(int32_t nCode) {
    m_nConnResult = nCode;
    return nCode == DEZ_LINK_SEND_SHORT ? CONN_RETURN_STOPPED : nCode;
}

// ---- Server messages to the host --------------------------------------------
// The per-packet handlers are inline: the connection thread runs them for
// every packet, and nothing but DeliverPackets calls them.

GameServerThunk::DeliverResult GameServerThunk::DeliverPackets(PacketCutter &cutter) {
    Packet packet = {nullptr, 0};
    uint32_t nBadLength = 0;
    for (;;) {
        switch (cutter.Next(&packet, &nBadLength)) {
        case PacketCutter::CUT_NEED_MORE:
            return DELIVERED;
        case PacketCutter::CUT_INVALID_LENGTH:
            WriteLog(LogLine() << "in connectting_thread packetSize is invalid error,packetSize=="
                               << nBadLength);
            break;
        case PacketCutter::CUT_PACKET:
            // Once a stop has been requested the host is called no more:
            // sh_load_exit may have returned while a callback held this
            // thread, and the host may be unloading the module.
            if (m_bStop.load(std::memory_order_relaxed))
                return STOPPED;
            switch (packet.type()) {
            case PACKET_TYPE_DATA:
                OnMsgD(packet.msg, packet.size);
                break;
            case PACKET_TYPE_KEY:
                OnMsgK(packet.msg, packet.size);
                break;
            case PACKET_TYPE_CHECK:
                break;
            default:
                WriteLog(LogLine() << "Wrong msg... ");
                return UNKNOWN_TYPE;
            }
            break;
        }
    }
}

// Hands a "D" message to the host in place, or to the queue in queue mode.
inline void GameServerThunk::OnMsgD(const unsigned char *msg, uint32_t size) {
    if (m_bQueueMode) {
        PushToGame(msg, size);
        return;
    }
    SendFunc pfSend = *m_host.pfSend;
    if (pfSend)
        pfSend(read_u32le(msg + 1), msg + 5, static_cast<int32_t>(size - 5));
}

inline void GameServerThunk::OnMsgK(const unsigned char *msg, uint32_t size) {
    if (m_bQueueMode) {
        PushToGame(msg, size);
        return;
    }
    // A short body is read within its own bounds: missing fields are 0.
    uint32_t remaining = size - 1;
    uint32_t id = 0;
    uint32_t value = 0;
    if (remaining >= 4) {
        id = read_u32le(msg + 1);
        remaining -= 4;
    }
    if (remaining >= 4)
        value = read_u32le(msg + 5);
    Func1002 pfFunc = *m_host.pfFunc1002;
    if (pfFunc)
        pfFunc(id, value);
}

int GameServerThunk::PushToGame(const unsigned char *msg, uint32_t size) {
    uint32_t nUsed = m_qToGame.UsedBytes();
    if (m_qToGame.Push(msg, size) != 0)
        WriteLogLimited(LogLine() << "m_qToGame In Fail," << nUsed);
    m_bToGameHasData = true;
    return 0;
}

// ---- Closing the link --------------------------------------------------------

// Runs on the connection thread on every way out of connectting_thread. The
// thread's handle stays in m_hConnThread after it: ReapConnThread gives it
// up once the thread's last steps are done, at the monitor's next pass, at
// the next Connect or at the destruction of the object.
void GameServerThunk::OnDisconnected() {
    plat::LockGuard link(m_csLink);
    WriteLog(LogLine() << ">" << peer_of(m_pSocket) << " Disconnected," << m_nConnResult);
    DisConnect(2);
}

void GameServerThunk::DisConnect(int nCallFrom) {
    m_bConnected = false;
    if (m_pSocket) {
        WriteLog(LogLine() << ">dis con   " << peer_of(m_pSocket) << ",nCallFrom:" << nCallFrom);
        Net_TCP_Close(m_pSocket);
        m_pSocket = nullptr;
    }
    if (m_pSocketSet) {
        Net_FreeSocketSet(m_pSocketSet);
        m_pSocketSet = nullptr;
    }
    m_qToGame.Clear();
}

void GameServerThunk::ReportLinkState(int32_t nState, int32_t nCode) {
    if (m_bStop)
        return;
    Func1003 pfLinkState = *m_host.pfFunc1003;
    if (pfLinkState)
        pfLinkState(nState, nCode);
}

// Waits for the last connection thread to finish and gives its handle up.
void GameServerThunk::ReapConnThread() {
    plat::Thread *thread = m_hConnThread.exchange(nullptr);
    if (!thread)
        return;
    plat::thread_wait_other(thread, plat::WAIT_FOREVER);
    plat::thread_release(thread);
}

// Gives up the handle of a connection thread that has ended, so that it is
// joined at once and not only at the next attempt or at the stop (which a
// host that ends without sh_load_exit never makes). Runs on the monitor
// thread, the only one that touches the handle while the monitor runs.
void GameServerThunk::ReapEndedConnThread() {
    plat::Thread *thread = m_hConnThread.load();
    if (thread && plat::thread_wait(thread, 0))
        ReapConnThread();
}
