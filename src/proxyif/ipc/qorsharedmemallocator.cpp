// qorsharedmemallocator.cpp: appending elements to a message region.
#include "proxyif/ipc/qorsharedmemallocator.h"

#include "core/system/qorassert.h"
#include "proxyif/ipc/qorsharedmem.h"

QORStatus QORSharedMemAllocator::allocate(unsigned int length, void** data)
{
    QOR_ASSERT(m_shm != nullptr && m_shm->getBaseAddress() != nullptr);
    // Signed and wide, so that a nearly full region (free below a header)
    // and a length beyond the int range are both refused.
    long long free = (long long)m_start + m_size - m_cur;
    if (free - (long long)sizeof(QORSharedMemElementHeader) < (long long)length) {
        m_full = true;
        return qor_s_no_memory;
    }
    char* base = static_cast<char*>(m_shm->getBaseAddress());
    if (m_last != nullptr)
        m_last->next = m_cur;
    QORSharedMemElementHeader* header =
        reinterpret_cast<QORSharedMemElementHeader*>(base + m_cur);
    header->length = length;
    header->next = kQORSharedMemNoNext;
    m_last = header;
    *data = base + m_cur + sizeof(QORSharedMemElementHeader);
    // The padding of the last element may reach past the region only when
    // the region's end is not 4-aligned; the cursor then stays at the end.
    long long advance = (long long)sizeof(QORSharedMemElementHeader) + qor_round4(length);
    m_cur = advance > free ? m_start + m_size : m_cur + (unsigned int)advance;
    return qor_s_ok;
}
