#include "relay/packet.h"

#include <cstring>

PacketCutter::PacketCutter() : m_buf(), m_nCarry(0), m_nPos(0), m_nEnd(0) {}

void PacketCutter::Received(uint32_t n) {
    const uint32_t room = PACKET_RECV_BUFFER - m_nCarry;
    m_nPos = 0;
    m_nEnd = m_nCarry + (n < room ? n : room);
    m_nCarry = 0;
}

PacketCutter::Result PacketCutter::DropRead(uint32_t length, uint32_t *pBadLength) {
    m_nPos = m_nEnd = 0;
    if (pBadLength)
        *pBadLength = length;
    return CUT_INVALID_LENGTH;
}

PacketCutter::Result PacketCutter::Carry(uint32_t r) {
    if (m_nPos != 0)
        std::memmove(m_buf, m_buf + m_nPos, r);
    m_nCarry = r;
    m_nPos = m_nEnd = 0;
    return CUT_NEED_MORE;
}
