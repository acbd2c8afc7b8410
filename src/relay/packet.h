// The wire format between the relay and the VOZevezu: a 4-byte little-endian
// length counting the whole packet, a type byte, a 4-byte id, then data.
#pragma once

#include <cstdint>
#include <cstring>

const uint32_t PACKET_LENGTH_SIZE = 4;
const uint32_t PACKET_HEADER_SIZE = 9; // length, type, id
const int32_t PACKET_MAX_OUT_PAYLOAD = 800;
const uint32_t PACKET_MAX_OUT = 809;
const uint32_t PACKET_MAX_IN = 5000;
const uint32_t PACKET_RECV_BUFFER = 10000;
const uint32_t PACKET_RECV_CHUNK = 5000;

const unsigned char PACKET_TYPE_DATA = 'D';
const unsigned char PACKET_TYPE_KEY = 'K';
const unsigned char PACKET_TYPE_CHECK = 'C';

// Little-endian 32-bit load and store, at any alignment. Inline, like the
// framing and the cutting below: they run once or more per message.
inline uint32_t read_u32le(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void write_u32le(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// Builds one packet in buf (room for PACKET_MAX_OUT bytes) from a payload of
// 0 to 800 bytes; returns its length, n + 9. A payload above 800 bytes, or a
// null payload with n > 0, writes nothing and returns 0.
inline uint32_t frame_packet(unsigned char *buf, unsigned char type, uint32_t id, const void *data,
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

// One packet handed on from the receive buffer, without its length field:
// msg points at the type byte and size is length - 4. Valid until the next
// call of Next or Received.
struct Packet {
    const unsigned char *msg;
    uint32_t size;
    unsigned char type() const { return msg[0]; }
};

// Cuts a byte stream into packets in place, across reads, with no
// allocation: read into RecvPtr() at most PACKET_RECV_CHUNK bytes, call
// Received(n), then call Next until it returns CUT_NEED_MORE. Type dispatch
// is the caller's job; the cutter only frames.
//
// A packet is judged as soon as the bytes that decide it have arrived:
// - its length (once the 4 length bytes are there) is invalid when it is
//   below 5 (the type byte would lie outside the packet) or above 5000;
// - a 'D' packet (once its type byte is there) is invalid when its length is
//   below 9, since its id would be incomplete.
// An invalid packet ends the cutting of the current read: Next reports
// CUT_INVALID_LENGTH with the declared length, the unread bytes of the read
// are dropped, nothing is carried, and the next read is cut as if its first
// byte began a packet. No byte outside the ones received is ever looked at.
//
// An incomplete tail (fewer than 4 bytes, or fewer than length) is moved to
// the front of the buffer once and carried; it is at most 4999 bytes, so
// the carry plus one full read always fit.
class PacketCutter {
public:
    enum Result {
        CUT_NEED_MORE,      // nothing complete is left; the tail is carried
        CUT_PACKET,         // *out holds the next packet
        CUT_INVALID_LENGTH, // *pBadLength holds the length; the rest of the read is dropped
    };

    PacketCutter();
    unsigned char *RecvPtr() { return m_buf + m_nCarry; }
    uint32_t Carried() const { return m_nCarry; }
    // Starts cutting the carried bytes and the n bytes just read. A count
    // beyond the free room of the buffer is cut down to it. Call it only
    // after Next has returned CUT_NEED_MORE (or before the first read).
    void Received(uint32_t n);
    // Cuts the next packet. pBadLength may be null.
    Result Next(Packet *out, uint32_t *pBadLength) {
        const uint32_t r = m_nEnd - m_nPos;
        if (r == 0)
            return CUT_NEED_MORE;
        if (r < PACKET_LENGTH_SIZE)
            return Carry(r);

        const unsigned char *p = m_buf + m_nPos;
        const uint32_t length = read_u32le(p);
        if (IsInvalid(length, p, r))
            return DropRead(length, pBadLength);
        if (length > r)
            return Carry(r);

        if (out) {
            out->msg = p + PACKET_LENGTH_SIZE;
            out->size = length - PACKET_LENGTH_SIZE;
        }
        m_nPos += length;
        return CUT_PACKET;
    }

private:
    static bool IsInvalid(uint32_t length, const unsigned char *p, uint32_t r) {
        if (length <= PACKET_LENGTH_SIZE || length > PACKET_MAX_IN)
            return true;
        // The type byte is only looked at once it has arrived.
        return r > PACKET_LENGTH_SIZE && p[PACKET_LENGTH_SIZE] == PACKET_TYPE_DATA &&
               length < PACKET_HEADER_SIZE;
    }
    // The rest of this read cannot be framed: drops it.
    Result DropRead(uint32_t length, uint32_t *pBadLength);
    // Moves the r unread bytes to the front and keeps them for the next read.
    Result Carry(uint32_t r);

    // Aligned so that the reads into it copy at full speed.
    alignas(64) unsigned char m_buf[PACKET_RECV_BUFFER];
    uint32_t m_nCarry; // bytes kept at the front from earlier reads
    uint32_t m_nPos;   // next unread byte while cutting
    uint32_t m_nEnd;   // end of the bytes being cut
};
