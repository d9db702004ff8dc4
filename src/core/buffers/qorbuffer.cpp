// qorbuffer.cpp: QORBuffer.
#include "core/buffers/qorbuffer.h"

#include <cstring>

QORBuffer::QORBuffer(const char* data, int length)
    : m_data(reinterpret_cast<const unsigned char*>(data))
    , m_length(data == nullptr ? 0 : (length < 0 ? qor_string_length(data) : length))
{
}

QORBuffer::QORBuffer(const QORStringRefT<char>& s)
    : QORBuffer(reinterpret_cast<const unsigned char*>(s.data()), s.length())
{
}

QORBuffer::QORBuffer(const QORStringT<char>& s)
    : QORBuffer(reinterpret_cast<const unsigned char*>(s.data()), s.length())
{
}

QORBuffer::QORBuffer(const QORStringRefT<unsigned char>& s)
    : QORBuffer(s.data(), s.length())
{
}

QORBuffer::QORBuffer(const QORStringT<unsigned char>& s)
    : QORBuffer(s.data(), s.length())
{
}

QORBuffer::QORBuffer(const QORBuffer& other)
    : m_data(other.getData())
    , m_length(other.getLen())
{
}

QORBuffer& QORBuffer::operator=(const QORBuffer& other)
{
    set(other.getData(), other.getLen());
    return *this;
}

QORBuffer::~QORBuffer() = default;

const unsigned char* QORBuffer::getData() const
{
    return m_data;
}

int QORBuffer::getLen() const
{
    return m_length;
}

void QORBuffer::set(const unsigned char* data, int length)
{
    m_data = data;
    m_length = length;
}

uint32_t QORBuffer::hash() const
{
    int n = getLen();
    return qor_binary_hasher.hash(getData(), n > 0 ? static_cast<unsigned>(n) : 0);
}

int QORBuffer::compare(const unsigned char* data, int length) const
{
    const unsigned char* mine = getData();
    int n = getLen();
    int shorter = n < length ? n : length;
    if (shorter > 0) {
        int r = memcmp(mine, data, static_cast<size_t>(shorter));
        if (r != 0)
            return r < 0 ? -1 : 1;
    }
    return n < length ? -1 : (n > length ? 1 : 0);
}

int QORBuffer::compare(const QORStringT<char>& s) const
{
    return compare(reinterpret_cast<const unsigned char*>(s.data()), s.length() + 1);
}

int QORBuffer::compare(const QORStringRefT<char>& s) const
{
    const char* terminated = s.c_str();
    if (terminated == nullptr)
        return 1;
    return compare(reinterpret_cast<const unsigned char*>(terminated), s.length() + 1);
}
