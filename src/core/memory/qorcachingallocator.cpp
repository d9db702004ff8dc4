// qorcachingallocator.cpp: QORCachingAllocator over the block allocator.
#include "core/memory/qorcachingallocator.h"

#include <cstring>
#include "core/memory/qormemtypeflags.h"
#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"

static const QORStatus error_status_ok = qor_s_ok;

namespace {

// A block a thread keeps for the allocator whose cache ID is id (0: the
// entry is free).
struct KeptBlock {
    unsigned long id;
    void* block;
};

const int kKeptPerThread = 8;
const int kMaxThreadCaches = 32;

// The live allocators with a thread cache, for a thread that ends with
// blocks kept; the mutex also orders such an ending against the
// collections and deaths of the allocators.
struct LiveCache {
    unsigned long id;
    qor_allocator_t handle;
};
pthread_mutex_t s_liveMutex = PTHREAD_MUTEX_INITIALIZER;
LiveCache s_live[kMaxThreadCaches];
std::atomic<unsigned long> s_nextCacheID{1};

// REQUIRES: s_liveMutex.
LiveCache* liveCache(unsigned long id)
{
    for (LiveCache& c : s_live)
        if (c.id == id && id != 0)
            return &c;
    return nullptr;
}

struct ThreadCache {
    KeptBlock kept[kKeptPerThread] = {};

    ~ThreadCache()
    {
        QORMutexLock lock(s_liveMutex);
        for (KeptBlock& k : kept) {
            if (k.block != nullptr && liveCache(k.id) != nullptr)
                qor_free(k.block);
            k = KeptBlock();
        }
    }

    // The entry of id, claimed when the thread has none; null when every
    // entry is held by a live allocator.
    KeptBlock* entry(unsigned long id)
    {
        KeptBlock* free = nullptr;
        for (KeptBlock& k : kept) {
            if (k.id == id)
                return &k;
            if (k.id == 0 && free == nullptr)
                free = &k;
        }
        if (free == nullptr) {
            // Entries of allocators collected or gone since hold nothing
            // of value: their blocks went with the collection.
            QORMutexLock lock(s_liveMutex);
            for (KeptBlock& k : kept) {
                if (liveCache(k.id) == nullptr) {
                    k = KeptBlock();
                    if (free == nullptr)
                        free = &k;
                }
            }
        }
        if (free != nullptr)
            free->id = id;
        return free;
    }
};

thread_local ThreadCache t_cache;

} // namespace

void QORCachingAllocator::enableThreadCache(unsigned objectSize)
{
    QORMutexLock lock(s_liveMutex);
    LiveCache* c = nullptr;
    for (LiveCache& candidate : s_live) {
        if (candidate.id == 0) {
            c = &candidate;
            break;
        }
    }
    // Without room the allocator works as before.
    if (c == nullptr || m_handle == nullptr || objectSize == 0)
        return;
    c->id = s_nextCacheID.fetch_add(1);
    c->handle = m_handle;
    m_cacheID.store(c->id, std::memory_order_relaxed);
    m_threadCacheSize = objectSize;
}

// A new ID makes every block kept under the old one unreachable; a thread
// that finds its entry stale drops it.
void QORCachingAllocator::forgetThreadCaches()
{
    if (m_threadCacheSize == 0)
        return;
    QORMutexLock lock(s_liveMutex);
    LiveCache* c = liveCache(m_cacheID.load(std::memory_order_relaxed));
    unsigned long id = s_nextCacheID.fetch_add(1);
    if (c != nullptr)
        c->id = id;
    m_cacheID.store(id, std::memory_order_relaxed);
}

QORCachingAllocator::~QORCachingAllocator()
{
    if (m_handle == nullptr)
        return;
    if (m_threadCacheSize != 0) {
        QORMutexLock lock(s_liveMutex);
        if (LiveCache* c = liveCache(m_cacheID.load(std::memory_order_relaxed)))
            *c = LiveCache();
    }
    qor_allocator_gc(m_handle);
    QORStatus status;
    qor_allocator_delete(m_handle, &status);
    QOR_ASSERT(status == error_status_ok);
}

QORStatus QORCachingAllocator::initialize(unsigned memoryType, unsigned flags,
                                          const char* name,
                                          unsigned initialBlocks,
                                          unsigned blockSize)
{
    flags |= QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW;
    if (name != nullptr)
        flags |= QOR_ALLOC_NAMED;
    flags |= qor_memtype_flags(memoryType);
    QORStatus status;
    qor_allocator_new(flags, memoryType, name, blockSize, initialBlocks,
                      &m_handle, &status, nullptr, 0);
    return status;
}

void QORCachingAllocator::garbageCollect()
{
    if (m_handle == nullptr)
        return;
    forgetThreadCaches();
    qor_allocator_gc(m_handle);
}

void* QORCachingAllocator::do_allocate(unsigned size)
{
    if (m_threadCacheSize != 0 && size <= m_threadCacheSize) {
        KeptBlock* k = t_cache.entry(m_cacheID.load(std::memory_order_relaxed));
        if (k != nullptr && k->block != nullptr) {
            void* p = k->block;
            k->block = nullptr;
            return p;
        }
    }
    return qor_alloc_var(m_handle, blockFor(size));
}

void QORCachingAllocator::do_deallocate(void* p)
{
    if (m_threadCacheSize != 0 && p != nullptr) {
        KeptBlock* k = t_cache.entry(m_cacheID.load(std::memory_order_relaxed));
        if (k != nullptr && k->block == nullptr) {
            k->block = p;
            return;
        }
    }
    qor_free(p);
}

void* QORCachingAllocator::do_reallocate(void* p, unsigned, unsigned newSize)
{
    if (p == nullptr)
        return newSize ? qor_alloc_var(m_handle, blockFor(newSize)) : nullptr;
    return qor_realloc_var(p, newSize == 0 ? 0 : blockFor(newSize));
}

// The source may be any memory (a view's characters, a literal), not only a
// block of this allocator, so its size comes from the caller and the copy
// goes into a block of our own.
void* QORCachingAllocator::do_duplicate(const void* p, unsigned size)
{
    if (size == 0)
        return nullptr;
    void* q = qor_alloc_var(m_handle, blockFor(size));
    if (q != nullptr)
        memcpy(q, p, size);
    return q;
}
