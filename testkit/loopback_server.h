// A scriptable TCP server on 127.0.0.1 (or another local address) that
// stands in for the remote server in tests: it accepts one client at a time,
// records every byte and packet per connection, can answer, and can
// misbehave on request.
//
// One background thread does all socket work. Start and Stop belong to the
// owner; the other public methods may be called from any thread, and every
// wait takes a time-out in milliseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit_socket.h"
#include "wire.h"

namespace testkit {

// What happens to a client right after it has been accepted.
enum class AcceptAction {
    KEEP,  // serve it
    CLOSE, // close it at once (orderly shutdown)
    RESET, // reset it at once (SO_LINGER {1,0}, then close)
};

// One accepted connection, as recorded.
struct ConnectionRecord {
    uint64_t acceptMs = 0; // monotonic milliseconds
    uint64_t closeMs = 0;  // 0 while open
    bool open = false;
    bool closedByPeer = false; // the client closed or reset it
    bool malformed = false;    // the client sent a length the parser rejects
    uint64_t sentBytes = 0;    // written to the client
    Bytes raw;                 // everything received (empty when history is off)
    std::vector<WirePacket> packets;
};

class LoopbackServer {
public:
    typedef std::function<void(size_t nConnection, const WirePacket &packet)> PacketHandler;

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    // ---- Set-up (before Start) -----------------------------------------------
    // Receive buffer of accepted sockets, so a peer's sends fill up sooner.
    void SetReceiveBufferSize(int nBytes) { m_nRcvBuf = nBytes; }
    // The local IPv4 address to listen on (dotted; 127.0.0.1 when not set).
    void SetListenAddress(const std::string &address) { m_strAddress = address; }
    // Called on the server thread for each packet; must not call back into
    // the server's waiting methods (SendRaw, CloseClient, ...).
    void SetPacketHandler(PacketHandler handler);
    // With history off only counters are kept (for long-running tools).
    void SetRecordHistory(bool bRecord);

    // Listens on the listen address, port nPort (0 = any free port), and
    // starts the thread.
    bool Start(uint16_t nPort = 0);
    // Closes every socket and joins the thread; safe to call twice.
    void Stop();
    uint16_t Port() const { return m_nPort; }
    const std::string &Error() const { return m_strError; }

    // ---- Misbehaviour switches -----------------------------------------------
    void SetAcceptAction(AcceptAction action);
    // Off: the client's bytes stay unread, so its sends eventually come up short.
    void SetReading(bool bReading);
    // On: every "D" packet is answered with a "D" of the same id and data.
    void SetEcho(bool bEcho);
    bool CloseClient(int nTimeoutMs = 5000);
    bool ResetClient(int nTimeoutMs = 5000);
    // Closes the listening socket; the current client stays.
    bool StopListening(int nTimeoutMs = 5000);
    // Listens again on the same port.
    bool Restart(int nTimeoutMs = 5000);

    // ---- Sending to the current client ---------------------------------------
    // True once every byte has been written to the socket.
    bool SendRaw(const Bytes &bytes, int nTimeoutMs = 5000);
    bool SendPacket(uint8_t type, uint32_t id, const Bytes &data, int nTimeoutMs = 5000);

    // ---- Observation ---------------------------------------------------------
    bool WaitForClient(int nTimeoutMs);            // a client is connected
    bool WaitForAccepts(size_t n, int nTimeoutMs); // n clients accepted in all
    bool WaitForPackets(size_t n, int nTimeoutMs); // n packets received in all
    // Waits until a client has been accepted and none is connected any more.
    bool WaitForDisconnect(int nTimeoutMs);
    bool ClientConnected() const;
    size_t AcceptCount() const;
    size_t PacketCount() const;     // received, all connections
    uint64_t ByteCount() const;     // received, all connections
    size_t SentPacketCount() const; // queued by SendPacket and by the echo
    // Packets and raw bytes of all connections in arrival order, or of one.
    std::vector<WirePacket> Packets() const;
    std::vector<WirePacket> Packets(size_t nConnection) const;
    Bytes RawBytes() const;
    Bytes RawBytes(size_t nConnection) const;
    std::vector<ConnectionRecord> Connections() const;

private:
    enum Command { CMD_CLOSE, CMD_RESET, CMD_STOP_LISTENING, CMD_RESTART };
    struct PendingCommand {
        Command cmd;
        uint64_t ticket;
    };

    void Run();
    bool RunCommand(Command cmd, int nTimeoutMs);
    void ExecuteCommands();
    bool OpenListener();
    void CloseListener();
    void AcceptClients();
    void ReadClient();
    void FlushClient();
    void DropClient(bool bByPeer, bool bReset);
    void HandleBytes(const uint8_t *data, size_t n);
    void QueueLocked(const Bytes &bytes);
    void Wake();
    template <class Pred> bool WaitUntil(int nTimeoutMs, Pred pred) const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::thread m_thread;
    Socket m_fdListen = BAD_SOCKET;
    Socket m_fdClient = BAD_SOCKET;
    Waker m_waker;
    uint16_t m_nPort = 0;
    int m_nRcvBuf = 0;
    std::string m_strAddress = "127.0.0.1";
    std::string m_strError;
    std::atomic<bool> m_bRunning{false};
    bool m_bStop = false;

    // Shared with callers; guarded by m_mutex.
    AcceptAction m_acceptAction = AcceptAction::KEEP;
    bool m_bReading = true;
    bool m_bEcho = false;
    bool m_bRecord = true;
    PacketHandler m_handler;
    std::vector<PendingCommand> m_commands;
    uint64_t m_nNextTicket = 1;
    uint64_t m_nDoneTicket = 0;
    std::map<uint64_t, bool> m_results; // by ticket, until RunCommand takes it
    std::vector<ConnectionRecord> m_connections;
    size_t m_nCurrent = 0; // record of the current client, while m_fdClient is open
    WireParser m_parser;
    Bytes m_out;            // bytes queued for the current client
    uint64_t m_nQueued = 0; // bytes ever queued to the current client
    size_t m_nPackets = 0;
    uint64_t m_nBytes = 0;
    size_t m_nSentPackets = 0;
};

// A listener whose TCP connects never complete: it listens with a backlog of
// 0, never accepts, and fills its queue with its own connections so the
// kernel drops further SYNs. For tests of a connect that is stuck at stop.
class StuckListener {
public:
    StuckListener() = default;
    ~StuckListener();
    StuckListener(const StuckListener &) = delete;
    StuckListener &operator=(const StuckListener &) = delete;

    // False when the queue could not be filled so that connects hang.
    bool Start();
    void Stop();
    uint16_t Port() const { return m_nPort; }

private:
    Socket m_fdListen = BAD_SOCKET;
    std::vector<Socket> m_fillers;
    uint16_t m_nPort = 0;
};

} // namespace testkit
