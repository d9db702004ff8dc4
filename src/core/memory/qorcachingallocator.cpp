// qorcachingallocator.cpp: QORCachingAllocator over the block allocator.
#include "core/memory/qorcachingallocator.h"

#include <cstring>
#include "core/memory/qormemtypeflags.h"
#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"

static const QORStatus error_status_ok = qor_s_ok;

namespace {

// The live allocators with a thread cache, one slot each; a thread's kept
// block for an allocator sits at the allocator's slot. The mutex orders a
// thread that ends with blocks kept against the collections and deaths of
// the allocators.
const int kMaxThreadCaches = 32;

struct LiveCache {
    unsigned long id;
    qor_allocator_t handle;
};
pthread_mutex_t s_liveMutex = PTHREAD_MUTEX_INITIALIZER;
LiveCache s_live[kMaxThreadCaches];
std::atomic<unsigned long> s_nextCacheID{1};

// A block a thread keeps for the allocator of a slot, filed under the cache
// ID the allocator had when the block was kept. IDs are never reused, so an
// entry whose ID is not its allocator's current one holds a block that went
// with a collection or with the allocator: it is overwritten, never freed.
struct KeptBlock {
    unsigned long id;
    void* block;
};

// Plain data, so that the request path reaches it without the guard of a
// thread-local object with a destructor; ThreadExit gives the blocks back.
struct ThreadCache {
    KeptBlock kept[kMaxThreadCaches];
    // Whether the thread's end gives the kept blocks back: only then may a
    // block be kept; once it has, none is.
    enum : unsigned char { kUnarmed, kArmed, kEnded } state;
};

thread_local ThreadCache t_cache;

struct ThreadExit {
    ~ThreadExit()
    {
        QORMutexLock lock(s_liveMutex);
        for (int i = 0; i < kMaxThreadCaches; i++) {
            KeptBlock& k = t_cache.kept[i];
            if (k.block != nullptr && k.id != 0 && s_live[i].id == k.id)
                qor_free(k.block);
            k = KeptBlock();
        }
        t_cache.state = ThreadCache::kEnded;
    }
    // Set when first used, which registers the destructor for the thread.
    bool armed = false;
};

thread_local ThreadExit t_exit;

// Whether the calling thread may keep a block (arming its exit on the first
// time). Apart, so that the free path stays short.
__attribute__((noinline)) bool armThreadExit()
{
    if (t_cache.state == ThreadCache::kEnded)
        return false;
    t_exit.armed = true;
    t_cache.state = ThreadCache::kArmed;
    return true;
}

} // namespace

void QORCachingAllocator::enableThreadCache(unsigned objectSize)
{
    QORMutexLock lock(s_liveMutex);
    int slot = -1;
    for (int i = 0; i < kMaxThreadCaches && slot < 0; i++)
        if (s_live[i].id == 0)
            slot = i;
    // Without room the allocator works as before.
    if (slot < 0 || m_handle == nullptr || objectSize == 0)
        return;
    LiveCache& c = s_live[slot];
    c.id = s_nextCacheID.fetch_add(1);
    c.handle = m_handle;
    m_cacheID.store(c.id, std::memory_order_relaxed);
    m_slot = slot;
    m_threadCacheSize = objectSize;
}

// A new ID makes every block kept under the old one unreachable; a thread
// overwrites its stale entry at its next free.
void QORCachingAllocator::forgetThreadCaches()
{
    if (m_threadCacheSize == 0)
        return;
    QORMutexLock lock(s_liveMutex);
    unsigned long id = s_nextCacheID.fetch_add(1);
    s_live[m_slot].id = id;
    m_cacheID.store(id, std::memory_order_relaxed);
}

QORCachingAllocator::~QORCachingAllocator()
{
    if (m_handle == nullptr)
        return;
    if (m_threadCacheSize != 0) {
        QORMutexLock lock(s_liveMutex);
        s_live[m_slot] = LiveCache();
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
        KeptBlock& k = t_cache.kept[m_slot];
        void* p = k.block;
        if (p != nullptr && k.id == m_cacheID.load(std::memory_order_relaxed)) {
            k.block = nullptr;
            return p;
        }
    }
    return qor_alloc_var(m_handle, blockFor(size));
}

void QORCachingAllocator::do_deallocate(void* p)
{
    if (m_threadCacheSize != 0 && p != nullptr) {
        ThreadCache& tc = t_cache;
        KeptBlock& k = tc.kept[m_slot];
        unsigned long id = m_cacheID.load(std::memory_order_relaxed);
        if ((k.block == nullptr || k.id != id) &&
            (tc.state == ThreadCache::kArmed || armThreadExit())) {
            k.id = id;
            k.block = p;
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
