// qorsharedmemiterator.cpp: walking a message region that another process
// wrote. Every length and link is checked against the region before it is
// used; fields are read once into locals so that the checked value is the
// one used.
#include "proxyif/ipc/qorsharedmemiterator.h"

#include <cstring>

#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmem.h"

namespace {

const unsigned int kHeaderSize = sizeof(QORSharedMemElementHeader);

} // namespace

QORStatus QORSharedMemIterator::initialize(QORSharedMem& shm,
                                           unsigned int start,
                                           unsigned int size)
{
    m_origin = 0;
    return positionAt(shm, start, size);
}

QORStatus QORSharedMemIterator::initializeCopy(QORSharedMem& copy,
                                               unsigned int start,
                                               unsigned int size)
{
    m_origin = start;
    return positionAt(copy, start, size);
}

QORStatus QORSharedMemIterator::positionAt(QORSharedMem& shm, unsigned int start,
                                       unsigned int size)
{
    m_shm = &shm;
    m_start = start;
    m_size = size;
    m_cur = start;
    m_current = nullptr;
    char* base = static_cast<char*>(shm.getBaseAddress());
    unsigned long long end = (unsigned long long)start + size;
    // An attached segment does not know its size (0): then the caller has
    // bounded the region already.
    if (base == nullptr || start % 4 != 0 || end > 0xFFFFFFFFull ||
        (shm.getSize() != 0 && end - m_origin > shm.getSize())) {
        m_size = 0;
        return qor_s_ipc_bad_parameter;
    }
    if (size >= kHeaderSize)
        m_current = reinterpret_cast<const QORSharedMemElementHeader*>(base + (start - m_origin));
    return qor_s_ok;
}

QORStatus QORSharedMemIterator::initialize(QORSharedMemAllocator* alloc)
{
    return initialize(*alloc->getSharedMem(), alloc->getStart(),
                      alloc->usedLength());
}

QORStatus QORSharedMemIterator::getNextElement(unsigned int* length, void** data)
{
    if (m_current == nullptr)
        return qor_s_ok;
    // While a current element exists, start <= cur and cur + 8 <= start + size.
    QORSharedMemElementHeader header;
    memcpy(&header, m_current, sizeof header);
    unsigned int remaining = m_size - (m_cur - m_start);
    unsigned int avail = remaining - kHeaderSize;
    unsigned int len = header.length;
    if (avail < len)
        return qor_s_ipc_no_more_segments;
    char* base = static_cast<char*>(m_shm->getBaseAddress());
    void* at = base + (m_cur - m_origin) + kHeaderSize;
    // The last element fills the region, up to the padding of an element
    // whose length is not a multiple of 4 (its link then says "none").
    bool last = avail == len ||
                (header.next == kQORSharedMemNoNext && qor_round4(len) == avail);
    if (!last) {
        // The next header must start past this element's data, on a 4-byte
        // boundary, and lie wholly inside the region. Moving strictly
        // forward, a walk always ends.
        unsigned long long next = header.next;
        unsigned long long dataEnd = (unsigned long long)m_cur + kHeaderSize + len;
        unsigned long long end = (unsigned long long)m_start + m_size;
        if (next < dataEnd || next % 4 != 0 || next + kHeaderSize > end)
            return qor_s_ipc_no_more_segments;
    }
    *length = len;
    *data = at;
    if (last) {
        m_current = nullptr;
        m_cur = 0;
    } else {
        m_cur = header.next;
        m_current = reinterpret_cast<const QORSharedMemElementHeader*>(base + (m_cur - m_origin));
    }
    return qor_s_ok;
}

const void* QORSharedMemIterator::regionData() const
{
    if (m_shm == nullptr || m_shm->getBaseAddress() == nullptr)
        return nullptr;
    return static_cast<const char*>(m_shm->getBaseAddress()) + (m_start - m_origin);
}

QORStatus QORSharedMemIterator::copyRaw(QORSharedMem* target, int* end, int* start)
{
    unsigned long long regionEnd = (unsigned long long)m_start + m_size;
    if (regionEnd > 0x7FFFFFFFull)
        return qor_s_ipc_bad_parameter;
    *end = (int)regionEnd;
    *start = (int)m_start;
    if (target == nullptr)
        return qor_s_ok;
    if (m_shm == nullptr || m_shm->getBaseAddress() == nullptr)
        return qor_s_ipc_bad_parameter;
    if (m_origin != 0)
        return target->write((int)m_start, m_size, m_shm->getBaseAddress());
    return target->write(0, (unsigned int)regionEnd, m_shm->getBaseAddress());
}
