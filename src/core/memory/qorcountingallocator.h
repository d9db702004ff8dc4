// qorcountingallocator.h: QORCountingAllocator, a heap allocator that counts
// what passes through it and can be told to refuse requests. Tests use it to
// prove that a path does not touch the heap, that everything taken is given
// back, and that a failed allocation leaves an object as it was.
#pragma once
#include <cstdlib>
#include <cstring>
#include "core/memory/qorallocator.h"

class QORCountingAllocator : public QORAllocator {
public:
    int allocations = 0;      // successful do_allocate calls
    int reallocations = 0;    // successful do_reallocate calls
    int frees = 0;            // do_deallocate calls with a block
    unsigned lastSize = 0;    // size of the last successful request
    int failAfter = -1;       // requests to grant before refusing; -1 never

    int live() const { return allocations - frees; }

protected:
    void* do_allocate(unsigned size) override
    {
        if (!grant())
            return nullptr;
        void* p = malloc(size ? size : 1);
        if (p) {
            allocations++;
            lastSize = size;
        }
        return p;
    }
    void do_deallocate(void* p) override
    {
        if (p) {
            frees++;
            free(p);
        }
    }
    void* do_reallocate(void* p, unsigned oldSize, unsigned newSize) override
    {
        if (p == nullptr || oldSize == 0)
            return do_allocate(newSize);
        if (!grant())
            return nullptr;
        void* q = realloc(p, newSize ? newSize : 1);
        if (q) {
            reallocations++;
            lastSize = newSize;
        }
        return q;
    }

private:
    bool grant()
    {
        if (failAfter == 0)
            return false;
        if (failAfter > 0)
            failAfter--;
        return true;
    }
};
