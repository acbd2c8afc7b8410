// Feeds a byte stream to a PacketCutter in reads whose sizes the input
// chooses and checks every result against a reference cutter that sees the
// whole stream at once.
//
// Input layout: byte 0 gives k = byte % 16; then k read sizes of two bytes
// each, little-endian, each taken as 1 + value % PACKET_RECV_CHUNK and used in
// turn; k = 0 means reads of PACKET_RECV_CHUNK bytes. The rest is the stream.
#include "relay/packet.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"

namespace {

const size_t MAX_READ_SIZES = 15;

// One expected result of Next: a packet at an offset of the stream, or an
// invalid length.
struct Expected {
    bool bInvalid;
    uint32_t nLength;
    size_t nOffset;
};

uint32_t load_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The outcome of cutting stream[from, size) in one piece.
struct ReferenceCut {
    bool bInvalid = false;
    uint32_t nBadLength = 0;
    size_t nDecidedAt = 0; // index of the last byte needed to judge the invalid packet
    size_t nStop = 0;      // where cutting stopped
};

// The reference: packets, appended to *pAll, until the bytes run out or a
// packet is invalid. A length is invalid below 5 or above 5000; a 'D' packet
// is invalid below 9 once its type byte is there.
ReferenceCut CutWhole(const uint8_t *s, size_t size, size_t from, std::vector<Expected> *pAll) {
    ReferenceCut cut;
    size_t pos = from;
    while (size - pos >= 4) {
        const size_t r = size - pos;
        const uint32_t length = load_le32(s + pos);
        if (length < 5 || length > 5000) {
            cut.bInvalid = true;
            cut.nBadLength = length;
            cut.nDecidedAt = pos + 3;
            break;
        }
        if (r > 4 && s[pos + 4] == 'D' && length < 9) {
            cut.bInvalid = true;
            cut.nBadLength = length;
            cut.nDecidedAt = pos + 4;
            break;
        }
        if (length > r)
            break;
        pAll->push_back(Expected{false, length, pos});
        pos += length;
    }
    cut.nStop = pos;
    return cut;
}

// Everything the cutter must report for the stream read in these reads: an
// invalid packet drops the rest of the read that made it invalid, and
// cutting starts afresh with the next read. Both the read ends and the
// places where invalid packets are decided rise, so the search for the read
// after one goes on from where the last one stopped.
void ExpectAll(const uint8_t *s, size_t size, const std::vector<size_t> &readEnds,
               std::vector<Expected> *pAll, size_t *pCarry) {
    size_t pos = 0;
    size_t read = 0;
    *pCarry = 0;
    for (;;) {
        const ReferenceCut cut = CutWhole(s, size, pos, pAll);
        if (!cut.bInvalid) {
            *pCarry = size - cut.nStop;
            return;
        }
        pAll->push_back(Expected{true, cut.nBadLength, 0});
        while (read < readEnds.size() && readEnds[read] <= cut.nDecidedAt)
            ++read;
        if (read == readEnds.size() || readEnds[read] >= size)
            return;
        pos = readEnds[read];
    }
}

void ReadEnds(const std::vector<uint32_t> &sizes, size_t streamSize, std::vector<size_t> *pEnds) {
    size_t pos = 0;
    for (size_t i = 0; pos < streamSize; ++i) {
        pos += sizes.empty() ? PACKET_RECV_CHUNK : sizes[i % sizes.size()];
        if (pos > streamSize)
            pos = streamSize;
        pEnds->push_back(pos);
    }
}

class Checker {
public:
    Checker(const uint8_t *s, const std::vector<Expected> &expected)
        : m_s(s), m_expected(expected) {}

    void Read(size_t from, size_t to) {
        const unsigned char *base = m_cutter.RecvPtr() - m_cutter.Carried();
        const uint32_t carry = m_cutter.Carried();
        const size_t n = to - from;
        FUZZ_CHECK(n <= PACKET_RECV_CHUNK && carry + n <= PACKET_RECV_BUFFER,
                   "carry %u plus read %zu overflow the buffer", carry, n);
        std::memcpy(m_cutter.RecvPtr(), m_s + from, n);
        m_cutter.Received(uint32_t(n));
        const unsigned char *fedEnd = base + carry + n;
        for (;;) {
            Packet pkt = {nullptr, 0};
            uint32_t nBad = 0;
            const PacketCutter::Result res = m_cutter.Next(&pkt, &nBad);
            if (res == PacketCutter::CUT_NEED_MORE)
                break;
            if (res == PacketCutter::CUT_INVALID_LENGTH) {
                CheckInvalid(nBad);
                FUZZ_CHECK(m_cutter.Next(&pkt, &nBad) == PacketCutter::CUT_NEED_MORE &&
                               m_cutter.Carried() == 0,
                           "bytes after an invalid length were kept");
                break;
            }
            FUZZ_CHECK(res == PacketCutter::CUT_PACKET, "unknown result %d", int(res));
            CheckPacket(pkt, base, fedEnd);
        }
        CheckCarry(base, to);
    }

    void Finish(size_t expectedCarry) {
        FUZZ_CHECK(m_next == m_expected.size(), "%zu of %zu expected results missing",
                   m_expected.size() - m_next, m_expected.size());
        FUZZ_CHECK(m_cutter.Carried() == expectedCarry, "carried %u bytes at the end, expected %zu",
                   m_cutter.Carried(), expectedCarry);
    }

private:
    const Expected &TakeExpected() {
        FUZZ_CHECK(m_next < m_expected.size(), "more results than the reference has (%zu)",
                   m_expected.size());
        return m_expected[m_next++];
    }

    void CheckInvalid(uint32_t nBad) {
        const Expected &e = TakeExpected();
        FUZZ_CHECK(e.bInvalid && e.nLength == nBad,
                   "result %zu: invalid length %u reported, expected %s %u", m_next - 1, nBad,
                   e.bInvalid ? "invalid" : "packet of length", e.nLength);
    }

    void CheckPacket(const Packet &pkt, const unsigned char *base, const unsigned char *fedEnd) {
        FUZZ_CHECK(pkt.msg != nullptr && pkt.msg >= base + PACKET_LENGTH_SIZE &&
                       pkt.msg + pkt.size <= base + PACKET_RECV_BUFFER &&
                       pkt.msg + pkt.size <= fedEnd,
                   "packet of size %u lies outside the bytes fed", pkt.size);
        const uint32_t declared = read_u32le(pkt.msg - PACKET_LENGTH_SIZE);
        FUZZ_CHECK(pkt.size + PACKET_LENGTH_SIZE == declared, "size %u against declared length %u",
                   pkt.size, declared);
        FUZZ_CHECK(declared >= 5 && declared <= PACKET_MAX_IN, "length %u delivered", declared);
        FUZZ_CHECK(pkt.type() != PACKET_TYPE_DATA || declared >= PACKET_HEADER_SIZE,
                   "'D' packet of length %u delivered", declared);
        const Expected &e = TakeExpected();
        FUZZ_CHECK(!e.bInvalid && e.nLength == declared &&
                       std::memcmp(pkt.msg - PACKET_LENGTH_SIZE, m_s + e.nOffset, declared) == 0,
                   "result %zu: packet of length %u differs from the reference (%s %u at %zu)",
                   m_next - 1, declared, e.bInvalid ? "invalid" : "packet", e.nLength, e.nOffset);
    }

    // The carried bytes are the last ones of the stream read so far.
    void CheckCarry(const unsigned char *base, size_t readEnd) {
        const uint32_t carry = m_cutter.Carried();
        FUZZ_CHECK(carry < PACKET_MAX_IN && carry <= readEnd, "carried %u bytes", carry);
        FUZZ_CHECK(std::memcmp(base, m_s + readEnd - carry, carry) == 0,
                   "carried bytes differ from the stream's last %u", carry);
    }

    const uint8_t *m_s;
    const std::vector<Expected> &m_expected;
    size_t m_next = 0;
    PacketCutter m_cutter;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t k = data[0] % (MAX_READ_SIZES + 1);
    if (k > (size - 1) / 2)
        k = (size - 1) / 2;
    // Kept from one input to the next so that their storage is allocated
    // once, not grown again for every input.
    static std::vector<uint32_t> sizes;
    static std::vector<size_t> readEnds;
    static std::vector<Expected> expected;
    sizes.clear();
    readEnds.clear();
    expected.clear();
    for (size_t i = 0; i < k; ++i)
        sizes.push_back(1 + (data[1 + 2 * i] | data[2 + 2 * i] << 8) % PACKET_RECV_CHUNK);
    const uint8_t *stream = data + 1 + 2 * k;
    const size_t streamSize = size - 1 - 2 * k;

    ReadEnds(sizes, streamSize, &readEnds);
    size_t expectedCarry = 0;
    ExpectAll(stream, streamSize, readEnds, &expected, &expectedCarry);
    Checker checker(stream, expected);
    size_t from = 0;
    for (size_t end : readEnds) {
        checker.Read(from, end);
        from = end;
    }
    checker.Finish(expectedCarry);
    return 0;
}
