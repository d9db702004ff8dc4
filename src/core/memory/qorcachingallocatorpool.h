// qorcachingallocatorpool.h: QORCachingAllocatorPool hands out private,
// unlocked caching allocators (one per request, say) and takes them back
// emptied for the next user. Idle allocators beyond a minimum are destroyed
// by the cleaner of the pool's expiring list once they have been idle for
// the timeout. The web-server adapter creates a pool when it wants
// per-request allocators.
#pragma once
#include "core/memory/qorcachingallocator.h"
#include "core/memory/qorexpiringlist.h"
#include "core/system/qorstatus.h"

class QORCachingAllocatorPool {
public:
    // clockInterval: seconds between refreshes of the clock that stamps
    // idle allocators, so one may outlive the timeout by about that much.
    explicit QORCachingAllocatorPool(
        int clockInterval = QOR_EXPIRING_LIST_CLOCK_INTERVAL);
    QORCachingAllocatorPool(const QORCachingAllocatorPool&) = delete;
    QORCachingAllocatorPool& operator=(const QORCachingAllocatorPool&) = delete;
    // Stops the cleaner and deletes every idle allocator.
    // REQUIRES: every allocator handed out has been returned.
    virtual ~QORCachingAllocatorPool();

    // memoryType names the allocators the pool makes (a message id);
    // minimum allocators are made at once and kept however long they stay
    // idle; each allocator starts with initialBlocks blocks of blockSize
    // bytes; idle allocators beyond the minimum live about timeout seconds
    // (0: until the pool goes). Call once. 0, XLTIC0320E when the cleaner
    // cannot start, or the status of making an allocator.
    QORStatus initialize(int memoryType, unsigned minimum,
                         unsigned initialBlocks, unsigned blockSize,
                         unsigned timeout);
    // Makes sure at least n allocators exist, idle, in the pool: 0, or
    // XLTIC0012E when one could not be made.
    QORStatus initialize(unsigned n);

    // An allocator for the caller alone (it has no lock), the most recently
    // returned one when any is idle; null when a new one cannot be made.
    // Safe from any thread.
    QORCachingAllocator* getAllocator();
    // Frees everything allocated from allocator and keeps it for reuse.
    // Safe from any thread. REQUIRES: allocator came from getAllocator, and
    // nothing allocated from it is used afterwards.
    void returnAllocator(QORCachingAllocator* allocator);

    // The number of idle allocators now.
    unsigned idle();

private:
    // Declared first so that it outlives the list, whose entries and
    // allocators live in it.
    QORCachingAllocator m_allocator;
    QORExpiringList<QORCachingAllocator> m_list;
    int m_memoryType = 0;
    unsigned m_counter = 0;
    unsigned m_initialBlocks = 0;
    unsigned m_blockSize = 0;
};
