// qorsharedmemiterator.h: QORSharedMemIterator, the reader of one message
// region in shared memory (the result area of a worker buffer, written by
// the authorization server). The region's bytes are untrusted: every header
// is checked to lie inside the region, every element's data to fit in what
// remains, and every link to point forward inside the region before it is
// followed, so a damaged chain ends in 0x35f02207 instead of a stray read or
// an endless walk. One thread uses an object at a time.
#pragma once
#include <cstdint>
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

class QORSharedMem;

// A malformed chain: an element longer than the rest of the region, or a
// broken link.
enum : QORStatusCode {
    qor_s_ipc_no_more_segments = QOR_MSG_ID(0x207), // XLTIC0519E
};

// Create with `new (allocator) QORSharedMemIterator` (the process-wide
// allocator of qorproxyifallocators.h) and release with delete.
class QORSharedMemIterator : public QORAllocated {
public:
    QORSharedMemIterator() = default;
    QORSharedMemIterator(const QORSharedMemIterator&) = delete;
    QORSharedMemIterator& operator=(const QORSharedMemIterator&) = delete;

    // Positions on the element at start of the region [start, start + size).
    // A region that wraps around the offset range, or that does not fit in a
    // segment whose size is known, gives 0x35f02203 and an iterator without
    // elements; so does a region too short for one header, with success.
    QORStatus initialize(QORSharedMem& shm, unsigned int start, unsigned int size);
    // The same over a copy of just that region: its first byte is at the
    // base of copy, while the links inside keep counting from the segment
    // the region was copied from, where it started at start.
    QORStatus initializeCopy(QORSharedMem& copy, unsigned int start, unsigned int size);
    // Positions on what the allocator has written (its start, its used length).
    QORStatus initialize(QORSharedMemAllocator* alloc);

    // True while a current element exists.
    bool hasMoreElements() const { return m_current != nullptr; }
    // Yields the current element's length and data address and moves to the
    // next one. Without a current element it succeeds and leaves the outputs
    // alone. An element longer than what remains of the region, or a link
    // that does not lead forward to a header inside the region, gives
    // 0x35f02207 and leaves the iterator where it was.
    QORStatus getNextElement(unsigned int* length, void** data);
    // Sets end = start + size and start = the region start; with a target,
    // copies bytes [0, end) of this iterator's segment to offset 0 of target
    // (over a copy: only the region, to offset start).
    QORStatus copyRaw(QORSharedMem* target, int* end, int* start);

    unsigned int getStart() const { return m_start; }
    unsigned int getSize() const { return m_size; }
    // Where the region's first byte lies in this process; null before
    // initialize.
    const void* regionData() const;

private:
    QORStatus positionAt(QORSharedMem& shm, unsigned int start, unsigned int size);

    QORSharedMem* m_shm = nullptr;
    const QORSharedMemElementHeader* m_current = nullptr;
    unsigned int m_start = 0;
    unsigned int m_size = 0;
    unsigned int m_cur = 0;
    // The offset that the base of m_shm stands for: 0, or the region start
    // for a copy.
    unsigned int m_origin = 0;
};
