// qorcachingallocator.h: QORCachingAllocator, the library's concrete
// allocator. It sits on a block allocator (core/memory/qorblockallocator.h)
// that keeps freed blocks for reuse, so a request's memory is taken without
// the heap and given back in one garbageCollect() call. Until initialize()
// it serves from the heap.
//
// An allocator that serves objects of one class at the request rate can
// keep one freed block per thread (enableThreadCache), so that taking and
// giving back an object usually passes by the block allocator's mutex. A
// kept block stays allocated in this allocator until its thread takes it
// again, the thread ends, or the allocator collects or dies.
#pragma once
#include <atomic>
#include "core/memory/qorallocator.h"
#include "core/memory/qorblockallocator.h"
#include "core/system/qorstatus.h"

class QORCachingAllocator : public QORAllocator {
public:
    QORCachingAllocator() = default;
    // Garbage-collects, then deletes the block allocator; a failure to
    // delete it (for example blocks outstanding with QOR_ALLOC_CHECK_EMPTY
    // cannot be, after the collection) stops the process.
    ~QORCachingAllocator() override;

    // Creates the block allocator with flags plus QOR_ALLOC_VARIABLE and
    // QOR_ALLOC_GROW, QOR_ALLOC_NAMED when name is given, and the debugging
    // flags configured for memoryType (core/memory/qormemtypeflags.h).
    // Returns the creation status. Call once.
    QORStatus initialize(unsigned memoryType, unsigned flags,
                         const char* name, unsigned initialBlocks,
                         unsigned blockSize);

    // Frees every allocation made from this allocator at once.
    // REQUIRES: nothing allocated from it is used afterwards.
    void garbageCollect();

    // From now on every block is at least objectSize bytes and each thread
    // keeps the last block it freed for its next allocation of at most
    // that size. Call after initialize, before any allocation.
    void enableThreadCache(unsigned objectSize);

    // The block allocator (null before initialize).
    qor_allocator_t handle() const { return m_handle; }

protected:
    void* do_allocate(unsigned size) override;
    void do_deallocate(void* p) override;
    // The old size is not needed: the block knows its own.
    void* do_reallocate(void* p, unsigned oldSize, unsigned newSize) override;
    void* do_duplicate(const void* p, unsigned size) override;

private:
    // The size asked of the block allocator for size bytes.
    unsigned blockFor(unsigned size) const
    {
        return size < m_threadCacheSize ? m_threadCacheSize : size;
    }
    void forgetThreadCaches();

    qor_allocator_t m_handle = nullptr;
    // 0: no thread cache.
    unsigned m_threadCacheSize = 0;
    // Where each thread keeps its block for this allocator (with a cache).
    int m_slot = 0;
    // What the threads' kept blocks are filed under; a new one on every
    // collection, so that no thread reuses a block collected under it.
    std::atomic<unsigned long> m_cacheID{0};
};
