#include <gtest/gtest.h>

#include "wire.h"

using namespace testkit;

namespace {

TEST(Wire, EncodesTheDocumentedExample) {
    // A "D" packet with id 7 and data "abc".
    Bytes expected = {0x0C, 0x00, 0x00, 0x00, 0x44, 0x07, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
    EXPECT_EQ(expected, EncodePacket('D', 7, ToBytes("abc")));
    Bytes keepAlive = {0x09, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(keepAlive, EncodePacket('C', 0, Bytes()));
}

TEST(Wire, ParserDeliversPacketsSplitAtEveryByte) {
    Bytes stream = EncodePacket('D', 0x01020304, ToBytes("hello"));
    Bytes second = EncodePacket('K', 9, Bytes{1, 0, 0, 0});
    stream.insert(stream.end(), second.begin(), second.end());

    WireParser parser;
    std::vector<WirePacket> packets;
    for (uint8_t byte : stream)
        parser.Feed(&byte, 1, &packets);
    ASSERT_EQ(2u, packets.size());
    EXPECT_EQ('D', packets[0].type);
    EXPECT_EQ(0x01020304u, packets[0].id);
    EXPECT_EQ(ToBytes("hello"), packets[0].data);
    EXPECT_EQ('K', packets[1].type);
    EXPECT_EQ(9u, packets[1].id);
    EXPECT_EQ(0u, parser.PendingBytes());
    EXPECT_FALSE(parser.Malformed());
}

TEST(Wire, ParserKeepsAnIncompleteTail) {
    Bytes stream = EncodePacket('D', 1, Bytes(20, 0xAA));
    WireParser parser;
    std::vector<WirePacket> packets;
    parser.Feed(stream.data(), stream.size() - 1, &packets);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(stream.size() - 1, parser.PendingBytes());
    parser.Feed(&stream.back(), 1, &packets);
    ASSERT_EQ(1u, packets.size());
    EXPECT_EQ(Bytes(20, 0xAA), packets[0].data);
}

TEST(Wire, ParserStopsAtImpossibleLengths) {
    for (uint32_t length : {0u, 8u, 5001u}) {
        WireParser parser(5000);
        std::vector<WirePacket> packets;
        Bytes stream;
        PutU32le(&stream, length);
        Bytes after = EncodePacket('D', 1, Bytes());
        stream.insert(stream.end(), 20, 0);
        stream.insert(stream.end(), after.begin(), after.end());
        parser.Feed(stream.data(), stream.size(), &packets);
        EXPECT_TRUE(parser.Malformed()) << length;
        EXPECT_EQ(length, parser.BadLength());
        EXPECT_TRUE(packets.empty()) << length;
    }
}

TEST(Wire, HexAndHash) {
    Bytes bytes;
    ASSERT_TRUE(FromHex("00ff7F10", &bytes));
    EXPECT_EQ((Bytes{0x00, 0xff, 0x7f, 0x10}), bytes);
    EXPECT_EQ("00ff7f10", ToHex(bytes));
    EXPECT_FALSE(FromHex("abc", &bytes));
    EXPECT_FALSE(FromHex("zz", &bytes));
    // Published FNV-1a 32 test vectors.
    EXPECT_EQ(0x811c9dc5u, Fnv1a32(nullptr, 0));
    Bytes a = ToBytes("a");
    EXPECT_EQ(0xe40c292cu, Fnv1a32(a.data(), a.size()));
    Bytes foobar = ToBytes("foobar");
    EXPECT_EQ(0xbf9cf968u, Fnv1a32(foobar.data(), foobar.size()));
}

} // namespace
