// qormsgclassallocator.h: QORMsgClassAllocator, the caching allocator that
// every object of one answer class comes from (one answer per request, so
// the objects are taken and given back at the request rate). Users of the
// class count themselves in and out; the first creates the allocator, the
// last deletes it. Until then objects come from the heap.
#pragma once
#include <pthread.h>
#include <atomic>
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

class QORCachingAllocator;

class QORMsgClassAllocator {
public:
    // Initial blocks of the allocator.
    static constexpr unsigned kInitialBlocks = 5;

    // memoryType names the allocator (a 0x35f02fxx message id); objectSize
    // is the size of one object of the class.
    constexpr QORMsgClassAllocator(unsigned memoryType, unsigned objectSize)
        : m_memoryType(memoryType)
        , m_objectSize(objectSize)
    {
    }
    QORMsgClassAllocator(const QORMsgClassAllocator&) = delete;
    QORMsgClassAllocator& operator=(const QORMsgClassAllocator&) = delete;

    // The first reference creates the allocator (growing, checked empty
    // when deleted): 0, 0x35f0200c, or its initialization status, when no
    // reference is counted.
    QORStatus addRef();
    // The last reference deletes the allocator. REQUIRES: every object
    // taken from it is gone.
    void release();
    // The allocator, or null (the heap) while no reference is held.
    QORAllocator* get() const;

private:
    const unsigned m_memoryType;
    const unsigned m_objectSize;
    mutable pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    int m_refs = 0;
    // Set and cleared under the mutex; read without it, as the objects are
    // made at the request rate and the reference held by the reader keeps
    // the allocator alive.
    std::atomic<QORCachingAllocator*> m_allocator{nullptr};
};

// The class-allocator members every answer class T has: T derives from
// QORMsgClassAllocated<T>, and its source file defines classAllocator()
// with QOR_MSG_CLASS_ALLOCATOR (declared after T with
// QOR_MSG_CLASS_ALLOCATOR_DECL), so that the allocator lives in the
// library once.
template <class T>
class QORMsgClassAllocated {
public:
    // Counts a user in and out (see QORMsgClassAllocator).
    static QORStatus addAllocatorRef() { return classAllocator().addRef(); }
    static void releaseAllocatorRef() { classAllocator().release(); }
    // A new object from the class allocator (the heap while no user is
    // counted); null when memory runs out. It goes with qor_delete.
    static T* create() { return qor_new<T>(classAllocator().get()); }
    static QORMsgClassAllocator& classAllocator();
};

#define QOR_MSG_CLASS_ALLOCATOR_DECL(T) \
    template <>                         \
    QORMsgClassAllocator& QORMsgClassAllocated<T>::classAllocator()

#define QOR_MSG_CLASS_ALLOCATOR(T)                                        \
    QOR_MSG_CLASS_ALLOCATOR_DECL(T)                                       \
    {                                                                     \
        static QORMsgClassAllocator allocator(T::kMemoryType, sizeof(T)); \
        return allocator;                                                 \
    }
