// Messages across the relay: host messages framed and sent at once on the
// caller's thread; server messages handed to the host's callbacks, or queued
// for sh_getdata in queue mode.
#include <cstring>

#include "relay/game_server_thunk.h"

// ---- Host to server --------------------------------------------------------

int GameServerThunk::SendToServer(unsigned char type, uint32_t id, const void *data, int32_t size) {
    // While the link is down the message is dropped; this is tested before
    // the lock so that senders never wait for a connect in progress.
    if (!m_bConnected)
        return 0;
    if (size > PACKET_MAX_OUT_PAYLOAD || size < 0)
        return -1;
    if (!data && size > 0)
        return -1;
    m_csLink.enter();
    // After a short send the stream is torn mid-packet: nothing more goes out
    // on it while the connection thread closes it.
    if (m_pSocket && !m_bStopLink) {
        int length =
            static_cast<int>(frame_packet(m_SendBuf, type, id, data, static_cast<uint32_t>(size)));
        if (Net_TCP_Send(m_pSocket, m_SendBuf, length) != length)
            m_bStopLink = true;
    }
    m_csLink.leave();
    return 0;
}

// ---- Server to host --------------------------------------------------------
// The per-packet handlers are inline: the connection thread runs them for
// every packet, and nothing but DeliverPackets calls them.

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

int GameServerThunk::PushToGame(const unsigned char *msg, uint32_t size) {
    uint32_t nUsed = m_qToGame.UsedBytes();
    if (m_qToGame.Push(msg, size) != 0)
        WriteLogLimited(LogLine() << "m_qToGame In Fail," << nUsed);
    m_bToGameHasData = true;
    return 0;
}

int GameServerThunk::GetData(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                             uint32_t *pId, uint32_t *pLen) {
    if (!m_bConnected || !m_bToGameHasData)
        return 1;
    if (pLen)
        *pLen = 0;
    unsigned char record[PACKET_MAX_IN];
    uint32_t nRecord = 0;
    if (m_qToGame.Pop(record, sizeof(record), &nRecord) != 0) {
        // Cleared under the queue's lock, so a message pushed meanwhile keeps
        // the flag set.
        plat::LockGuard guard(m_qToGame.GetLock());
        if (m_qToGame.UsedBytes() == 0)
            m_bToGameHasData = false;
        return 1;
    }
    if (nRecord > sizeof(record))
        nRecord = sizeof(record); // records come from packets of at most 5,000 bytes
    unsigned char type = record[0];
    if (type != PACKET_TYPE_DATA && type != PACKET_TYPE_KEY) {
        WriteLogLimited(LogLine() << "GetData pData MsgTyp Err:" << static_cast<char>(type));
        return 1;
    }
    // A record too short to hold an id (a short "K" body) hands out id 0 and
    // no data, never bytes past its end.
    uint32_t id = nRecord >= 5 ? read_u32le(record + 1) : 0;
    uint32_t n = nRecord >= 5 ? nRecord - 5 : 0;
    if (n > nBuffLen || (n > 0 && !pData)) {
        WriteLogLimited(LogLine() << "GetData pData small ,nBuffLen:" << nBuffLen
                                  << ",nAxSize:" << n);
        return 2;
    }
    if (n > 0)
        std::memcpy(pData, record + 5, n);
    if (pLen)
        *pLen = n;
    if (pType)
        *pType = type;
    if (pId)
        *pId = id;
    return 0;
}
