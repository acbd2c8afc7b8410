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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "fuzz_check.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// The largest record a push asks for: n % (capacity + 8) with a capacity of
// at most 4096.
const uint32_t MAX_RECORD = 4096 + 8 - 1;

// A record is known by its size and serial: its bytes follow from them.
struct Record {
    uint32_t nSize;
    uint32_t nSerial;
};

// The ring's bookkeeping as the rules give it. A record takes n + 4 bytes
// and never wraps; all comparisons are strict, so the writer never reaches
// the reader or the end of the storage.
class RingModel {
public:
    explicit RingModel(uint64_t capacity) : m_capacity(capacity), m_limit(capacity) {}

    bool Push(Record record) {
        if (record.nSize == 0)
            return true;
        const uint64_t need = uint64_t(record.nSize) + 4;
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

    bool Pop(Record *out) {
        if (m_records.empty())
            return false;
        *out = m_records.front();
        m_records.pop_front();
        m_read += out->nSize + 4;
        if (m_write < m_read && m_read == m_wrapMark)
            m_read = 0;
        m_used -= out->nSize + 4;
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
    std::deque<Record> m_records;
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

// 0, 1, 2, ... 255, 0, 1, ...: long enough for a record's bytes after its
// serial to start anywhere in the first 256.
typedef std::array<unsigned char, 256 + MAX_RECORD> RampBytes;

const RampBytes &Ramp() {
    static const RampBytes ramp = [] {
        RampBytes r;
        for (size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<unsigned char>(i);
        return r;
    }();
    return ramp;
}

// Byte i of a record: its serial's for i < 4, then serial * 31 + i. Every
// record differs from its neighbours in its first bytes.
unsigned char SerialByte(uint32_t serial, size_t i) {
    return static_cast<unsigned char>(serial >> (8 * i));
}

const unsigned char *RecordTail(uint32_t serial) {
    return Ramp().data() + ((serial * 31 + 4) & 0xFF);
}

void FillRecord(unsigned char *p, Record record) {
    for (uint32_t i = 0; i < record.nSize && i < 4; ++i)
        p[i] = SerialByte(record.nSerial, i);
    if (record.nSize > 4)
        std::memcpy(p + 4, RecordTail(record.nSerial), record.nSize - 4);
}

// The n bytes at p are the first n of the record.
bool RecordMatches(const unsigned char *p, Record record, size_t n) {
    for (size_t i = 0; i < n && i < 4; ++i) {
        if (p[i] != SerialByte(record.nSerial, i))
            return false;
    }
    return n <= 4 || std::memcmp(p + 4, RecordTail(record.nSerial), n - 4) == 0;
}

// Storage for one record to push, kept from one input to the next. The bytes
// past the record are poisoned, so that AddressSanitizer catches a read past
// it as it would on storage of exactly the record's size.
class RecordBuffer {
public:
    RecordBuffer() : m_bytes(MAX_RECORD) {}
    ~RecordBuffer() { ASAN_UNPOISON_MEMORY_REGION(m_bytes.data(), m_bytes.size()); }

    // Null for an empty record, as the data of an empty vector.
    const unsigned char *Make(Record record) {
        ASAN_UNPOISON_MEMORY_REGION(m_bytes.data(), m_bytes.size());
        FillRecord(m_bytes.data(), record);
        ASAN_POISON_MEMORY_REGION(m_bytes.data() + record.nSize, m_bytes.size() - record.nSize);
        return record.nSize > 0 ? m_bytes.data() : nullptr;
    }

private:
    Bytes m_bytes;
};

// All n bytes at p equal c: the first does, and each equals the next.
bool AllBytesAre(const unsigned char *p, size_t n, unsigned char c) {
    return n == 0 || (p[0] == c && std::memcmp(p, p + 1, n - 1) == 0);
}

void CheckPop(MsgQueue &q, RingModel &model, uint32_t destSize, Bytes &buf) {
    Record expected = {0, 0};
    const bool bExpected = model.Pop(&expected);
    uint32_t n = 0xFFFFFFFFu;
    std::memset(buf.data(), 0xEE, buf.size());
    const int res = q.Pop(buf.data(), destSize, &n);
    if (!bExpected) {
        FUZZ_CHECK(res == -1 && n == 0, "pop on an empty queue gave %d, size %u", res, n);
        return;
    }
    FUZZ_CHECK(res == 0, "an accepted record of %u bytes could not be popped", expected.nSize);
    FUZZ_CHECK(n == expected.nSize, "popped size %u, expected %u", n, expected.nSize);
    const size_t copied = expected.nSize < destSize ? expected.nSize : destSize;
    FUZZ_CHECK(RecordMatches(buf.data(), expected, copied),
               "popped bytes differ from the record pushed");
    FUZZ_CHECK(AllBytesAre(buf.data() + copied, buf.size() - copied, 0xEE),
               "pop wrote past %zu bytes", copied);
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
            const Record record = {n % (capacity + 8), ++serial};
            static RecordBuffer bytes;
            const bool bFits = model.Push(record);
            const int res = q.Push(bytes.Make(record), record.nSize);
            FUZZ_CHECK(res == (bFits ? 0 : -1), "push of %u bytes gave %d, the ring rules say %s",
                       record.nSize, res, bFits ? "it fits" : "it does not fit");
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
