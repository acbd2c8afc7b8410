// Stamped packets for the integrity check: packet n carries id n (low 32
// bits), a payload whose size follows from n, its full number in the first
// 8 bytes, filler derived from n, and a checksum of all that in the last 4.
// The receiver can so tell a lost, reordered, cut or corrupted packet.
#pragma once

#include <cstdint>

#include "relay/packet.h"

namespace bench {

const uint32_t STAMP_MIN_PAYLOAD = 12;

// Mostly small packets, now and then one of the largest a server may send,
// so that packets straddle reads and the carry is exercised.
inline uint32_t StampedPayloadSize(uint64_t n) {
    if (n % 997 == 0)
        return PACKET_MAX_IN - PACKET_HEADER_SIZE;
    return STAMP_MIN_PAYLOAD + static_cast<uint32_t>((n * 2654435761u) >> 7) % 117;
}

inline uint32_t StampChecksum(const unsigned char *p, uint32_t n) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

inline void StampPayload(unsigned char *p, uint32_t size, uint64_t n) {
    write_u32le(p, static_cast<uint32_t>(n));
    write_u32le(p + 4, static_cast<uint32_t>(n >> 32));
    const uint32_t body = size - 4;
    for (uint32_t i = 8; i < body; ++i)
        p[i] = static_cast<unsigned char>(n * 31 + i);
    write_u32le(p + body, StampChecksum(p, body));
}

// The stamped number of a packet of at least STAMP_MIN_PAYLOAD bytes.
inline uint64_t StampOf(const unsigned char *p) {
    return read_u32le(p) | (static_cast<uint64_t>(read_u32le(p + 4)) << 32);
}

// True when the packet is stamped packet n, whole and unchanged.
inline bool StampMatches(uint32_t id, const unsigned char *p, int32_t size, uint64_t n) {
    if (size < static_cast<int32_t>(STAMP_MIN_PAYLOAD) ||
        static_cast<uint32_t>(size) != StampedPayloadSize(n) || id != static_cast<uint32_t>(n))
        return false;
    const uint32_t body = static_cast<uint32_t>(size) - 4;
    return StampOf(p) == n && read_u32le(p + body) == StampChecksum(p, body);
}

} // namespace bench
