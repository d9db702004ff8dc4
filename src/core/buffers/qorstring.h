// qorstring.h: QORStringT, the library's owned string. Up to 255 characters
// live inside the object; longer content takes a heap buffer of exactly the
// size needed from the string's allocator, kept until the string dies.
//
// The 8-bit kinds share one layout and differ in what their bytes mean:
//   QORString     UTF-8, the library's own text
//   QORLCPString  the process's local code page (files, paths, disk config)
//   QORNCPString  bytes as the web server or browser sent them, unconverted
#pragma once
#include <cstdint>
#include <cstring>
#include "core/buffers/qorstringref.h"

template <class Ch>
class QORStringT {
public:
    static const int kInlineSize = 256;

    explicit QORStringT(QORAllocator* a = nullptr)
        : m_allocator(a)
    {
        m_inline[0] = 0;
    }
    // Copies what it can; a failed heap allocation leaves the string empty.
    QORStringT(const Ch* s, int n = -1, QORAllocator* a = nullptr)
        : QORStringT(a)
    {
        append(s, n);
    }
    QORStringT(const QORStringT& other)
        : QORStringT(other.m_allocator)
    {
        m_comparator = other.m_comparator;
        m_hasher = other.m_hasher;
        append(other.m_data, other.m_length);
    }
    QORStringT& operator=(const QORStringT& other)
    {
        if (this != &other)
            set(other.m_data, other.m_length);
        return *this;
    }
    ~QORStringT() { QORAllocator::deallocate(m_allocator, m_heap); }

    // Replaces the content. False when memory failed; the content is kept.
    bool set(const QORStringRefT<Ch>& s) { return set(s.data(), s.length()); }
    bool set(const Ch* s, int n);
    // Appends n characters (n < 0: up to the terminator). False when memory
    // failed; the content is kept.
    bool append(const Ch* s, int n);
    bool append(const QORStringRefT<Ch>& s) { return append(s.data(), s.length()); }
    bool append(Ch c) { return append(&c, 1); }

    // Makes room for a total of n characters plus the terminator without
    // changing the content: exactly n + 1 when the heap is needed.
    bool reserve(int n);
    // For writers that fill buffer() themselves (converters): sets the length,
    // terminates and forgets the hash. REQUIRES: n within the capacity.
    void setLength(int n)
    {
        m_length = n;
        m_data[n] = 0;
        m_hashValid = false;
    }
    void clear() { setLength(0); }

    Ch* buffer() { return m_data; }
    const Ch* data() const { return m_data; }
    const Ch* c_str() const { return m_data; }
    int length() const { return m_length; }
    bool isEmpty() const { return m_length == 0; }
    // Characters the current buffer holds, terminator included.
    int capacity() const { return m_heap ? m_heapCapacity : kInlineSize; }
    bool isInline() const { return m_data == m_inline; }

    uint32_t hash() const
    {
        if (!m_hashValid) {
            m_hash = m_hasher->hash(m_data, static_cast<unsigned int>(m_length));
            m_hashValid = true;
        }
        return m_hash;
    }
    void invalidateHash() { m_hashValid = false; }

    int compare(const Ch* s, int n) const
    {
        return qor_string_compare(m_comparator, m_data, m_length, s, n);
    }
    int compare(const QORStringRefT<Ch>& s) const { return compare(s.data(), s.length()); }
    int compare(const QORStringT& s) const { return compare(s.m_data, s.m_length); }
    bool equals(const QORStringRefT<Ch>& s) const
    {
        return m_length == s.length() && compare(s) == 0;
    }
    bool equals(const QORStringT& s) const
    {
        return m_length == s.m_length && compare(s) == 0;
    }
    bool operator==(const QORStringT& s) const { return equals(s); }
    bool operator!=(const QORStringT& s) const { return !equals(s); }

    QORStringComparatorT<Ch>* comparator() const { return m_comparator; }
    void setComparator(QORStringComparatorT<Ch>* c) { m_comparator = c; }
    QORStringHasherT<Ch>* hasher() const { return m_hasher; }
    void setHasher(QORStringHasherT<Ch>* h)
    {
        m_hasher = h;
        m_hashValid = false;
    }
    QORAllocator* allocator() const { return m_allocator; }

private:
    Ch m_inline[kInlineSize];
    Ch* m_heap = nullptr;
    int m_heapCapacity = 0;
    Ch* m_data = m_inline;
    int m_length = 0;
    QORAllocator* m_allocator;
    QORStringComparatorT<Ch>* m_comparator = QORStringTraits<Ch>::comparator();
    QORStringHasherT<Ch>* m_hasher = QORStringTraits<Ch>::hasher();
    mutable bool m_hashValid = false;
    mutable uint32_t m_hash = 0;
};

template <class Ch>
bool QORStringT<Ch>::reserve(int n)
{
    if (n < 0)
        return false;
    unsigned need = static_cast<unsigned>(n) + 1;
    if (need <= static_cast<unsigned>(kInlineSize))
        return true;
    if (m_heap != nullptr && need <= static_cast<unsigned>(m_heapCapacity))
        return true;
    if (need > 0x7fffffffu / sizeof(Ch))
        return false;
    if (m_heap == nullptr) {
        Ch* p = static_cast<Ch*>(QORAllocator::allocate(m_allocator, need * sizeof(Ch)));
        if (p == nullptr)
            return false;
        memcpy(p, m_inline, (static_cast<size_t>(m_length) + 1) * sizeof(Ch));
        m_heap = p;
        m_data = p;
    } else {
        Ch* p = static_cast<Ch*>(QORAllocator::reallocate(
            m_allocator, m_heap, static_cast<unsigned>(m_heapCapacity) * sizeof(Ch),
            need * sizeof(Ch)));
        if (p == nullptr)
            return false;
        m_heap = p;
        m_data = p;
    }
    m_heapCapacity = static_cast<int>(need);
    return true;
}

template <class Ch>
bool QORStringT<Ch>::set(const Ch* s, int n)
{
    if (s == nullptr)
        n = 0;
    else if (n < 0)
        n = qor_string_length(s);
    // A source inside our own buffer is never longer than the buffer, so it
    // survives reserve(); memmove covers the overlap.
    if (!reserve(n))
        return false;
    if (n > 0)
        memmove(m_data, s, static_cast<size_t>(n) * sizeof(Ch));
    setLength(n);
    return true;
}

template <class Ch>
bool QORStringT<Ch>::append(const Ch* s, int n)
{
    if (s == nullptr)
        return true;
    if (n < 0)
        n = qor_string_length(s);
    if (n == 0)
        return true;
    if (n > 0x7fffffff - m_length)
        return false;
    // Appending part of ourselves: growth may move the buffer.
    bool self = s >= m_data && s < m_data + m_length + 1;
    ptrdiff_t offset = s - m_data;
    if (!reserve(m_length + n))
        return false;
    if (self)
        s = m_data + offset;
    memmove(m_data + m_length, s, static_cast<size_t>(n) * sizeof(Ch));
    setLength(m_length + n);
    return true;
}

template <class Ch>
QORStringRefT<Ch>::QORStringRefT(const QORStringT<Ch>& s)
    : m_data(s.data())
    , m_terminated(true)
    , m_length(s.length())
    , m_allocator(s.allocator())
    , m_comparator(s.comparator())
    , m_hasher(s.hasher())
{
}

template <class Ch>
void QORStringRefT<Ch>::set(const QORStringT<Ch>& s)
{
    set(s.data(), s.length());
    m_terminated = true;
}

template <class Ch>
int QORStringRefT<Ch>::compare(const QORStringT<Ch>& other) const
{
    return compare(other.data(), other.length());
}

class QORString : public QORStringT<char> {
public:
    using QORStringT<char>::QORStringT;
    QORString() = default;
};

class QORLCPString : public QORStringT<char> {
public:
    using QORStringT<char>::QORStringT;
    QORLCPString() = default;
};

class QORNCPString : public QORStringT<char> {
public:
    using QORStringT<char>::QORStringT;
    QORNCPString() = default;
};
