// qorallocator.cpp: default operations of the allocator interface.
#include "core/memory/qorallocator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include "core/system/qorassert.h"

QORAllocator::~QORAllocator() = default;

void* QORAllocator::do_reallocate(void* p, unsigned oldSize, unsigned newSize)
{
    if (oldSize != 0 && newSize == 0) {
        do_deallocate(p);
        return nullptr;
    }
    if (oldSize == 0 || p == nullptr)
        return do_allocate(newSize);
    if (newSize > oldSize) {
        void* q = do_allocate(newSize);
        if (q == nullptr)
            return nullptr;
        memcpy(q, p, oldSize);
        do_deallocate(p);
        return q;
    }
    return p;
}

void* QORAllocator::do_duplicate(const void* p, unsigned size)
{
    if (size == 0)
        return nullptr;
    void* q = do_allocate(size);
    if (q != nullptr)
        memcpy(q, p, size);
    return q;
}

void* QORAllocator::allocate(QORAllocator* a, unsigned size)
{
    return a ? a->do_allocate(size) : malloc(size);
}

void* QORAllocator::reallocate(QORAllocator* a, void* p, unsigned oldSize,
                               unsigned newSize)
{
    return a ? a->do_reallocate(p, oldSize, newSize) : realloc(p, newSize);
}

void QORAllocator::deallocate(QORAllocator* a, void* p)
{
    if (a)
        a->do_deallocate(p);
    else
        free(p);
}

void* QORAllocator::duplicate(QORAllocator* a, const void* p, unsigned size)
{
    if (a)
        return a->do_duplicate(p, size);
    if (size == 0)
        return nullptr;
    void* q = malloc(size);
    if (q != nullptr)
        memcpy(q, p, size);
    return q;
}

extern "C" void* qor_allocator_alloc(QORAllocator* a, unsigned size)
{
    return QORAllocator::allocate(a, size);
}

extern "C" void* qor_allocator_realloc(QORAllocator* a, void* p,
                                       unsigned oldSize, unsigned newSize)
{
    return QORAllocator::reallocate(a, p, oldSize, newSize);
}

extern "C" void qor_allocator_free(QORAllocator* a, void* p)
{
    QORAllocator::deallocate(a, p);
}

// The header is a full max_align_t so that the object keeps the alignment
// the allocator gave the block; the allocator sits in its last word and a
// tag made from it and the object's address in the word before. The tag
// lets qor_delete recognise a pointer that did not come from qor_new (a
// plain new, say) and stop with a clear message rather than hand the heap
// a bad pointer.
static const size_t kHeader = alignof(max_align_t);
static_assert(kHeader >= 2 * sizeof(void*), "the header holds a tag and the allocator");
static const uintptr_t kTagSalt = static_cast<uintptr_t>(0x5a3c96e1d2b4f087ull);

static uintptr_t tagFor(const void* object, const QORAllocator* a)
{
    return reinterpret_cast<uintptr_t>(object) ^ reinterpret_cast<uintptr_t>(a) ^ kTagSalt;
}

// For a foreign pointer the word lies in the heap's own bookkeeping, which
// the address sanitizer counts as out of bounds; reading it is the point.
__attribute__((no_sanitize("address"))) static bool hasTag(const void* object)
{
    const uintptr_t* words = static_cast<const uintptr_t*>(object);
    const QORAllocator* a = reinterpret_cast<QORAllocator* const*>(object)[-1];
    return words[-2] == tagFor(object, a);
}

void* qor_allocated_alloc(QORAllocator* a, size_t size) noexcept
{
    if (size > 0xffffffffu - kHeader)
        return nullptr;
    unsigned blockSize = static_cast<unsigned>(size + kHeader);
    char* block = static_cast<char*>(a ? a->do_allocate(blockSize) : malloc(blockSize));
    if (block == nullptr)
        return nullptr;
    char* object = block + kHeader;
    reinterpret_cast<QORAllocator**>(object)[-1] = a;
    reinterpret_cast<uintptr_t*>(object)[-2] = tagFor(object, a);
    return object;
}

void qor_allocated_free(void* object) noexcept
{
    if (object == nullptr)
        return;
    if (!hasTag(object))
        qor_assert_fail(__FILE__, __LINE__,
                        "qor_delete or delete of a QORAllocated object was given a pointer "
                        "that qor_new or new (allocator) did not make (plain new?)");
    reinterpret_cast<uintptr_t*>(object)[-2] = 0;
    QORAllocator* a = QORAllocated::allocatorOf(object);
    char* block = static_cast<char*>(object) - kHeader;
    if (a)
        a->do_deallocate(block);
    else
        free(block);
}
