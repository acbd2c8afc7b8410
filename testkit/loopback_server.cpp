#include "loopback_server.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace testkit {

namespace {

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A non-blocking listener on address:nPort that child processes do not
// inherit; BAD_SOCKET on failure.
Socket Listen(const std::string &address, uint16_t nPort, int nBacklog, int nRcvBuf,
              std::string *pError) {
    Socket fd = OpenTcpSocket(true);
    if (fd == BAD_SOCKET) {
        *pError = "socket: " + SocketErrorText(LastSocketError());
        return BAD_SOCKET;
    }
    if (nRcvBuf > 0)
        SetReceiveBuffer(fd, nRcvBuf);
    if (!ListenOn(fd, address, nPort, nBacklog, pError)) {
        CloseSocket(fd);
        return BAD_SOCKET;
    }
    return fd;
}

bool WouldBlock(int nError) {
    return nError == EAGAIN || nError == EINTR;
}

} // namespace

// ---- LoopbackServer: set-up and teardown -----------------------------------

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer() {
    Stop();
}

void LoopbackServer::SetPacketHandler(PacketHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

void LoopbackServer::SetRecordHistory(bool bRecord) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRecord = bRecord;
}

bool LoopbackServer::Start(uint16_t nPort) {
    if (m_bRunning) {
        m_strError = "already running";
        return false;
    }
    if (!SocketsReady()) {
        m_strError = "the socket service cannot be started";
        return false;
    }
    if (!m_waker.Open(&m_strError))
        return false;
    m_fdListen = Listen(m_strAddress, nPort, 16, m_nRcvBuf, &m_strError);
    if (m_fdListen == BAD_SOCKET) {
        m_waker.Close();
        return false;
    }
    m_nPort = BoundPort(m_fdListen);
    m_bStop = false;
    m_bRunning = true;
    m_thread = std::thread(&LoopbackServer::Run, this);
    return true;
}

void LoopbackServer::Stop() {
    if (!m_bRunning)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    Wake();
    m_thread.join();
    m_waker.Close();
    m_bRunning = false;
    m_cv.notify_all();
}

void LoopbackServer::Wake() {
    m_waker.Wake();
}

// ---- The server thread -----------------------------------------------------

void LoopbackServer::Run() {
    for (;;) {
        SocketWait fds[3];
        int n = 0;
        fds[n++] = {m_waker.WakeHandle(), WAIT_IN, 0};
        int iClient = -1;
        int iListen = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop)
                break;
            if (m_fdClient != BAD_SOCKET) {
                short events = m_bReading ? WAIT_IN : 0;
                if (!m_out.empty())
                    events |= WAIT_OUT;
                iClient = n;
                fds[n++] = {m_fdClient, events, 0};
            }
        }
        if (m_fdListen != BAD_SOCKET) {
            iListen = n;
            fds[n++] = {m_fdListen, WAIT_IN, 0};
        }
        if (WaitSockets(fds, static_cast<size_t>(n), 1000) < 0)
            continue; // EINTR: look at the state again
        if (fds[0].revents != 0)
            m_waker.Drain();
        // The client's events first: commands and accepts may replace it.
        if (iClient >= 0 && fds[iClient].revents != 0) {
            short revents = fds[iClient].revents;
            if (revents & WAIT_IN)
                ReadClient();
            else if (revents & (WAIT_ERR | WAIT_HUP))
                DropClient(true, false);
        }
        ExecuteCommands();
        if (iListen >= 0 && m_fdListen != BAD_SOCKET && (fds[iListen].revents & WAIT_IN))
            AcceptClients();
        FlushClient();
    }
    DropClient(false, false);
    CloseListener();
}

bool LoopbackServer::OpenListener() {
    std::string error;
    Socket fd = Listen(m_strAddress, m_nPort, 16, m_nRcvBuf, &error);
    if (fd == BAD_SOCKET)
        return false;
    m_fdListen = fd;
    return true;
}

void LoopbackServer::CloseListener() {
    CloseSocket(m_fdListen);
    m_fdListen = BAD_SOCKET;
}

void LoopbackServer::AcceptClients() {
    for (;;) {
        Socket fd = AcceptSocket(m_fdListen);
        if (fd == BAD_SOCKET)
            return;
        SetNoDelay(fd);
        AcceptAction action;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            action = m_acceptAction;
        }
        if (action == AcceptAction::KEEP)
            DropClient(false, false); // a kept client replaces the old one
        std::lock_guard<std::mutex> lock(m_mutex);
        ConnectionRecord record;
        record.acceptMs = NowMs();
        if (action == AcceptAction::KEEP) {
            record.open = true;
            m_nCurrent = m_connections.size();
            m_fdClient = fd;
            m_parser = WireParser();
            m_out.clear();
            m_nQueued = 0;
        } else {
            record.closeMs = record.acceptMs;
            if (action == AcceptAction::RESET)
                ResetSocket(fd);
            else
                CloseSocket(fd);
        }
        m_connections.push_back(std::move(record));
        m_cv.notify_all();
    }
}

void LoopbackServer::ReadClient() {
    uint8_t buf[65536];
    for (int i = 0; i < 16; ++i) {
        long n = ReceiveSome(m_fdClient, buf, sizeof buf);
        if (n > 0) {
            HandleBytes(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && WouldBlock(LastSocketError()))
            return;
        DropClient(true, false); // end of stream or an error such as a reset
        return;
    }
}

void LoopbackServer::HandleBytes(const uint8_t *data, size_t n) {
    std::vector<WirePacket> packets;
    PacketHandler handler;
    size_t nConnection;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nConnection = m_nCurrent;
        ConnectionRecord &record = m_connections[m_nCurrent];
        m_parser.Feed(data, n, &packets);
        record.malformed = m_parser.Malformed();
        m_nBytes += n;
        m_nPackets += packets.size();
        if (m_bRecord) {
            record.raw.insert(record.raw.end(), data, data + n);
            record.packets.insert(record.packets.end(), packets.begin(), packets.end());
        }
        if (m_bEcho) {
            for (const WirePacket &packet : packets) {
                if (packet.type == 'D') {
                    QueueLocked(EncodePacket('D', packet.id, packet.data));
                    ++m_nSentPackets;
                }
            }
        }
        handler = m_handler;
        m_cv.notify_all();
    }
    if (handler) {
        for (const WirePacket &packet : packets)
            handler(nConnection, packet);
    }
}

void LoopbackServer::QueueLocked(const Bytes &bytes) {
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    m_nQueued += bytes.size();
}

// Writes what the socket takes now; the rest waits for the next POLLOUT.
void LoopbackServer::FlushClient() {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_fdClient != BAD_SOCKET && !m_out.empty()) {
        long n = SendSome(m_fdClient, m_out.data(), m_out.size());
        if (n > 0) {
            m_out.erase(m_out.begin(), m_out.begin() + n);
            m_connections[m_nCurrent].sentBytes += static_cast<uint64_t>(n);
            m_cv.notify_all();
            continue;
        }
        if (n < 0 && WouldBlock(LastSocketError()))
            return;
        // The peer is gone; the read side will report it. Drop what is queued.
        m_out.clear();
        return;
    }
}

void LoopbackServer::DropClient(bool bByPeer, bool bReset) {
    if (m_fdClient == BAD_SOCKET)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bReset)
        ResetSocket(m_fdClient);
    else
        CloseSocket(m_fdClient);
    m_fdClient = BAD_SOCKET;
    ConnectionRecord &record = m_connections[m_nCurrent];
    record.open = false;
    record.closedByPeer = bByPeer;
    record.closeMs = NowMs();
    m_out.clear();
    m_cv.notify_all();
}

// ---- Commands run on the server thread -------------------------------------

bool LoopbackServer::RunCommand(Command cmd, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_bRunning || m_bStop)
        return false;
    uint64_t ticket = m_nNextTicket++;
    m_commands.push_back({cmd, ticket});
    lock.unlock();
    Wake();
    lock.lock();
    bool bDone = m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                               [&] { return m_nDoneTicket >= ticket || m_bStop; });
    if (!bDone || m_nDoneTicket < ticket)
        return false;
    bool bResult = m_results[ticket];
    m_results.erase(ticket);
    return bResult;
}

void LoopbackServer::ExecuteCommands() {
    std::vector<PendingCommand> commands;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        commands.swap(m_commands);
    }
    for (const PendingCommand &pending : commands) {
        bool bResult = true;
        switch (pending.cmd) {
        case CMD_CLOSE:
        case CMD_RESET:
            bResult = m_fdClient != BAD_SOCKET;
            DropClient(false, pending.cmd == CMD_RESET);
            break;
        case CMD_STOP_LISTENING:
            CloseListener();
            break;
        case CMD_RESTART:
            bResult = m_fdListen != BAD_SOCKET || OpenListener();
            break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[pending.ticket] = bResult;
        m_nDoneTicket = pending.ticket;
        m_cv.notify_all();
    }
}

bool LoopbackServer::CloseClient(int nTimeoutMs) {
    return RunCommand(CMD_CLOSE, nTimeoutMs);
}

bool LoopbackServer::ResetClient(int nTimeoutMs) {
    return RunCommand(CMD_RESET, nTimeoutMs);
}

bool LoopbackServer::StopListening(int nTimeoutMs) {
    return RunCommand(CMD_STOP_LISTENING, nTimeoutMs);
}

bool LoopbackServer::Restart(int nTimeoutMs) {
    return RunCommand(CMD_RESTART, nTimeoutMs);
}

void LoopbackServer::SetAcceptAction(AcceptAction action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_acceptAction = action;
}

void LoopbackServer::SetReading(bool bReading) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReading = bReading;
    }
    if (m_bRunning)
        Wake();
}

void LoopbackServer::SetEcho(bool bEcho) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bEcho = bEcho;
}

// ---- Sending ---------------------------------------------------------------

bool LoopbackServer::SendRaw(const Bytes &bytes, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_bRunning || m_fdClient == BAD_SOCKET)
        return false;
    size_t nConnection = m_nCurrent;
    QueueLocked(bytes);
    uint64_t target = m_nQueued;
    lock.unlock();
    Wake();
    lock.lock();
    m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
        const ConnectionRecord &record = m_connections[nConnection];
        return record.sentBytes >= target || !record.open || m_bStop;
    });
    return m_connections[nConnection].sentBytes >= target;
}

bool LoopbackServer::SendPacket(uint8_t type, uint32_t id, const Bytes &data, int nTimeoutMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nSentPackets;
    }
    return SendRaw(EncodePacket(type, id, data), nTimeoutMs);
}

// ---- Observation -----------------------------------------------------------

template <class Pred> bool LoopbackServer::WaitUntil(int nTimeoutMs, Pred pred) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), pred);
}

bool LoopbackServer::WaitForClient(int nTimeoutMs) {
    return WaitUntil(nTimeoutMs, [&] { return m_fdClient != BAD_SOCKET; });
}

bool LoopbackServer::WaitForAccepts(size_t n, int nTimeoutMs) {
    return WaitUntil(nTimeoutMs, [&] { return m_connections.size() >= n; });
}

bool LoopbackServer::WaitForPackets(size_t n, int nTimeoutMs) {
    return WaitUntil(nTimeoutMs, [&] { return m_nPackets >= n; });
}

bool LoopbackServer::WaitForDisconnect(int nTimeoutMs) {
    return WaitUntil(nTimeoutMs,
                     [&] { return !m_connections.empty() && m_fdClient == BAD_SOCKET; });
}

bool LoopbackServer::ClientConnected() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fdClient != BAD_SOCKET;
}

size_t LoopbackServer::AcceptCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

size_t LoopbackServer::PacketCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nPackets;
}

uint64_t LoopbackServer::ByteCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nBytes;
}

size_t LoopbackServer::SentPacketCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nSentPackets;
}

std::vector<WirePacket> LoopbackServer::Packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<WirePacket> all;
    for (const ConnectionRecord &record : m_connections)
        all.insert(all.end(), record.packets.begin(), record.packets.end());
    return all;
}

std::vector<WirePacket> LoopbackServer::Packets(size_t nConnection) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nConnection >= m_connections.size())
        return {};
    return m_connections[nConnection].packets;
}

Bytes LoopbackServer::RawBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Bytes all;
    for (const ConnectionRecord &record : m_connections)
        all.insert(all.end(), record.raw.begin(), record.raw.end());
    return all;
}

Bytes LoopbackServer::RawBytes(size_t nConnection) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nConnection >= m_connections.size())
        return {};
    return m_connections[nConnection].raw;
}

std::vector<ConnectionRecord> LoopbackServer::Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

// ---- StuckListener ---------------------------------------------------------

StuckListener::~StuckListener() {
    Stop();
}

bool StuckListener::Start() {
    std::string error;
    if (!SocketsReady())
        return false;
    m_fdListen = Listen("127.0.0.1", 0, 0, 0, &error);
    if (m_fdListen == BAD_SOCKET)
        return false;
    m_nPort = BoundPort(m_fdListen);
    // The backlog holds a connection or two; once one of ours stays pending,
    // the queue is full and every later SYN is dropped. A platform that
    // refuses such connects instead never gets there.
    for (int i = 0; i < 8; ++i) {
        Socket fd = OpenTcpSocket(true);
        if (fd == BAD_SOCKET)
            break;
        m_fillers.push_back(fd);
        int nError = ConnectLoopback(fd, m_nPort);
        if (nError == 0)
            continue;
        if (nError != EINPROGRESS)
            break;
        if (!WaitWritable(fd, 500))
            return true;
    }
    Stop();
    return false;
}

void StuckListener::Stop() {
    for (Socket fd : m_fillers)
        CloseSocket(fd);
    m_fillers.clear();
    CloseSocket(m_fdListen);
    m_fdListen = BAD_SOCKET;
}

} // namespace testkit
