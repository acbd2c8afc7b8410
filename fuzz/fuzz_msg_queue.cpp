// Runs sequences of push, pop, clear and used-bytes on a small MsgQueue and
// checks each step against a model of the ring: its own read, write and
// wrap-mark offsets decide which pushes fit, and a FIFO of the records
// accepted says what each pop must return.
//
// Input layout: two bytes little-endian choose the capacity, 16 + value %
// 4081 (16 to 4096). Then one operation per byte:
//   op % 8 in 0..3  push; the next byte is n, and with bit 7 of op set the
//                   byte after it is n's high byte; n is taken % (capacity + 8)
//   op % 8 in 4..5  pop, into a roomy buffer, or with bit 7 set into a
//                   buffer of (op >> 3) % 16 bytes
//   op % 8 == 6     clear
//   op % 8 == 7     used bytes
#include "relay/msg_queue.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz_check.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// The ring's bookkeeping as the rules give it. A record takes n + 4 bytes
// and never wraps; all comparisons are strict, so the writer never reaches
// the reader or the end of the storage.
class RingModel {
public:
    explicit RingModel(uint64_t capacity) : m_capacity(capacity), m_limit(capacity) {}

    bool Push(const Bytes &record) {
        if (record.empty())
            return true;
        const uint64_t need = record.size() + 4;
        if (need >= m_capacity / 2 - 1 || need + m_used >= m_limit)
            return false;
        if (m_write >= m_read) {
            if (m_write + need >= m_capacity) {
                if (need >= m_read)
                    return false;
                m_wrapMark = m_write;
                m_write = 0;
                if (m_read == m_wrapMark)
                    m_read = 0;
            }
        } else if (m_write + need >= m_read) {
            return false;
        }
        m_write += need;
        m_used += need;
        m_records.push_back(record);
        return true;
    }

    bool Pop(Bytes *out) {
        if (m_records.empty())
            return false;
        *out = m_records.front();
        m_records.pop_front();
        m_read += out->size() + 4;
        if (m_write < m_read && m_read == m_wrapMark)
            m_read = 0;
        m_used -= out->size() + 4;
        if (m_records.empty())
            Clear();
        return true;
    }

    void Clear() {
        m_read = m_write = m_wrapMark = m_used = 0;
        m_records.clear();
    }

    uint64_t Used() const { return m_used; }
    size_t Count() const { return m_records.size(); }

private:
    uint64_t m_capacity;
    uint64_t m_limit;
    uint64_t m_read = 0;
    uint64_t m_write = 0;
    uint64_t m_wrapMark = 0;
    uint64_t m_used = 0;
    std::deque<Bytes> m_records;
};

class Input {
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    unsigned Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Every record differs from its neighbours in its first bytes.
Bytes MakeRecord(uint32_t n, uint32_t serial) {
    Bytes b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(i < 4 ? serial >> (8 * i) : serial * 31 + i);
    return b;
}

void CheckPop(MsgQueue &q, RingModel &model, uint32_t destSize, Bytes &buf) {
    Bytes expected;
    const bool bExpected = model.Pop(&expected);
    uint32_t n = 0xFFFFFFFFu;
    std::memset(buf.data(), 0xEE, buf.size());
    const int res = q.Pop(buf.data(), destSize, &n);
    if (!bExpected) {
        FUZZ_CHECK(res == -1 && n == 0, "pop on an empty queue gave %d, size %u", res, n);
        return;
    }
    FUZZ_CHECK(res == 0, "an accepted record of %zu bytes could not be popped", expected.size());
    FUZZ_CHECK(n == expected.size(), "popped size %u, expected %zu", n, expected.size());
    const size_t copied = expected.size() < destSize ? expected.size() : destSize;
    FUZZ_CHECK(std::memcmp(buf.data(), expected.data(), copied) == 0,
               "popped bytes differ from the record pushed");
    for (size_t i = copied; i < buf.size(); ++i)
        FUZZ_CHECK(buf[i] == 0xEE, "pop wrote past %zu bytes", copied);
}

void CheckCounts(MsgQueue &q, const RingModel &model) {
    FUZZ_CHECK(q.Count() == model.Count(), "count %u, expected %zu", q.Count(), model.Count());
    FUZZ_CHECK(q.UsedBytes() == model.Used(), "used bytes %u, expected %llu", q.UsedBytes(),
               (unsigned long long)model.Used());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint32_t capacity = 16 + (in.Byte() | in.Byte() << 8) % 4081;
    MsgQueue q;
    FUZZ_CHECK(q.Allocate(capacity) == 0, "allocating %u bytes failed", capacity);
    RingModel model(capacity);
    Bytes buf(capacity + 8);
    uint32_t serial = 0;

    while (!in.Empty()) {
        const unsigned op = in.Byte();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            uint32_t n = in.Byte();
            if (op & 0x80)
                n |= in.Byte() << 8;
            const Bytes record = MakeRecord(n % (capacity + 8), ++serial);
            const bool bFits = model.Push(record);
            const int res = q.Push(record.data(), uint32_t(record.size()));
            FUZZ_CHECK(res == (bFits ? 0 : -1), "push of %zu bytes gave %d, the ring rules say %s",
                       record.size(), res, bFits ? "it fits" : "it does not fit");
            break;
        }
        case 4:
        case 5:
            CheckPop(q, model, (op & 0x80) ? (op >> 3) % 16 : uint32_t(buf.size()), buf);
            break;
        case 6:
            q.Clear();
            model.Clear();
            break;
        default:
            break; // used bytes: compared below after every operation
        }
        CheckCounts(q, model);
    }
    // Whatever was accepted and not popped comes out, in order.
    while (model.Count() > 0) {
        CheckPop(q, model, uint32_t(buf.size()), buf);
        CheckCounts(q, model);
    }
    CheckPop(q, model, uint32_t(buf.size()), buf);
    return 0;
}
