// A locked ring buffer of length-prefixed records: a 32-bit size n followed
// by n bytes, always stored in one piece. Storage is allocated once; push
// and pop copy without allocating.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class MsgQueue {
public:
    MsgQueue();
    ~MsgQueue();
    MsgQueue(const MsgQueue &) = delete;
    MsgQueue &operator=(const MsgQueue &) = delete;

    // Allocates the ring (replacing any earlier one) and empties it; -1 when
    // the allocation fails or size is 0, after which every record is refused.
    int Allocate(uint32_t size);
    // Stores one record of n bytes; 0, or -1 when it does not fit (or the
    // queue has no storage). n == 0 stores nothing and succeeds.
    int Push(const void *data, uint32_t n);
    // Takes the oldest record: copies at most destSize of its bytes to dest
    // and stores its full size in *pSize. 0, or -1 (and *pSize = 0) when empty.
    // A record whose size does not fit the bytes held empties the queue.
    int Pop(void *dest, uint32_t destSize, uint32_t *pSize);
    void Clear();
    uint32_t UsedBytes();
    uint32_t Count();
    // The queue's own lock (re-entrant), for a caller that must act on the
    // queue's state and something of its own in one step.
    plat::Lock &GetLock() { return m_lock; }

private:
    // Called with the lock held.
    bool FindRoom(uint64_t need, uint32_t *pOffset);
    uint32_t RecordSizeAtRead() const;
    void ResetOffsets();

    unsigned char *m_pStorage;
    uint32_t m_nCapacity;
    uint32_t m_nLimit;
    uint32_t m_nRead;
    uint32_t m_nWrite;
    uint32_t m_nWrapMark;
    uint32_t m_nUsed;
    uint32_t m_nCount;
    plat::Lock m_lock;
};
