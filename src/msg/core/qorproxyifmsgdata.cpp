// qorproxyifmsgdata.cpp: encodings of the message data items. Reads go
// through QORBufferCursor so that no item looks past the bytes it was given;
// writes check the caller's room once, up front.
#include "msg/core/qorproxyifmsgdata.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/buffers/qorbuffercursor.h"
#include "core/encoders/qoruriencode.h"
#include "core/system/qorassert.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

namespace {

// Reads a native u32 at the cursor and moves past it; false, the cursor
// unmoved, when fewer than 4 bytes remain.
bool readU32(QORBufferCursor& c, uint32_t* value)
{
    if (c.remaining() < 4)
        return false;
    memcpy(value, c.current(), 4);
    c.advance(4);
    return true;
}

// Moves past n counted bytes and their padding; false, the cursor unmoved,
// when they run past what remains.
bool skipPadded(QORBufferCursor& c, uint32_t n)
{
    uint32_t remaining = static_cast<uint32_t>(c.remaining());
    if (n > remaining || qor_round4(n) > remaining)
        return false;
    c.advance(static_cast<int>(qor_round4(n)));
    return true;
}

void writeU32(unsigned char* at, uint32_t value)
{
    memcpy(at, &value, 4);
}

// Writes n bytes and zeroes their padding; returns the bytes written.
int writePadded(unsigned char* at, const void* data, int n)
{
    if (n > 0)
        memcpy(at, data, static_cast<size_t>(n));
    int padded = static_cast<int>(qor_round4(static_cast<uint32_t>(n)));
    memset(at + n, 0, static_cast<size_t>(padded - n));
    return padded;
}

// 4 + round4(n) as an int; counts this large never fit a region.
int countedSize(int n)
{
    QOR_ASSERT(n >= 0 && n <= INT_MAX - 8);
    return 4 + static_cast<int>(qor_round4(static_cast<uint32_t>(n)));
}

QORStatus appendEncoded(QORString* out, const char* data, int length)
{
    return qor_uri_encode_ascii(out, data, length) ? qor_s_ok : qor_s_no_memory;
}

QORStatus appendText(QORString* out, const char* text)
{
    return out->append(text, -1) ? qor_s_ok : qor_s_no_memory;
}

QORStatus appendDecimal(QORString* out, int value)
{
    char digits[16];
    int n = snprintf(digits, sizeof digits, "%d", value);
    return out->append(digits, n) ? qor_s_ok : qor_s_no_memory;
}

// "Name: <name> - Value: " then the value's rendering by the caller.
QORStatus startNamed(QORString* out, const QORStringRef& name)
{
    out->clear();
    QORStatus st = appendText(out, "Name: ");
    if (st == qor_s_ok)
        st = appendEncoded(out, name.data(), name.length());
    if (st == qor_s_ok)
        st = appendText(out, " - Value: ");
    return st;
}

} // namespace

QORProxyIFMsgData::~QORProxyIFMsgData() = default;

int QORProxyIFMsgInt::marshal(unsigned char* buffer, int size) const
{
    if (buffer != nullptr) {
        QOR_ASSERT(size >= 4);
        memcpy(buffer, &m_value, 4);
    }
    return 4;
}

int QORProxyIFMsgInt::unmarshal(const unsigned char* buffer, int size)
{
    if (buffer == nullptr || size < 4)
        return 0;
    memcpy(&m_value, buffer, 4);
    return 4;
}

QORStatus QORProxyIFMsgInt::createString(QORString* out)
{
    out->clear();
    return appendDecimal(out, m_value);
}

void QORProxyIFMsgBuffer::set(const QORBuffer& buffer)
{
    m_buffer.set(buffer.getData(), buffer.getLen());
}

int QORProxyIFMsgBuffer::marshal(unsigned char* buffer, int size) const
{
    int length = m_buffer.getLen();
    int encoded = countedSize(length);
    if (buffer != nullptr) {
        QOR_ASSERT(size >= encoded);
        writeU32(buffer, static_cast<uint32_t>(length));
        writePadded(buffer + 4, m_buffer.getData(), length);
    }
    return encoded;
}

int QORProxyIFMsgBuffer::unmarshal(const unsigned char* buffer, int size)
{
    if (buffer == nullptr)
        return 0;
    QORBufferCursor c(reinterpret_cast<const char*>(buffer), size < 0 ? 0 : size);
    uint32_t length;
    if (!readU32(c, &length))
        return 0;
    const char* data = c.current();
    if (!skipPadded(c, length))
        return 0;
    m_buffer.set(reinterpret_cast<const unsigned char*>(data),
                 static_cast<int>(length));
    return c.sinceMark();
}

QORStatus QORProxyIFMsgBuffer::createString(QORString* out)
{
    out->clear();
    return appendEncoded(out, reinterpret_cast<const char*>(m_buffer.getData()),
                         m_buffer.getLen());
}

int QORProxyIFMsgString::encodedSize(const QORStringRef& s)
{
    return countedSize(s.length() + 1);
}

int QORProxyIFMsgString::encode(const QORStringRef& s, unsigned char* buffer,
                                int size)
{
    int n = s.length();
    int encoded = encodedSize(s);
    QOR_ASSERT(size >= encoded);
    writeU32(buffer, static_cast<uint32_t>(n + 1));
    if (n > 0)
        memcpy(buffer + 4, s.data(), static_cast<size_t>(n));
    // The terminator and the padding.
    memset(buffer + 4 + n, 0, static_cast<size_t>(encoded - 4 - n));
    return encoded;
}

int QORProxyIFMsgString::decode(const unsigned char* buffer, int size,
                                QORStringRef* out)
{
    if (buffer == nullptr)
        return 0;
    QORBufferCursor c(reinterpret_cast<const char*>(buffer), size < 0 ? 0 : size);
    uint32_t count;
    if (!readU32(c, &count))
        return 0;
    const char* chars = c.current();
    if (!skipPadded(c, count))
        return 0;
    int n = static_cast<int>(count);
    if (n == 0) {
        *out = QORStringRef();
        return c.sinceMark();
    }
    // The length comes from the count and one read of the last byte, never
    // from a search of the bytes: they may be another process's and change
    // under us. The view always carries its length (c_str() copies).
    out->set(chars, chars[n - 1] == 0 ? n - 1 : n);
    return c.sinceMark();
}

int QORProxyIFMsgString::marshal(unsigned char* buffer, int size) const
{
    if (buffer == nullptr)
        return encodedSize(m_string);
    return encode(m_string, buffer, size);
}

int QORProxyIFMsgString::unmarshal(const unsigned char* buffer, int size)
{
    return decode(buffer, size, &m_string);
}

QORStatus QORProxyIFMsgString::createString(QORString* out)
{
    out->clear();
    return appendEncoded(out, m_string.data(), m_string.length());
}

QORProxyIFMsgStringList::QORProxyIFMsgStringList(int initialCapacity,
                                                 QORAllocator* allocator)
    : m_allocator(allocator)
    , m_entries(m_inline)
    , m_firstHeapCapacity(initialCapacity)
{
}

QORProxyIFMsgStringList::~QORProxyIFMsgStringList()
{
    clear();
    if (m_entries != m_inline)
        QORAllocator::deallocate(m_allocator, m_entries);
}

void QORProxyIFMsgStringList::clear()
{
    // Inline entries stay constructed for the object's lifetime; heap
    // entries exist only below the count.
    if (m_entries != m_inline)
        for (int i = 0; i < m_count; i++)
            m_entries[i].~QORStringRef();
    m_count = 0;
    m_cursor = 0;
}

bool QORProxyIFMsgStringList::reserve(int needed)
{
    if (needed <= m_capacity)
        return true;
    int capacity = m_capacity;
    while (capacity < needed) {
        if (capacity > INT_MAX - kGrowBy)
            return false;
        capacity += kGrowBy;
    }
    if (m_entries == m_inline)
        while (capacity < m_firstHeapCapacity && capacity <= INT_MAX - kGrowBy)
            capacity += kGrowBy;
    if (static_cast<unsigned>(capacity) > UINT_MAX / sizeof(QORStringRef))
        return false;
    void* block = QORAllocator::allocate(
        m_allocator, static_cast<unsigned>(capacity) * sizeof(QORStringRef));
    if (block == nullptr)
        return false;
    QORStringRef* grown = static_cast<QORStringRef*>(block);
    for (int i = 0; i < m_count; i++)
        new (&grown[i]) QORStringRef(m_entries[i]);
    if (m_entries != m_inline) {
        for (int i = 0; i < m_count; i++)
            m_entries[i].~QORStringRef();
        QORAllocator::deallocate(m_allocator, m_entries);
    }
    m_entries = grown;
    m_capacity = capacity;
    return true;
}

QORStatus QORProxyIFMsgStringList::add(const QORStringRef& s)
{
    if (!reserve(m_count + 1))
        return qor_s_no_memory;
    if (m_entries == m_inline)
        m_entries[m_count] = s;
    else
        new (&m_entries[m_count]) QORStringRef(s);
    m_count++;
    return qor_s_ok;
}

const QORStringRef* QORProxyIFMsgStringList::get()
{
    if (m_cursor >= static_cast<unsigned>(m_count))
        return nullptr;
    return &m_entries[m_cursor++];
}

unsigned int QORProxyIFMsgStringList::restart(unsigned int position)
{
    unsigned int previous = m_cursor;
    m_cursor = position < static_cast<unsigned>(m_count)
                   ? position
                   : static_cast<unsigned>(m_count);
    return previous;
}

int QORProxyIFMsgStringList::marshal(unsigned char* buffer, int size) const
{
    int encoded = 4;
    for (int i = 0; i < m_count; i++) {
        int one = QORProxyIFMsgString::encodedSize(m_entries[i]);
        QOR_ASSERT(one <= INT_MAX - encoded);
        encoded += one;
    }
    if (buffer == nullptr)
        return encoded;
    QOR_ASSERT(size >= encoded);
    writeU32(buffer, static_cast<uint32_t>(m_count));
    int at = 4;
    for (int i = 0; i < m_count; i++)
        at += QORProxyIFMsgString::encode(m_entries[i], buffer + at, size - at);
    return encoded;
}

int QORProxyIFMsgStringList::unmarshal(const unsigned char* buffer, int size)
{
    if (buffer == nullptr || size < 4)
        return 0;
    uint32_t count;
    memcpy(&count, buffer, 4);
    // Every string takes at least 4 bytes: a count beyond that cannot fit.
    if (count > static_cast<uint32_t>(size - 4) / 4)
        return 0;
    // Check every string before the list changes, so that a malformed list
    // leaves it as it was.
    QORStringRef probe;
    int at = 4;
    for (uint32_t i = 0; i < count; i++) {
        int n = QORProxyIFMsgString::decode(buffer + at, size - at, &probe);
        if (n == 0)
            return 0;
        at += n;
    }
    if (!reserve(static_cast<int>(count)))
        return 0;
    clear();
    at = 4;
    for (uint32_t i = 0; i < count; i++) {
        at += QORProxyIFMsgString::decode(buffer + at, size - at, &probe);
        QORStatus st = add(probe);
        QOR_ASSERT(st == qor_s_ok);  // room was reserved above
    }
    return at;
}

QORStatus QORProxyIFMsgStringList::createString(QORString* out)
{
    out->clear();
    QORStatus st = qor_s_ok;
    for (int i = 0; i < m_count && st == qor_s_ok; i++) {
        st = appendText(out, "[");
        if (st == qor_s_ok)
            st = appendEncoded(out, m_entries[i].data(), m_entries[i].length());
        if (st == qor_s_ok)
            st = appendText(out, "] ");
    }
    return st;
}

void QORProxyIFMsgNameValue::set(const QORStringRef& name,
                                 const QORStringRef& value)
{
    m_name.set(name);
    m_value.set(value);
}

int QORProxyIFMsgNameValue::marshal(unsigned char* buffer, int size) const
{
    int nameSize = m_name.marshal(nullptr, 0);
    int valueSize = m_value.marshal(nullptr, 0);
    QOR_ASSERT(valueSize <= INT_MAX - nameSize);
    if (buffer != nullptr) {
        QOR_ASSERT(size >= nameSize + valueSize);
        m_name.marshal(buffer, nameSize);
        m_value.marshal(buffer + nameSize, size - nameSize);
    }
    return nameSize + valueSize;
}

int QORProxyIFMsgNameValue::unmarshal(const unsigned char* buffer, int size)
{
    QORStringRef name;
    QORStringRef value;
    int nameSize = QORProxyIFMsgString::decode(buffer, size, &name);
    if (nameSize == 0)
        return 0;
    int valueSize = QORProxyIFMsgString::decode(buffer + nameSize,
                                                size - nameSize, &value);
    if (valueSize == 0)
        return 0;
    set(name, value);
    return nameSize + valueSize;
}

QORStatus QORProxyIFMsgNameValue::createString(QORString* out)
{
    QORStatus st = startNamed(out, m_name.get());
    if (st == qor_s_ok)
        st = appendEncoded(out, m_value.get().data(), m_value.get().length());
    return st;
}

void QORProxyIFMsgNameInt::set(const QORStringRef& name, int value)
{
    m_name.set(name);
    m_value.set(value);
}

int QORProxyIFMsgNameInt::marshal(unsigned char* buffer, int size) const
{
    int nameSize = m_name.marshal(nullptr, 0);
    QOR_ASSERT(nameSize <= INT_MAX - 4);
    if (buffer != nullptr) {
        QOR_ASSERT(size >= nameSize + 4);
        m_name.marshal(buffer, nameSize);
        m_value.marshal(buffer + nameSize, size - nameSize);
    }
    return nameSize + 4;
}

int QORProxyIFMsgNameInt::unmarshal(const unsigned char* buffer, int size)
{
    QORStringRef name;
    int nameSize = QORProxyIFMsgString::decode(buffer, size, &name);
    if (nameSize == 0)
        return 0;
    QORProxyIFMsgInt value;
    if (value.unmarshal(buffer + nameSize, size - nameSize) == 0)
        return 0;
    set(name, value.get());
    return nameSize + 4;
}

QORStatus QORProxyIFMsgNameInt::createString(QORString* out)
{
    QORStatus st = startNamed(out, m_name.get());
    if (st == qor_s_ok)
        st = appendDecimal(out, m_value.get());
    return st;
}
