#include "wire.h"

namespace testkit {

uint32_t GetU32le(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutU32le(Bytes *out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::string ToHex(const uint8_t *data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0x0f]);
    }
    return text;
}

std::string ToHex(const Bytes &data) {
    return ToHex(data.data(), data.size());
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string &text, Bytes *out) {
    if (text.size() % 2 != 0)
        return false;
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexValue(text[i]);
        int lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    out->swap(bytes);
    return true;
}

Bytes ToBytes(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

uint32_t Fnv1a32(const uint8_t *data, size_t n) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < n; ++i) {
        hash ^= data[i];
        hash *= 16777619u;
    }
    return hash;
}

Bytes EncodePacket(uint8_t type, uint32_t id, const Bytes &data) {
    Bytes packet;
    packet.reserve(WIRE_HEADER_SIZE + data.size());
    PutU32le(&packet, static_cast<uint32_t>(WIRE_HEADER_SIZE + data.size()));
    packet.push_back(type);
    PutU32le(&packet, id);
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

void WireParser::Feed(const uint8_t *data, size_t n, std::vector<WirePacket> *out) {
    if (m_bMalformed)
        return;
    m_pending.insert(m_pending.end(), data, data + n);
    size_t pos = 0;
    while (m_pending.size() - pos >= 4) {
        const uint8_t *p = m_pending.data() + pos;
        uint32_t length = GetU32le(p);
        if (length < WIRE_HEADER_SIZE || length > m_nMaxLength) {
            m_bMalformed = true;
            m_nBadLength = length;
            break;
        }
        if (m_pending.size() - pos < length)
            break;
        WirePacket packet;
        packet.type = p[4];
        packet.id = GetU32le(p + 5);
        packet.data.assign(p + WIRE_HEADER_SIZE, p + length);
        out->push_back(std::move(packet));
        pos += length;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(pos));
}

} // namespace testkit
