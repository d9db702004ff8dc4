// qorsharedmem.cpp: bound-checked segment access and the heap segment.
#include "proxyif/ipc/qorsharedmem.h"

#include <cstdlib>
#include <cstring>

#include "proxyif/ipc/qoripcstatus.h"

QORSharedMem::~QORSharedMem() = default;

bool QORSharedMem::inBounds(long long offset, long long length) const
{
    return m_base != nullptr && offset >= 0 && length >= 0 &&
           offset + length <= (long long)m_size;
}

QORStatus QORSharedMem::read(int offset, int length, void** address) const
{
    if (!inBounds(offset, length))
        return qor_s_ipc_bad_parameter;
    *address = static_cast<char*>(m_base) + offset;
    return qor_s_ok;
}

QORStatus QORSharedMem::read(int offset, int length, void* out) const
{
    if (!inBounds(offset, length))
        return qor_s_ipc_bad_parameter;
    memcpy(out, static_cast<const char*>(m_base) + offset, length);
    return qor_s_ok;
}

QORStatus QORSharedMem::write(int offset, unsigned int length, const void* in)
{
    if (!inBounds(offset, length))
        return qor_s_ipc_bad_parameter;
    memcpy(static_cast<char*>(m_base) + offset, in, length);
    return qor_s_ok;
}

QORLocalSharedMem::QORLocalSharedMem(void* memory, unsigned int size)
{
    m_base = memory;
    m_size = memory ? size : 0;
    m_mappedSize = m_size;
}

QORLocalSharedMem::~QORLocalSharedMem()
{
    free(m_owned);
}

QORStatus QORLocalSharedMem::create(const char*, char, unsigned int size)
{
    if (m_base != nullptr || m_owned != nullptr)
        return qor_s_ipc_exists;
    void* p = calloc(size ? size : 1, 1);
    if (p == nullptr)
        return qor_s_no_memory;
    m_owned = p;
    m_base = p;
    m_size = size;
    m_mappedSize = size;
    return qor_s_ok;
}

QORStatus QORLocalSharedMem::attach(int)
{
    return qor_s_not_supported;
}

QORStatus QORLocalSharedMem::attach(const char*, char)
{
    return qor_s_not_supported;
}

QORStatus QORLocalSharedMem::detach()
{
    m_base = nullptr;
    m_size = 0;
    m_mappedSize = 0;
    return qor_s_ok;
}

QORStatus QORLocalSharedMem::destroy()
{
    free(m_owned);
    m_owned = nullptr;
    m_base = nullptr;
    m_size = 0;
    m_mappedSize = 0;
    return qor_s_ok;
}
