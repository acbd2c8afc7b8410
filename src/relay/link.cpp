// The server link: one connection attempt per call of Connect, a connection
// thread per open connection, and the closing of the link when it ends.
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
        m_pSocket = Net_TCP_Open(&m_ServerAddr, 0, &m_bStop);
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

// Runs on the connection thread on every way out of connectting_thread. The
// thread's handle stays in m_hConnThread until the next Connect or the
// destruction of the object has waited for the thread's last steps.
void GameServerThunk::OnDisconnected() {
    plat::LockGuard link(m_csLink);
    WriteLog(LogLine() << ">" << peer_of(m_pSocket) << " Disconnected," << m_nConnResult);
    DisConnect(2);
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
        if (m_bStopLink) {
            m_nConnResult = -107;
            return -1;
        }
        // Bytes already waiting need no wait: the socket alone is looked at
        // first, and only when it has nothing does the thread wait on it and
        // the waker. A stop request ends that wait at once; the loop then sees
        // m_bStopLink, which it also checks between reads that did not wait.
        int nReady = Net_CheckSockets(m_pSocketSet, 0);
        if (nReady == 0)
            nReady = Net_CheckSocketsOrWake(m_pSocketSet, CONNECTION_WAIT_MS, m_pWaker);
        if (nReady < 0) {
            WriteLog(LogLine() << ">" << peer_of(m_pSocket) << " ,Select ret:" << nReady);
            m_nConnResult = -101;
            return -101;
        }
        if (nReady == 0 || !Net_SocketReady(m_pSocket))
            continue;
        int nRead = Net_TCP_Recv(m_pSocket, cutter.RecvPtr(), static_cast<int>(PACKET_RECV_CHUNK));
        if (nRead < 0) {
            m_nConnResult = -102;
            return -102;
        }
        if (nRead == 0) {
            m_nConnResult = -103;
            return -103;
        }
        cutter.Received(static_cast<uint32_t>(nRead));
        DeliverResult delivered = DeliverPackets(cutter);
        if (delivered == UNKNOWN_TYPE) {
            m_nConnResult = -106;
            return -106;
        }
        if (delivered == STOPPED) {
            m_nConnResult = -107;
            return -1;
        }
    }
}

int GameServerThunk::ServeConnection() {
    m_bConnected = true;
    int result = connectting_thread();
    write_log_line(LogLine() << "> connectting_thread reV:" << result);
    m_bConnected = false;
    ReportLinkState(DEZ_LINK_DOWN, m_nConnResult);
    return 0;
}

void GameServerThunk::ReportLinkState(int32_t nState, int32_t nCode) {
    if (m_bStop)
        return;
    Func1003 pfLinkState = *m_host.pfFunc1003;
    if (pfLinkState)
        pfLinkState(nState, nCode);
}

unsigned GameServerThunk::ConnectionThreadProc(void *param) {
    GameServerThunk *thunk = static_cast<GameServerThunk *>(param);
    try {
        thunk->ServeConnection();
    } catch (...) {
        // Nothing may escape into the host's process.
    }
    return 0;
}
