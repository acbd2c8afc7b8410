#include "relay/packet.h"

#include <cstring>

uint32_t read_u32le(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void write_u32le(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t frame_packet(unsigned char *buf, unsigned char type, uint32_t id, const void *data,
                      uint32_t n) {
    if (n > static_cast<uint32_t>(PACKET_MAX_OUT_PAYLOAD) || (n > 0 && data == nullptr))
        return 0;
    const uint32_t length = n + PACKET_HEADER_SIZE;
    write_u32le(buf, length);
    buf[PACKET_LENGTH_SIZE] = type;
    write_u32le(buf + PACKET_LENGTH_SIZE + 1, id);
    if (n > 0)
        std::memcpy(buf + PACKET_HEADER_SIZE, data, n);
    return length;
}

PacketCutter::PacketCutter() : m_buf(), m_nCarry(0), m_nPos(0), m_nEnd(0) {}

void PacketCutter::Received(uint32_t n) {
    const uint32_t room = PACKET_RECV_BUFFER - m_nCarry;
    m_nPos = 0;
    m_nEnd = m_nCarry + (n < room ? n : room);
    m_nCarry = 0;
}

PacketCutter::Result PacketCutter::Next(Packet *out, uint32_t *pBadLength) {
    const uint32_t r = m_nEnd - m_nPos;
    if (r == 0)
        return CUT_NEED_MORE;
    if (r < PACKET_LENGTH_SIZE)
        return Carry(r);

    const unsigned char *p = m_buf + m_nPos;
    const uint32_t length = read_u32le(p);
    if (IsInvalid(length, p, r)) {
        // The rest of this read cannot be framed: drop it.
        m_nPos = m_nEnd = 0;
        if (pBadLength)
            *pBadLength = length;
        return CUT_INVALID_LENGTH;
    }
    if (length > r)
        return Carry(r);

    if (out) {
        out->msg = p + PACKET_LENGTH_SIZE;
        out->size = length - PACKET_LENGTH_SIZE;
    }
    m_nPos += length;
    return CUT_PACKET;
}

bool PacketCutter::IsInvalid(uint32_t length, const unsigned char *p, uint32_t r) {
    if (length <= PACKET_LENGTH_SIZE || length > PACKET_MAX_IN)
        return true;
    // The type byte is only looked at once it has arrived.
    return r > PACKET_LENGTH_SIZE && p[PACKET_LENGTH_SIZE] == PACKET_TYPE_DATA &&
           length < PACKET_HEADER_SIZE;
}

PacketCutter::Result PacketCutter::Carry(uint32_t r) {
    if (m_nPos != 0)
        std::memmove(m_buf, m_buf + m_nPos, r);
    m_nCarry = r;
    m_nPos = m_nEnd = 0;
    return CUT_NEED_MORE;
}
