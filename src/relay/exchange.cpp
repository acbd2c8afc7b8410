// The host's road through the relay: its messages framed and sent at once on
// the caller's thread, and, in queue mode, server messages taken from the
// to-game queue by sh_getdata. Server messages reach the queue or the host's
// callbacks on the connection thread (link.cpp).
#include <cstring>

#include "relay/game_server_thunk.h"

// ---- Host to server --------------------------------------------------------

int GameServerThunk::SendToServer(unsigned char type, uint32_t id, const void *data, int32_t size) {
    // While the link is down the message is dropped; this is tested before
    // the lock so that senders never wait for a connect in progress.
    if (!m_bConnected)
        return DEZ_RECV_OK;
    if (size > PACKET_MAX_OUT_PAYLOAD || size < 0)
        return DEZ_RECV_REFUSED;
    if (!data && size > 0)
        return DEZ_RECV_REFUSED;
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
    return DEZ_RECV_OK;
}

// ---- Server to host, in queue mode -------------------------------------------

int GameServerThunk::GetData(unsigned char *pData, uint32_t nBuffLen, unsigned char *pType,
                             uint32_t *pId, uint32_t *pLen) {
    if (!m_bConnected || !m_bToGameHasData)
        return DEZ_GETDATA_NONE;
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
        return DEZ_GETDATA_NONE;
    }
    if (nRecord > sizeof(record))
        nRecord = sizeof(record); // records come from packets of at most 5,000 bytes
    unsigned char type = record[0];
    if (type != PACKET_TYPE_DATA && type != PACKET_TYPE_KEY) {
        WriteLogLimited(LogLine() << "GetData pData MsgTyp Err:" << static_cast<char>(type));
        return DEZ_GETDATA_NONE;
    }
    // A record too short to hold an id (a short "K" body) hands out id 0 and
    // no data, never bytes past its end.
    uint32_t id = nRecord >= 5 ? read_u32le(record + 1) : 0;
    uint32_t n = nRecord >= 5 ? nRecord - 5 : 0;
    if (n > nBuffLen || (n > 0 && !pData)) {
        WriteLogLimited(LogLine() << "GetData pData small ,nBuffLen:" << nBuffLen
                                  << ",nAxSize:" << n);
        return DEZ_GETDATA_TOO_SMALL;
    }
    if (n > 0)
        std::memcpy(pData, record + 5, n);
    if (pLen)
        *pLen = n;
    if (pType)
        *pType = type;
    if (pId)
        *pId = id;
    return DEZ_GETDATA_OK;
}
