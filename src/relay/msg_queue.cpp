#include "relay/msg_queue.h"

#include <cstring>
#include <new>

namespace {

const uint32_t RECORD_PREFIX = 4;

uint32_t load_size(const unsigned char *p) {
    uint32_t n;
    std::memcpy(&n, p, sizeof n);
    return n;
}

void store_size(unsigned char *p, uint32_t n) {
    std::memcpy(p, &n, sizeof n);
}

} // namespace

MsgQueue::MsgQueue()
    : m_pStorage(nullptr), m_nCapacity(0), m_nLimit(0), m_nRead(0), m_nWrite(0), m_nWrapMark(0),
      m_nUsed(0), m_nCount(0) {}

MsgQueue::~MsgQueue() {
    delete[] m_pStorage;
}

int MsgQueue::Allocate(uint32_t size) {
    unsigned char *pNew = size > 0 ? new (std::nothrow) unsigned char[size] : nullptr;
    unsigned char *pOld;
    {
        plat::LockGuard guard(m_lock);
        pOld = m_pStorage;
        m_pStorage = pNew;
        m_nCapacity = pNew ? size : 0;
        m_nLimit = m_nCapacity;
        ResetOffsets();
    }
    delete[] pOld;
    return pNew ? 0 : -1;
}

int MsgQueue::Push(const void *data, uint32_t n) {
    if (n == 0)
        return 0;
    if (data == nullptr)
        return -1;
    plat::LockGuard guard(m_lock);
    uint32_t offset;
    if (!FindRoom(static_cast<uint64_t>(n) + RECORD_PREFIX, &offset))
        return -1;
    store_size(m_pStorage + offset, n);
    std::memcpy(m_pStorage + offset + RECORD_PREFIX, data, n);
    m_nWrite = offset + n + RECORD_PREFIX;
    m_nUsed += n + RECORD_PREFIX;
    ++m_nCount;
    return 0;
}

// Picks the offset for a record of need bytes, wrapping the writer to 0 when
// the record fits before the reader but not at the end. The comparisons are
// strict so the writer never reaches the reader or the end of the storage.
bool MsgQueue::FindRoom(uint64_t need, uint32_t *pOffset) {
    const uint64_t half = m_nCapacity / 2;
    if (m_pStorage == nullptr || half == 0 || need >= half - 1)
        return false;
    if (need + m_nUsed >= m_nLimit)
        return false;
    if (m_nWrite >= m_nRead) {
        if (m_nWrite + need < m_nCapacity) {
            *pOffset = m_nWrite;
            return true;
        }
        if (need >= m_nRead)
            return false;
        m_nWrapMark = m_nWrite;
        m_nWrite = 0;
        if (m_nRead == m_nWrapMark)
            m_nRead = 0;
        *pOffset = 0;
        return true;
    }
    if (m_nWrite + need >= m_nRead)
        return false;
    *pOffset = m_nWrite;
    return true;
}

int MsgQueue::Pop(void *dest, uint32_t destSize, uint32_t *pSize) {
    if (pSize)
        *pSize = 0;
    plat::LockGuard guard(m_lock);
    if (m_nCount == 0 || m_pStorage == nullptr)
        return -1;
    const uint32_t n = RecordSizeAtRead();
    if (n == UINT32_MAX) {
        // The bookkeeping no longer describes the storage: drop everything
        // rather than copy from outside the record.
        ResetOffsets();
        return -1;
    }
    const uint32_t nCopy = n < destSize ? n : destSize;
    if (dest && nCopy > 0)
        std::memcpy(dest, m_pStorage + m_nRead + RECORD_PREFIX, nCopy);
    if (pSize)
        *pSize = n;

    m_nRead += n + RECORD_PREFIX;
    if (m_nWrite < m_nRead && m_nRead == m_nWrapMark)
        m_nRead = 0;
    --m_nCount;
    m_nUsed -= n + RECORD_PREFIX;
    if (m_nCount == 0)
        ResetOffsets();
    return 0;
}

// Size of the record at the read offset, or UINT32_MAX when its prefix or
// its bytes would reach past the storage or past the bytes held.
uint32_t MsgQueue::RecordSizeAtRead() const {
    if (static_cast<uint64_t>(m_nRead) + RECORD_PREFIX > m_nCapacity)
        return UINT32_MAX;
    const uint32_t n = load_size(m_pStorage + m_nRead);
    const uint64_t need = static_cast<uint64_t>(n) + RECORD_PREFIX;
    if (m_nRead + need > m_nCapacity || need > m_nUsed)
        return UINT32_MAX;
    return n;
}

void MsgQueue::Clear() {
    plat::LockGuard guard(m_lock);
    ResetOffsets();
}

uint32_t MsgQueue::UsedBytes() {
    plat::LockGuard guard(m_lock);
    return m_nUsed;
}

uint32_t MsgQueue::Count() {
    plat::LockGuard guard(m_lock);
    return m_nCount;
}

void MsgQueue::ResetOffsets() {
    m_nRead = 0;
    m_nWrite = 0;
    m_nWrapMark = 0;
    m_nUsed = 0;
    m_nCount = 0;
}
