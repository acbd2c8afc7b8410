#include "relay/msg_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Record(uint32_t n, unsigned seed) {
    Bytes b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed * 13 + i);
    return b;
}

int Push(MsgQueue &q, const Bytes &b) {
    return q.Push(b.data(), static_cast<uint32_t>(b.size()));
}

// Pops one record into a roomy buffer; empty vector and false when the
// queue gives nothing.
bool PopRecord(MsgQueue &q, Bytes *out) {
    Bytes buf(8192);
    uint32_t n = 12345;
    if (q.Pop(buf.data(), static_cast<uint32_t>(buf.size()), &n) != 0) {
        EXPECT_EQ(n, 0u);
        out->clear();
        return false;
    }
    EXPECT_LE(n, buf.size());
    out->assign(buf.begin(), buf.begin() + n);
    return true;
}

// A queue of 64 bytes: a record needs n + 4 < 64 / 2 - 1 = 31, so n <= 26.
class MsgQueueSmall : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_q.Allocate(64), 0); }
    MsgQueue m_q;
};

} // namespace

// ---- Order and basic operations --------------------------------------------

TEST_F(MsgQueueSmall, PopsInPushOrder) {
    const std::vector<Bytes> recs = {Record(1, 1), Record(26, 2), Record(5, 3)};
    for (const Bytes &r : recs)
        ASSERT_EQ(Push(m_q, r), 0);
    EXPECT_EQ(m_q.Count(), 3u);
    EXPECT_EQ(m_q.UsedBytes(), (1u + 4) + (26 + 4) + (5 + 4));
    for (const Bytes &r : recs) {
        Bytes got;
        ASSERT_TRUE(PopRecord(m_q, &got));
        EXPECT_EQ(got, r);
    }
    EXPECT_EQ(m_q.Count(), 0u);
    EXPECT_EQ(m_q.UsedBytes(), 0u);
}

TEST_F(MsgQueueSmall, ZeroLengthStoresNothing) {
    const unsigned char b = 1;
    EXPECT_EQ(m_q.Push(&b, 0), 0);
    EXPECT_EQ(m_q.Count(), 0u);
    EXPECT_EQ(m_q.UsedBytes(), 0u);
    Bytes got;
    EXPECT_FALSE(PopRecord(m_q, &got));
}

TEST_F(MsgQueueSmall, PopOnEmptyReportsSizeZero) {
    Bytes got;
    EXPECT_FALSE(PopRecord(m_q, &got));
    uint32_t n = 99;
    EXPECT_EQ(m_q.Pop(nullptr, 0, &n), -1);
    EXPECT_EQ(n, 0u);
}

TEST_F(MsgQueueSmall, PopIntoSmallBufferCopiesPrefixAndReportsFullSize) {
    const Bytes big = Record(20, 4), next = Record(3, 5);
    ASSERT_EQ(Push(m_q, big), 0);
    ASSERT_EQ(Push(m_q, next), 0);
    unsigned char dest[12];
    std::memset(dest, 0xEE, sizeof dest);
    uint32_t n = 0;
    ASSERT_EQ(m_q.Pop(dest, 8, &n), 0);
    EXPECT_EQ(n, 20u);
    EXPECT_EQ(Bytes(dest, dest + 8), Bytes(big.begin(), big.begin() + 8));
    EXPECT_EQ(dest[8], 0xEE);
    // The record is gone whole; the next one is intact.
    Bytes got;
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, next);
}

TEST_F(MsgQueueSmall, ClearEmptiesAndKeepsStorage) {
    ASSERT_EQ(Push(m_q, Record(26, 1)), 0);
    ASSERT_EQ(Push(m_q, Record(10, 2)), 0);
    m_q.Clear();
    EXPECT_EQ(m_q.Count(), 0u);
    EXPECT_EQ(m_q.UsedBytes(), 0u);
    Bytes got;
    EXPECT_FALSE(PopRecord(m_q, &got));
    const Bytes r = Record(26, 3);
    ASSERT_EQ(Push(m_q, r), 0);
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, r);
}

// ---- Capacity boundaries ---------------------------------------------------

TEST(MsgQueue, LargeQueueBoundaryIsStrict) {
    MsgQueue q;
    ASSERT_EQ(q.Allocate(1048576), 0);
    // n + 4 < 524,287 is the largest record an empty queue takes.
    const Bytes fits = Record(524282, 1);
    EXPECT_EQ(Push(q, Record(524283, 2)), -1);
    EXPECT_EQ(q.Count(), 0u);
    ASSERT_EQ(Push(q, fits), 0);
    EXPECT_EQ(q.UsedBytes(), 524286u);
    Bytes got(524282);
    uint32_t n = 0;
    ASSERT_EQ(q.Pop(got.data(), static_cast<uint32_t>(got.size()), &n), 0);
    EXPECT_EQ(n, 524282u);
    EXPECT_EQ(got, fits);
}

TEST_F(MsgQueueSmall, HalfCapacityBoundaryIsStrict) {
    EXPECT_EQ(Push(m_q, Record(27, 1)), -1); // need 31 is not below 31
    EXPECT_EQ(m_q.Count(), 0u);
    EXPECT_EQ(Push(m_q, Record(26, 1)), 0); // need 30
}

TEST_F(MsgQueueSmall, UsedPlusNeedReachingTheLimitIsRefused) {
    // 30 + 29 held; a 5-byte need would make 64.
    ASSERT_EQ(Push(m_q, Record(26, 1)), 0);
    ASSERT_EQ(Push(m_q, Record(25, 2)), 0);
    EXPECT_EQ(Push(m_q, Record(1, 3)), -1);
    EXPECT_EQ(m_q.UsedBytes(), 59u);
    EXPECT_EQ(m_q.Count(), 2u);
}

TEST_F(MsgQueueSmall, UsedPlusNeedBelowTheLimitIsAccepted) {
    // 30 + 28 held; a 5-byte need makes 63.
    ASSERT_EQ(Push(m_q, Record(26, 1)), 0);
    ASSERT_EQ(Push(m_q, Record(24, 2)), 0);
    EXPECT_EQ(Push(m_q, Record(1, 3)), 0);
    EXPECT_EQ(m_q.UsedBytes(), 63u);
    EXPECT_EQ(Push(m_q, Record(1, 4)), -1);
}

// ---- Wrapping --------------------------------------------------------------

TEST_F(MsgQueueSmall, WrapsToTheStartAndPopsInTurn) {
    const Bytes a = Record(26, 1), b = Record(16, 2), c = Record(16, 3);
    ASSERT_EQ(Push(m_q, a), 0); // 0..30
    ASSERT_EQ(Push(m_q, b), 0); // 30..50
    Bytes got;
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, a);
    // 50 + 20 reaches the end, but 20 < 30 fits before the reader.
    ASSERT_EQ(Push(m_q, c), 0);
    EXPECT_EQ(m_q.UsedBytes(), 40u);
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, b);
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, c);
    EXPECT_EQ(m_q.UsedBytes(), 0u);
    // Empty again: the whole ring is free from offset 0.
    ASSERT_EQ(Push(m_q, Record(26, 4)), 0);
    ASSERT_EQ(Push(m_q, Record(25, 5)), 0);
}

TEST_F(MsgQueueSmall, WrappedWriterStaysStrictlyBeforeReader) {
    ASSERT_EQ(Push(m_q, Record(26, 1)), 0); // 0..30
    ASSERT_EQ(Push(m_q, Record(16, 2)), 0); // 30..50
    Bytes got;
    ASSERT_TRUE(PopRecord(m_q, &got));      // read = 30
    ASSERT_EQ(Push(m_q, Record(16, 3)), 0); // wraps: 0..20
    EXPECT_EQ(Push(m_q, Record(6, 4)), -1); // 20 + 10 would reach the reader
    const Bytes d = Record(5, 5);
    ASSERT_EQ(Push(m_q, d), 0); // 20 + 9 = 29 < 30
    EXPECT_EQ(m_q.Count(), 3u);
    std::vector<unsigned> seeds;
    while (PopRecord(m_q, &got))
        seeds.push_back(got[0]);
    EXPECT_EQ(seeds, (std::vector<unsigned>{Record(16, 2)[0], Record(16, 3)[0], d[0]}));
}

TEST_F(MsgQueueSmall, RefusesWhenNeitherEndNorStartHasRoom) {
    const Bytes b = Record(16, 2);
    ASSERT_EQ(Push(m_q, Record(26, 1)), 0); // 0..30
    ASSERT_EQ(Push(m_q, b), 0);             // 30..50
    Bytes got;
    ASSERT_TRUE(PopRecord(m_q, &got)); // read = 30
    // need 30: 50 + 30 passes the end and 30 is not below the reader.
    EXPECT_EQ(Push(m_q, Record(26, 3)), -1);
    EXPECT_EQ(m_q.Count(), 1u);
    EXPECT_EQ(m_q.UsedBytes(), 20u);
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, b);
}

TEST_F(MsgQueueSmall, WriterNeverReachesTheEnd) {
    ASSERT_EQ(Push(m_q, Record(16, 1)), 0); // 0..20
    ASSERT_EQ(Push(m_q, Record(10, 2)), 0); // 20..34
    Bytes got;
    ASSERT_TRUE(PopRecord(m_q, &got)); // read = 20
    // 34 + 30 would end exactly at the end, and 30 is not below the reader.
    EXPECT_EQ(Push(m_q, Record(26, 3)), -1);
    const Bytes last = Record(25, 4);
    ASSERT_EQ(Push(m_q, last), 0); // 34 + 29 = 63
    ASSERT_TRUE(PopRecord(m_q, &got));
    ASSERT_TRUE(PopRecord(m_q, &got));
    EXPECT_EQ(got, last);
}

// ---- Storage ---------------------------------------------------------------

TEST(MsgQueue, WithoutStorageRefusesEverything) {
    MsgQueue q;
    EXPECT_EQ(Push(q, Record(1, 1)), -1);
    Bytes got;
    EXPECT_FALSE(PopRecord(q, &got));
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_EQ(q.UsedBytes(), 0u);

    EXPECT_EQ(q.Allocate(0), -1);
    EXPECT_EQ(Push(q, Record(1, 2)), -1);
    EXPECT_FALSE(PopRecord(q, &got));
}

TEST(MsgQueue, TinyStorageTakesNothing) {
    for (uint32_t cap : {1u, 2u, 3u, 12u}) {
        MsgQueue q;
        ASSERT_EQ(q.Allocate(cap), 0);
        EXPECT_EQ(Push(q, Record(1, 1)), -1) << cap;
        EXPECT_EQ(q.Count(), 0u);
    }
}

TEST(MsgQueue, HugeSizeIsRefusedWithoutWrapping) {
    MsgQueue q;
    ASSERT_EQ(q.Allocate(64), 0);
    const unsigned char b[8] = {};
    // n + 4 would wrap to a small number in 32 bits.
    EXPECT_EQ(q.Push(b, 0xFFFFFFFEu), -1);
    EXPECT_EQ(q.Push(b, 0xFFFFFFFCu), -1);
    EXPECT_EQ(q.Count(), 0u);
}

TEST(MsgQueue, AllocateReplacesAndEmpties) {
    MsgQueue q;
    ASSERT_EQ(q.Allocate(64), 0);
    ASSERT_EQ(Push(q, Record(10, 1)), 0);
    ASSERT_EQ(q.Allocate(128), 0);
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_EQ(q.UsedBytes(), 0u);
    // 128 / 2 - 1 = 63: need 62 fits now, need 63 does not.
    const Bytes r = Record(58, 2);
    EXPECT_EQ(Push(q, Record(59, 3)), -1);
    ASSERT_EQ(Push(q, r), 0);
    Bytes got;
    ASSERT_TRUE(PopRecord(q, &got));
    EXPECT_EQ(got, r);
}

// ---- Two threads -----------------------------------------------------------

TEST(MsgQueue, ProducerAndConsumerThreads) {
    MsgQueue q;
    ASSERT_EQ(q.Allocate(4096), 0); // small, so the ring wraps often
    const uint32_t kRecords = 20000;
    const uint64_t deadline = plat::monotonic_ms() + 60000;
    std::atomic<bool> bGiveUp(false);

    // Record i: its number, then bytes derived from it; 4 to 1000 bytes.
    auto make = [](uint32_t i) {
        Bytes b(4 + (i * 37) % 997);
        std::memcpy(b.data(), &i, 4);
        for (size_t k = 4; k < b.size(); ++k)
            b[k] = static_cast<unsigned char>(i + k);
        return b;
    };

    std::thread producer([&] {
        for (uint32_t i = 0; i < kRecords && !bGiveUp; ++i) {
            const Bytes b = make(i);
            while (Push(q, b) != 0 && !bGiveUp)
                std::this_thread::yield();
        }
    });

    uint32_t nNext = 0, nBad = 0;
    Bytes buf(2048);
    while (nNext < kRecords && plat::monotonic_ms() < deadline) {
        uint32_t n = 0;
        if (q.Pop(buf.data(), static_cast<uint32_t>(buf.size()), &n) != 0) {
            std::this_thread::yield();
            continue;
        }
        if (Bytes(buf.begin(), buf.begin() + n) != make(nNext))
            ++nBad;
        ++nNext;
    }
    bGiveUp = true;
    producer.join();

    EXPECT_EQ(nNext, kRecords);
    EXPECT_EQ(nBad, 0u);
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_EQ(q.UsedBytes(), 0u);
}
