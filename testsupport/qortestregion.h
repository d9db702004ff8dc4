// qortestregion.h: a message region over ordinary memory, for tests, fuzz
// targets and benchmarks of question and answer layouts: a zero-filled,
// 4-aligned block as a QORLocalSharedMem, a writer over part of it, and
// helpers to read back the words written or to put raw words in place.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include "core/buffers/qorbuffer.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "qorteststr.h"

// Little-endian bytes as one word (the targets are little-endian x86).
inline uint32_t qor_test_chars(const char (&s)[5])
{
    uint32_t v;
    memcpy(&v, s, 4);
    return v;
}

// What a buffer read from a region holds, to compare.
inline std::string qor_test_str(const QORBuffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.getData()),
                       static_cast<size_t>(b.getLen()));
}

class QORTestRegion {
public:
    // The region starts at a non-zero offset so that element links are
    // seen to count from the segment base.
    static constexpr unsigned int kStart = 16;
    static constexpr uint32_t kNoNext = 0xFFFFFFFFu;

    explicit QORTestRegion(unsigned int bytes = 4096)
        : m_words((bytes + 3) / 4, 0)
        , m_shm(m_words.data(), static_cast<unsigned int>(m_words.size() * 4))
    {
        alloc.initialize(m_shm, kStart, static_cast<unsigned int>(m_words.size() * 4) - kStart);
    }
    QORTestRegion(const QORTestRegion&) = delete;
    QORTestRegion& operator=(const QORTestRegion&) = delete;

    // The words from the region start to the writer's position.
    std::vector<uint32_t> written() const
    {
        return std::vector<uint32_t>(m_words.begin() + kStart / 4,
                                     m_words.begin() + alloc.getCur() / 4);
    }
    // Replaces the region's content by words (the writer forgets what it
    // wrote); a reader over them sees words.size() * 4 bytes.
    void put(const std::vector<uint32_t>& words)
    {
        alloc.reset();
        std::fill(m_words.begin() + kStart / 4, m_words.end(), 0u);
        for (size_t i = 0; i < words.size() && kStart / 4 + i < m_words.size(); i++)
            m_words[kStart / 4 + i] = words[i];
        m_putBytes = static_cast<unsigned int>(words.size() * 4);
    }
    // Replaces the region's content by bytes.
    void putBytes(const void* data, size_t size)
    {
        alloc.reset();
        std::fill(m_words.begin() + kStart / 4, m_words.end(), 0u);
        size_t room = m_words.size() * 4 - kStart;
        if (size > room)
            size = room;
        memcpy(reinterpret_cast<unsigned char*>(m_words.data()) + kStart, data, size);
        m_putBytes = static_cast<unsigned int>(size);
    }
    // A reader over what the writer wrote, or over what put placed.
    QORSharedMemIterator& reader()
    {
        if (m_putBytes > 0)
            (void)m_it.initialize(m_shm, kStart, m_putBytes); // a refused region reads as empty, which the test sees
        else
            (void)m_it.initialize(&alloc); // a refused region reads as empty, which the test sees
        return m_it;
    }
    QORSharedMem& shm() { return m_shm; }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(m_words.data()); }

    QORSharedMemAllocator alloc;

private:
    std::vector<uint32_t> m_words;
    QORLocalSharedMem m_shm;
    QORSharedMemIterator m_it;
    unsigned int m_putBytes = 0;
};
