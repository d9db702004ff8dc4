// qorstringref.h: QORStringRefT, a non-owning view of counted characters.
// The length is counted and a terminated copy is made only when asked for;
// both, and the hash, are cached in the view.
#pragma once
#include <cstring>
#include "core/buffers/qorstringtraits.h"
#include "core/memory/qorallocator.h"

template <class Ch>
class QORStringT;

template <class Ch>
class QORStringRefT {
public:
    QORStringRefT()
        : QORStringRefT(s_empty, 0)
    {
        m_terminated = true;
    }
    // A length of -1 means the characters are zero-terminated and are
    // counted on first use.
    QORStringRefT(const Ch* data, int length = -1, QORAllocator* a = nullptr)
        : m_data(data ? data : s_empty)
        , m_terminated(length < 0 || data == nullptr)
        , m_length(data ? (length < 0 ? -1 : length) : 0)
        , m_allocator(a)
    {
    }
    QORStringRefT(const QORStringT<Ch>& s);
    QORStringRefT(const QORStringRefT& other)
        : m_data(other.m_data)
        , m_terminated(other.m_terminated)
        , m_length(other.m_length)
        , m_allocator(other.m_allocator)
        , m_comparator(other.m_comparator)
        , m_hasher(other.m_hasher)
        , m_hashValid(other.m_hashValid)
        , m_hash(other.m_hash)
    {
    }
    QORStringRefT& operator=(const QORStringRefT& other)
    {
        if (this != &other) {
            set(other.m_data, other.m_length);
            m_terminated = other.m_terminated;
            m_comparator = other.m_comparator;
            m_hasher = other.m_hasher;
            m_hashValid = other.m_hashValid;
            m_hash = other.m_hash;
        }
        return *this;
    }
    ~QORStringRefT() { QORAllocator::deallocate(m_allocator, m_copy); }

    // Points the view at new characters; forgets the cached C string and hash.
    void set(const Ch* data, int length = -1)
    {
        m_data = data ? data : s_empty;
        m_terminated = length < 0 || data == nullptr;
        m_length = data ? (length < 0 ? -1 : length) : 0;
        m_cstr = nullptr;
        m_hashValid = false;
    }
    void set(const QORStringT<Ch>& s);

    const Ch* data() const { return m_data; }
    int length() const
    {
        if (m_length < 0)
            m_length = qor_string_length(m_data);
        return m_length;
    }
    bool isEmpty() const { return length() == 0; }
    bool isTerminated() const { return m_terminated; }

    // A zero-terminated form: the data itself when known to be terminated,
    // else a cached copy. Null when memory for the copy failed.
    const Ch* c_str() const;

    uint32_t hash() const
    {
        if (!m_hashValid) {
            m_hash = m_hasher->hash(m_data, static_cast<unsigned int>(length()));
            m_hashValid = true;
        }
        return m_hash;
    }

    int compare(const Ch* data, int length) const
    {
        return qor_string_compare(m_comparator, m_data, this->length(), data,
                                  length);
    }
    int compare(const QORStringRefT& other) const
    {
        return compare(other.m_data, other.length());
    }
    int compare(const QORStringT<Ch>& other) const;
    bool equals(const QORStringRefT& other) const
    {
        return length() == other.length() && compare(other) == 0;
    }
    bool operator==(const QORStringRefT& other) const { return equals(other); }
    bool operator!=(const QORStringRefT& other) const { return !equals(other); }

    // True when this view is not longer than other and its characters equal
    // other's first ones under cmp (null: this view's own comparator).
    bool isPrefixOf(const QORStringRefT& other,
                    const QORStringComparatorT<Ch>* cmp = nullptr) const
    {
        int n = length();
        if (n > other.length())
            return false;
        if (n == 0)
            return true;
        const QORStringComparatorT<Ch>* c = cmp ? cmp : m_comparator;
        return c->compare(m_data, other.m_data, static_cast<unsigned int>(n)) == 0;
    }

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
    static const Ch s_empty[1];

    const Ch* m_data;
    bool m_terminated;
    mutable int m_length;
    mutable const Ch* m_cstr = nullptr;
    mutable Ch* m_copy = nullptr;
    mutable int m_copyCapacity = 0;
    QORAllocator* m_allocator = nullptr;
    QORStringComparatorT<Ch>* m_comparator = QORStringTraits<Ch>::comparator();
    QORStringHasherT<Ch>* m_hasher = QORStringTraits<Ch>::hasher();
    mutable bool m_hashValid = false;
    mutable uint32_t m_hash = 0;
};

template <class Ch>
const Ch QORStringRefT<Ch>::s_empty[1] = {0};

template <class Ch>
const Ch* QORStringRefT<Ch>::c_str() const
{
    if (m_terminated)
        return m_data;
    if (m_cstr != nullptr)
        return m_cstr;
    int n = length();
    unsigned need = static_cast<unsigned>(n + 1) * sizeof(Ch);
    if (m_copy == nullptr) {
        m_copy = static_cast<Ch*>(QORAllocator::allocate(m_allocator, need));
        if (m_copy == nullptr)
            return nullptr;
        m_copyCapacity = n + 1;
    } else if (m_copyCapacity < n + 1) {
        Ch* grown = static_cast<Ch*>(QORAllocator::reallocate(
            m_allocator, m_copy, static_cast<unsigned>(m_copyCapacity) * sizeof(Ch),
            need));
        if (grown == nullptr)
            return nullptr;
        m_copy = grown;
        m_copyCapacity = n + 1;
    }
    memcpy(m_copy, m_data, static_cast<size_t>(n) * sizeof(Ch));
    m_copy[n] = 0;
    m_cstr = m_copy;
    return m_cstr;
}

// The views of the three 8-bit kinds; see qorstring.h for what each holds.
class QORStringRef : public QORStringRefT<char> {
public:
    using QORStringRefT<char>::QORStringRefT;
    QORStringRef() = default;
    explicit QORStringRef(const QORStringRefT<char>& other)
        : QORStringRefT<char>(other)
    {
    }
};

class QORLCPStringRef : public QORStringRefT<char> {
public:
    using QORStringRefT<char>::QORStringRefT;
    QORLCPStringRef() = default;
    explicit QORLCPStringRef(const QORStringRefT<char>& other)
        : QORStringRefT<char>(other)
    {
    }
};

class QORNCPStringRef : public QORStringRefT<char> {
public:
    using QORStringRefT<char>::QORStringRefT;
    QORNCPStringRef() = default;
    explicit QORNCPStringRef(const QORStringRefT<char>& other)
        : QORStringRefT<char>(other)
    {
    }
};
