// Byte helpers and an independent packet codec for tests and tools: a packet
// is a 4-byte little-endian length counting the whole packet, a type byte, a
// 4-byte little-endian id, then data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

typedef std::vector<uint8_t> Bytes;

const uint32_t WIRE_HEADER_SIZE = 9;

struct WirePacket {
    uint8_t type = 0;
    uint32_t id = 0;
    Bytes data;
};

uint32_t GetU32le(const uint8_t *p);
void PutU32le(Bytes *out, uint32_t v);

// Lowercase hex, two digits per byte.
std::string ToHex(const uint8_t *data, size_t n);
std::string ToHex(const Bytes &data);
// Parses an even number of hex digits (either case); false on anything else.
bool FromHex(const std::string &text, Bytes *out);
Bytes ToBytes(const std::string &text);

// FNV-1a, 32 bits.
uint32_t Fnv1a32(const uint8_t *data, size_t n);

Bytes EncodePacket(uint8_t type, uint32_t id, const Bytes &data);

// Cuts a byte stream into packets across arbitrary write boundaries. A length
// below the 9-byte header or above the maximum marks the stream malformed;
// parsing stops there, since no later boundary can be trusted.
class WireParser {
public:
    explicit WireParser(uint32_t nMaxLength = 1u << 20) : m_nMaxLength(nMaxLength) {}
    // Appends bytes and moves every completed packet to out.
    void Feed(const uint8_t *data, size_t n, std::vector<WirePacket> *out);
    bool Malformed() const { return m_bMalformed; }
    uint32_t BadLength() const { return m_nBadLength; }
    size_t PendingBytes() const { return m_pending.size(); }

private:
    Bytes m_pending;
    uint32_t m_nMaxLength;
    uint32_t m_nBadLength = 0;
    bool m_bMalformed = false;
};

} // namespace testkit
