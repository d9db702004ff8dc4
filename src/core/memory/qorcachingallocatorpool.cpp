// qorcachingallocatorpool.cpp: the pool of per-user caching allocators.
#include "core/memory/qorcachingallocatorpool.h"

#include <cstdio>

namespace {

// Block size of the pool's own allocator, which holds list entries and the
// allocator objects themselves.
const unsigned kBookkeepingBlockSize = 24;

} // namespace

QORCachingAllocatorPool::QORCachingAllocatorPool(int clockInterval)
    : m_list(true, &m_allocator, clockInterval)
{
}

QORCachingAllocatorPool::~QORCachingAllocatorPool() = default;

QORStatus QORCachingAllocatorPool::initialize(int memoryType, unsigned minimum,
                                              unsigned initialBlocks,
                                              unsigned blockSize,
                                              unsigned timeout)
{
    m_memoryType = memoryType;
    m_initialBlocks = initialBlocks;
    m_blockSize = blockSize;
    QORStatus status = m_allocator.initialize(unsigned(memoryType), 0, nullptr,
                                              minimum, kBookkeepingBlockSize);
    if (status != qor_s_ok)
        return status;
    status = m_list.initialize(timeout, minimum);
    if (status != qor_s_ok)
        return status;
    return initialize(minimum);
}

QORStatus QORCachingAllocatorPool::initialize(unsigned n)
{
    if (n == 0)
        return qor_s_ok;
    // Holding each allocator while asking for the next forces a new one.
    QORCachingAllocator* allocator = getAllocator();
    if (allocator == nullptr)
        return qor_s_no_memory;
    QORStatus status = initialize(n - 1);
    returnAllocator(allocator);
    return status;
}

QORCachingAllocator* QORCachingAllocatorPool::getAllocator()
{
    m_list.lock();
    QORExpiringList<QORCachingAllocator>::Entry* entry = m_list.remove();
    if (entry != nullptr) {
        QORCachingAllocator* allocator = entry->detach();
        m_list.unlock();
        delete entry;
        return allocator;
    }
    QORCachingAllocator* allocator = qor_new<QORCachingAllocator>(&m_allocator);
    if (allocator == nullptr) {
        m_list.unlock();
        return nullptr;
    }
    char name[16];
    snprintf(name, sizeof name, "%u", ++m_counter);
    QORStatus status = allocator->initialize(unsigned(m_memoryType),
                                             QOR_ALLOC_NOLOCK, name,
                                             m_initialBlocks, m_blockSize);
    m_list.unlock();
    if (status != qor_s_ok) {
        qor_delete(allocator);
        return nullptr;
    }
    return allocator;
}

void QORCachingAllocatorPool::returnAllocator(QORCachingAllocator* allocator)
{
    allocator->garbageCollect();
    m_list.lock();
    QORExpiringList<QORCachingAllocator>::Entry* entry =
        m_list.newEntry(allocator, true);
    if (entry != nullptr)
        m_list.add(entry);
    m_list.unlock();
    if (entry == nullptr)
        qor_delete(allocator);
}

unsigned QORCachingAllocatorPool::idle()
{
    m_list.lock();
    unsigned n = m_list.entries();
    m_list.unlock();
    return n;
}
