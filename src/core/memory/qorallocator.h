// qorallocator.h: the abstract source of memory for every string, container
// node and per-request object. Callers use the static entry points, which
// take a null allocator to mean the process heap.
#pragma once
#include <cstddef>
#include <new>
#include <type_traits>
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORAllocator {
public:
    QORAllocator() = default;
    QORAllocator(const QORAllocator&) = delete;
    QORAllocator& operator=(const QORAllocator&) = delete;
    virtual ~QORAllocator();

    static void* allocate(QORAllocator* a, unsigned size);
    static void* reallocate(QORAllocator* a, void* p, unsigned oldSize,
                            unsigned newSize);
    static void deallocate(QORAllocator* a, void* p);
    static void* duplicate(QORAllocator* a, const void* p, unsigned size);

protected:
    // The objects' entry points call the operations without the null check
    // of the static ones: they run for every object made or deleted.
    friend void* qor_allocated_alloc(QORAllocator* a, size_t size) noexcept;
    friend void qor_allocated_free(void* object) noexcept;

    virtual void* do_allocate(unsigned size) = 0;
    virtual void do_deallocate(void* p) = 0;
    // Defaults: grow by allocate-copy-free, never shrink in place.
    virtual void* do_reallocate(void* p, unsigned oldSize, unsigned newSize);
    virtual void* do_duplicate(const void* p, unsigned size);
};

extern "C" {
void* qor_allocator_alloc(QORAllocator* a, unsigned size);
void* qor_allocator_realloc(QORAllocator* a, void* p, unsigned oldSize,
                            unsigned newSize);
void qor_allocator_free(QORAllocator* a, void* p);
}

// Any object can live in an allocator's memory: qor_allocated_alloc records
// the allocator before the object, qor_allocated_free gives the block back to
// the allocator it came from (qor_new and qor_delete below, and QORAllocated,
// build on them).
void* qor_allocated_alloc(QORAllocator* a, size_t size) noexcept;
void qor_allocated_free(void* object) noexcept;

// Base for objects that live in an allocator's memory. The allocator is kept
// in the word just before the object so that delete gives the memory back to
// it. Create with `new (allocator) T(...)`; a null allocator is the heap.
class QORAllocated {
public:
    static void* operator new(size_t size, QORAllocator* a) noexcept
    {
        return qor_allocated_alloc(a, size);
    }
    static void operator delete(void* p) noexcept { qor_allocated_free(p); }
    // Called only when a constructor throws, which ours never do.
    static void operator delete(void* p, QORAllocator*) noexcept { qor_allocated_free(p); }

    // The allocator an object was created from (null for the heap).
    static QORAllocator* allocatorOf(const void* object)
    {
        return reinterpret_cast<QORAllocator* const*>(object)[-1];
    }

protected:
    ~QORAllocated() = default;
};

// qor_new makes an object of any type in an allocator's memory; qor_delete
// destroys it and gives the block back to the allocator it came from.
template <class T, class... Args>
T* qor_new(QORAllocator* a, Args&&... args)
{
    void* p = qor_allocated_alloc(a, sizeof(T));
    // static_cast<Args&&> forwards as std::forward does, without <utility>
    // in every file that allocates.
    return p ? ::new (p) T(static_cast<Args&&>(args)...) : nullptr;
}

template <class T>
void qor_delete(T* object)
{
    if (object == nullptr)
        return;
    void* block;
    if constexpr (std::is_polymorphic<T>::value)
        block = dynamic_cast<void*>(object);
    else
        block = object;
    object->~T();
    qor_allocated_free(block);
}

QOR_EXPORT_END
