// qorsharedmemallocator.h: QORSharedMemAllocator, the writer of one message
// region in shared memory (the request area of a worker buffer). It appends
// elements back to back, each an 8-byte header followed by its data, and
// links every header to the next one; the reader is QORSharedMemIterator.
// One thread uses an object at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

class QORSharedMem;

// The header in front of every element's data. Offsets in `next` count from
// the segment base, not from the region start, so that both processes can
// follow them whatever address they mapped the segment at.
struct QORSharedMemElementHeader {
    uint32_t length;  // data bytes after this header, padding excluded
    uint32_t next;    // offset of the next header; kNoNext in the newest
};
static_assert(sizeof(QORSharedMemElementHeader) == 8, "element header layout");
static_assert(offsetof(QORSharedMemElementHeader, next) == 4, "element header layout");

const uint32_t kQORSharedMemNoNext = 0xFFFFFFFFu;

// n rounded up to the next multiple of 4: elements and items are 4-aligned.
inline uint32_t qor_round4(uint32_t n)
{
    return n + ((4 - n % 4) % 4);
}

// Create with `new (allocator) QORSharedMemAllocator` (the process-wide
// allocator of qorproxyifallocators.h) and release with delete.
class QORSharedMemAllocator : public QORAllocated {
public:
    QORSharedMemAllocator() = default;
    QORSharedMemAllocator(const QORSharedMemAllocator&) = delete;
    QORSharedMemAllocator& operator=(const QORSharedMemAllocator&) = delete;

    // The region is [start, start + size) of shm; start a multiple of 4.
    // No element is written.
    void initialize(QORSharedMem& shm, unsigned int start, unsigned int size)
    {
        m_shm = &shm;
        m_start = start;
        m_size = size;
        reset();
    }
    // Forgets every element written so far.
    void reset()
    {
        m_cur = m_start;
        m_last = nullptr;
        m_full = false;
    }
    // Appends an element with room for length data bytes and returns the
    // address of its data. 0x35f0200c when the region has no room for the
    // header and the data; nothing is changed then but full() becomes true.
    QORStatus allocate(unsigned int length, void** data);
    // Whether an element was refused for want of room since the last reset
    // (a failed marshal is then a question too large for the region).
    bool full() const { return m_full; }

    QORSharedMem* getSharedMem() const { return m_shm; }
    unsigned int getStart() const { return m_start; }
    unsigned int getSize() const { return m_size; }
    // Offset, from the segment base, where the next element would go.
    unsigned int getCur() const { return m_cur; }
    // Bytes of the region used by the elements written so far.
    unsigned int usedLength() const { return m_cur - m_start; }

private:
    QORSharedMem* m_shm = nullptr;
    QORSharedMemElementHeader* m_last = nullptr;
    unsigned int m_size = 0;
    unsigned int m_start = 0;
    unsigned int m_cur = 0;
    bool m_full = false;
};
