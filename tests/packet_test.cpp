#include "relay/packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Encodes a packet independently of the code under test: the declared
// length may differ from the real size, so broken packets can be built too.
Bytes Encode(uint32_t length, unsigned char type, uint32_t id, const Bytes &payload) {
    Bytes b;
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(length >> (8 * i)));
    b.push_back(type);
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(id >> (8 * i)));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Wire(unsigned char type, uint32_t id, const Bytes &payload) {
    return Encode(static_cast<uint32_t>(payload.size() + 9), type, id, payload);
}

// A packet that stops after the type byte and `extra` further bytes.
Bytes ShortPacket(unsigned char type, uint32_t extra) {
    Bytes b = {static_cast<unsigned char>(5 + extra), 0, 0, 0, type};
    for (uint32_t i = 0; i < extra; ++i)
        b.push_back(static_cast<unsigned char>(0xA0 + i));
    return b;
}

Bytes Filler(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed * 31 + i * 7);
    return b;
}

Bytes Concat(const std::vector<Bytes> &parts) {
    Bytes b;
    for (const Bytes &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

// What one Next call produced: a packet (its bytes after the length field)
// or an invalid length.
struct Event {
    bool bInvalid;
    uint32_t nBadLength;
    Bytes msg;
    bool operator==(const Event &o) const {
        return bInvalid == o.bInvalid && nBadLength == o.nBadLength && msg == o.msg;
    }
};

Event Delivered(const Bytes &packet) {
    return Event{false, 0, Bytes(packet.begin() + 4, packet.end())};
}
Event Invalid(uint32_t length) {
    return Event{true, length, Bytes()};
}

std::string Describe(const std::vector<Event> &events) {
    std::string s;
    for (const Event &e : events)
        s += e.bInvalid ? "bad(" + std::to_string(e.nBadLength) + ") "
                        : "pkt(" + std::to_string(e.msg.size()) + ") ";
    return s;
}

class Feeder {
public:
    // Hands one read to the cutter and drains it, checking that every
    // packet lies inside the cutter's buffer.
    void Read(const unsigned char *data, size_t n) {
        ASSERT_LE(n, PACKET_RECV_CHUNK);
        const unsigned char *base = m_cutter.RecvPtr() - m_cutter.Carried();
        std::memcpy(m_cutter.RecvPtr(), data, n);
        m_cutter.Received(static_cast<uint32_t>(n));
        for (int guard = 0; guard <= 10000; ++guard) {
            Packet pkt = {nullptr, 0};
            uint32_t nBad = 0;
            PacketCutter::Result res = m_cutter.Next(&pkt, &nBad);
            if (res == PacketCutter::CUT_NEED_MORE)
                return;
            if (res == PacketCutter::CUT_INVALID_LENGTH) {
                m_events.push_back(Invalid(nBad));
                continue;
            }
            ASSERT_EQ(res, PacketCutter::CUT_PACKET);
            ASSERT_GE(pkt.size, 1u);
            ASSERT_GE(pkt.msg, base);
            ASSERT_LE(pkt.msg + pkt.size, base + PACKET_RECV_BUFFER);
            m_events.push_back(Event{false, 0, Bytes(pkt.msg, pkt.msg + pkt.size)});
        }
        FAIL() << "Next never returned CUT_NEED_MORE";
    }
    void Read(const Bytes &b) { Read(b.data(), b.size()); }
    void ReadInChunks(const Bytes &b, const std::vector<size_t> &cuts) {
        size_t from = 0;
        for (size_t cut : cuts) {
            Read(b.data() + from, cut - from);
            from = cut;
        }
        Read(b.data() + from, b.size() - from);
    }

    PacketCutter m_cutter;
    std::vector<Event> m_events;
};

// A stream of every well-formed kind: D with and without data, K short and
// full, C bare and with a body.
Bytes MixedStream(std::vector<Event> *expected) {
    std::vector<Bytes> parts = {
        Wire('D', 7, {0x61, 0x62, 0x63}),
        Wire('K', 0x01020304, {9, 0, 0, 0}),
        ShortPacket('K', 0),
        Wire('D', 0xFFFFFFFF, {}),
        Wire('C', 0, {}),
        ShortPacket('K', 2),
        Wire('C', 5, {1, 2}),
        Wire('D', 42, Filler(20, 3)),
    };
    for (const Bytes &p : parts)
        expected->push_back(Delivered(p));
    return Concat(parts);
}

} // namespace

// ---- Byte order and framing ---------------------------------------------

TEST(PacketCodec, LittleEndianAtAnyAlignment) {
    unsigned char buf[8] = {};
    for (int off = 0; off < 4; ++off) {
        std::memset(buf, 0xEE, sizeof buf);
        write_u32le(buf + off, 0x11223344u);
        EXPECT_EQ(buf[off], 0x44);
        EXPECT_EQ(buf[off + 3], 0x11);
        if (off > 0)
            EXPECT_EQ(buf[off - 1], 0xEE);
        EXPECT_EQ(buf[off + 4], 0xEE);
        EXPECT_EQ(read_u32le(buf + off), 0x11223344u);
    }
    const unsigned char high[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(read_u32le(high), 0xFFFFFFFFu);
}

TEST(PacketCodec, FramesTheExamplePacket) {
    unsigned char buf[PACKET_MAX_OUT];
    const unsigned char abc[3] = {0x61, 0x62, 0x63};
    ASSERT_EQ(frame_packet(buf, 'D', 7, abc, 3), 12u);
    EXPECT_EQ(Bytes(buf, buf + 12), Wire('D', 7, {0x61, 0x62, 0x63}));
}

TEST(PacketCodec, FramesKeepAliveAndLimits) {
    unsigned char buf[PACKET_MAX_OUT];
    ASSERT_EQ(frame_packet(buf, 'C', 0, nullptr, 0), 9u);
    EXPECT_EQ(Bytes(buf, buf + 9), (Bytes{0x09, 0, 0, 0, 0x43, 0, 0, 0, 0}));

    const Bytes big = Filler(800, 5);
    ASSERT_EQ(frame_packet(buf, 'X', 0xA1B2C3D4, big.data(), 800), 809u);
    EXPECT_EQ(Bytes(buf, buf + 809), Wire('X', 0xA1B2C3D4, big));

    std::memset(buf, 0xEE, sizeof buf);
    const Bytes tooBig = Filler(801, 6);
    EXPECT_EQ(frame_packet(buf, 'D', 1, tooBig.data(), 801), 0u);
    EXPECT_EQ(frame_packet(buf, 'D', 1, nullptr, 5), 0u);
    EXPECT_EQ(buf[0], 0xEE);
}

// ---- Cutting well-formed streams ----------------------------------------

TEST(PacketCutter, DeliversTheExamplePacket) {
    Feeder f;
    f.Read(Bytes{0x0C, 0, 0, 0, 0x44, 0x07, 0, 0, 0, 0x61, 0x62, 0x63});
    ASSERT_EQ(f.m_events.size(), 1u);
    EXPECT_EQ(f.m_events[0].msg, (Bytes{0x44, 0x07, 0, 0, 0, 0x61, 0x62, 0x63}));
    EXPECT_EQ(f.m_cutter.Carried(), 0u);
}

TEST(PacketCutter, NothingReceivedNeedsMore) {
    PacketCutter cutter;
    Packet pkt = {nullptr, 0};
    EXPECT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_NEED_MORE);
    cutter.Received(0);
    EXPECT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_NEED_MORE);
    EXPECT_EQ(cutter.Carried(), 0u);
}

TEST(PacketCutter, CoalescedPacketsComeOutInOrder) {
    std::vector<Event> expected;
    Feeder f;
    f.Read(MixedStream(&expected));
    EXPECT_EQ(f.m_events, expected) << Describe(f.m_events);
    EXPECT_EQ(f.m_cutter.Carried(), 0u);
}

TEST(PacketCutter, EverySplitPointGivesTheSamePackets) {
    std::vector<Event> expected;
    const Bytes stream = MixedStream(&expected);
    for (size_t i = 0; i <= stream.size(); ++i) {
        for (size_t j = i; j <= stream.size(); ++j) {
            Feeder f;
            f.ReadInChunks(stream, {i, j});
            ASSERT_EQ(f.m_events, expected)
                << "cuts at " << i << "," << j << ": " << Describe(f.m_events);
            ASSERT_EQ(f.m_cutter.Carried(), 0u);
        }
    }
}

TEST(PacketCutter, OneByteAtATime) {
    std::vector<Event> expected;
    const Bytes stream = MixedStream(&expected);
    Feeder f;
    size_t nDelivered = 0;
    for (size_t i = 0; i < stream.size(); ++i) {
        f.Read(&stream[i], 1);
        // A packet comes out exactly when its last byte has arrived.
        if (f.m_events.size() > nDelivered) {
            EXPECT_EQ(f.m_cutter.Carried(), 0u) << "at byte " << i;
            nDelivered = f.m_events.size();
        }
    }
    EXPECT_EQ(f.m_events, expected) << Describe(f.m_events);
}

TEST(PacketCutter, SplitLengthFieldIsCarried) {
    const Bytes pkt = Wire('D', 3, {1, 2, 3, 4});
    for (size_t cut = 1; cut < 4; ++cut) {
        Feeder f;
        f.Read(pkt.data(), cut);
        EXPECT_TRUE(f.m_events.empty());
        EXPECT_EQ(f.m_cutter.Carried(), cut);
        f.Read(pkt.data() + cut, pkt.size() - cut);
        ASSERT_EQ(f.m_events.size(), 1u);
        EXPECT_EQ(f.m_events[0], Delivered(pkt));
    }
}

TEST(PacketCutter, KeepAliveAndKeyPacketsAreDelivered) {
    const Bytes k = Wire('K', 11, {5, 0, 0, 0});
    const Bytes c = Bytes{0x09, 0, 0, 0, 0x43, 0, 0, 0, 0};
    Feeder f;
    f.Read(Concat({c, k}));
    ASSERT_EQ(f.m_events.size(), 2u);
    EXPECT_EQ(f.m_events[0].msg[0], 'C');
    EXPECT_EQ(f.m_events[0].msg.size(), 5u);
    EXPECT_EQ(f.m_events[1], Delivered(k));
}

// ---- Size limits and carry ------------------------------------------------

TEST(PacketCutter, LargestPacketIsAccepted) {
    const Bytes big = Wire('D', 9, Filler(PACKET_MAX_IN - 9, 1));
    ASSERT_EQ(big.size(), 5000u);
    Feeder f;
    f.Read(big);
    ASSERT_EQ(f.m_events.size(), 1u);
    EXPECT_EQ(f.m_events[0], Delivered(big));
}

TEST(PacketCutter, LargestCarryThenFullRead) {
    const Bytes big = Wire('D', 1, Filler(PACKET_MAX_IN - 9, 2));
    const Bytes next = Wire('K', 2, Filler(4999 - 9, 3));
    Feeder f;
    f.Read(big.data(), 4999);
    EXPECT_TRUE(f.m_events.empty());
    ASSERT_EQ(f.m_cutter.Carried(), 4999u);

    // The last byte of the big packet and a whole 4999-byte packet.
    Bytes read = Concat({Bytes(1, big.back()), next});
    ASSERT_EQ(read.size(), PACKET_RECV_CHUNK);
    f.Read(read);
    ASSERT_EQ(f.m_events.size(), 2u);
    EXPECT_EQ(f.m_events[0], Delivered(big));
    EXPECT_EQ(f.m_events[1], Delivered(next));
    EXPECT_EQ(f.m_cutter.Carried(), 0u);
}

TEST(PacketCutter, OversizedReadCountIsCutToTheBuffer) {
    PacketCutter cutter;
    const Bytes big = Wire('D', 1, Filler(PACKET_MAX_IN - 9, 4));
    const Bytes last = Wire('K', 2, Filler(PACKET_MAX_IN - 9, 5));
    std::memcpy(cutter.RecvPtr(), big.data(), 4999);
    cutter.Received(4999);
    Packet pkt = {nullptr, 0};
    ASSERT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_NEED_MORE);
    ASSERT_EQ(cutter.Carried(), 4999u);

    // The buffer is filled to its last byte, and the count claims more.
    unsigned char *p = cutter.RecvPtr();
    p[0] = big.back();
    std::memcpy(p + 1, last.data(), last.size());
    cutter.Received(2 * PACKET_RECV_BUFFER);
    ASSERT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_PACKET);
    EXPECT_EQ(Bytes(pkt.msg, pkt.msg + pkt.size), Bytes(big.begin() + 4, big.end()));
    ASSERT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_PACKET);
    EXPECT_EQ(Bytes(pkt.msg, pkt.msg + pkt.size), Bytes(last.begin() + 4, last.end()));
    EXPECT_EQ(cutter.Next(&pkt, nullptr), PacketCutter::CUT_NEED_MORE);
    EXPECT_EQ(cutter.Carried(), 0u);
}

// ---- Invalid lengths ------------------------------------------------------

TEST(PacketCutter, TooLongDropsTheRestOfTheRead) {
    const Bytes before = Wire('D', 1, {1});
    const Bytes after = Wire('D', 2, {2});
    const Bytes bad = Encode(PACKET_MAX_IN + 1, 'D', 3, Filler(10, 1));
    Feeder f;
    f.Read(Concat({before, bad, after}));
    ASSERT_EQ(f.m_events.size(), 2u);
    EXPECT_EQ(f.m_events[0], Delivered(before));
    EXPECT_EQ(f.m_events[1], Invalid(5001));
    EXPECT_EQ(f.m_cutter.Carried(), 0u);

    // The next read is cut from its first byte.
    f.Read(after);
    ASSERT_EQ(f.m_events.size(), 3u);
    EXPECT_EQ(f.m_events[2], Delivered(after));
}

TEST(PacketCutter, ZeroAndHugeLengthsAreInvalid) {
    for (uint32_t len : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        Feeder f;
        f.Read(Concat({Encode(len, 'D', 0, {}), Wire('C', 0, {})}));
        ASSERT_EQ(f.m_events.size(), 1u) << len;
        EXPECT_EQ(f.m_events[0], Invalid(len));
        EXPECT_EQ(f.m_cutter.Carried(), 0u);
    }
}

TEST(PacketCutter, LengthWithoutTypeByteIsInvalid) {
    const Bytes tail = Wire('D', 8, {8});
    for (uint32_t len = 1; len <= 4; ++len) {
        Feeder f;
        f.Read(Concat({Bytes{static_cast<unsigned char>(len), 0, 0, 0}, tail}));
        ASSERT_EQ(f.m_events.size(), 1u) << len;
        EXPECT_EQ(f.m_events[0], Invalid(len));
        EXPECT_EQ(f.m_cutter.Carried(), 0u);
    }
}

TEST(PacketCutter, DataPacketWithoutFullIdIsInvalid) {
    const Bytes tail = Wire('K', 8, {8, 0, 0, 0});
    for (uint32_t extra = 0; extra <= 3; ++extra) {
        const Bytes shortD = ShortPacket('D', extra);
        Feeder whole;
        whole.Read(Concat({shortD, tail}));
        ASSERT_EQ(whole.m_events.size(), 1u) << extra;
        EXPECT_EQ(whole.m_events[0], Invalid(5 + extra));
        EXPECT_EQ(whole.m_cutter.Carried(), 0u);

        // Only the length field in the first read: judged once the type
        // byte arrives.
        Feeder split;
        split.Read(shortD.data(), 4);
        EXPECT_TRUE(split.m_events.empty());
        split.Read(Concat({Bytes(shortD.begin() + 4, shortD.end()), tail}));
        ASSERT_EQ(split.m_events.size(), 1u) << extra;
        EXPECT_EQ(split.m_events[0], Invalid(5 + extra));
        EXPECT_EQ(split.m_cutter.Carried(), 0u);
    }
}

TEST(PacketCutter, ShortKeyAndKeepAlivePacketsAreFine) {
    for (unsigned char type : {'K', 'C'}) {
        for (uint32_t extra = 0; extra <= 3; ++extra) {
            const Bytes pkt = ShortPacket(type, extra);
            Feeder f;
            f.Read(pkt);
            ASSERT_EQ(f.m_events.size(), 1u);
            EXPECT_EQ(f.m_events[0], Delivered(pkt));
            EXPECT_EQ(f.m_events[0].msg.size(), 1u + extra);
        }
    }
}
