// qormsgclassallocator.cpp: the reference-counted class-wide allocator.
#include "msg/core/qormsgclassallocator.h"

#include <cstddef>
#include <new>

#include "core/memory/qorblockallocator.h"
#include "core/memory/qorcachingallocator.h"
#include "core/threads/qorthread.h"

QORStatus QORMsgClassAllocator::addRef()
{
    QORMutexLock lock(m_mutex);
    if (m_refs == 0) {
        QORCachingAllocator* a = new (std::nothrow) QORCachingAllocator();
        if (a == nullptr)
            return qor_s_no_memory;
        QORStatus st = a->initialize(m_memoryType, QOR_ALLOC_GROW | QOR_ALLOC_CHECK_EMPTY,
                                     nullptr, kInitialBlocks, m_objectSize);
        if (st != qor_s_ok) {
            delete a;
            return st;
        }
        a->enableThreadCache(m_objectSize + alignof(max_align_t));
        m_allocator.store(a, std::memory_order_release);
    }
    m_refs++;
    return qor_s_ok;
}

void QORMsgClassAllocator::release()
{
    QORMutexLock lock(m_mutex);
    if (m_refs == 0)
        return;
    if (--m_refs == 0) {
        delete m_allocator.exchange(nullptr, std::memory_order_acq_rel);
    }
}

QORAllocator* QORMsgClassAllocator::get() const
{
    return m_allocator.load(std::memory_order_acquire);
}
