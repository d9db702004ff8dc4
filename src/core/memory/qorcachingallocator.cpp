// qorcachingallocator.cpp: QORCachingAllocator over the block allocator.
#include "core/memory/qorcachingallocator.h"

#include <cstring>
#include "core/memory/qormemtypeflags.h"
#include "core/system/qorassert.h"

static const QORStatus error_status_ok = qor_s_ok;

QORCachingAllocator::~QORCachingAllocator()
{
    if (m_handle == nullptr)
        return;
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
    if (m_handle != nullptr)
        qor_allocator_gc(m_handle);
}

void* QORCachingAllocator::do_allocate(unsigned size)
{
    return qor_alloc_var(m_handle, size);
}

void QORCachingAllocator::do_deallocate(void* p)
{
    qor_free(p);
}

void* QORCachingAllocator::do_reallocate(void* p, unsigned, unsigned newSize)
{
    if (p == nullptr)
        return newSize ? qor_alloc_var(m_handle, newSize) : nullptr;
    return qor_realloc_var(p, newSize);
}

// The source may be any memory (a view's characters, a literal), not only a
// block of this allocator, so its size comes from the caller and the copy
// goes into a block of our own.
void* QORCachingAllocator::do_duplicate(const void* p, unsigned size)
{
    if (size == 0)
        return nullptr;
    void* q = qor_alloc_var(m_handle, size);
    if (q != nullptr)
        memcpy(q, p, size);
    return q;
}
