// qorbuffer.h: QORBuffer, a non-owning view of bytes (request bodies, answer
// payloads). Polymorphic so that callers can hand in their own byte sources.
#pragma once
#include <cstdint>
#include "core/buffers/qorstring.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORBuffer {
public:
    QORBuffer()
        : m_data(nullptr)
        , m_length(0)
    {
    }
    QORBuffer(const unsigned char* data, int length)
        : m_data(data)
        , m_length(length)
    {
    }
    // length -1 counts up to the zero terminator.
    QORBuffer(const char* data, int length);
    QORBuffer(const QORStringRefT<char>& s);
    QORBuffer(const QORStringT<char>& s);
    QORBuffer(const QORStringRefT<unsigned char>& s);
    QORBuffer(const QORStringT<unsigned char>& s);
    QORBuffer(const QORBuffer& other);
    QORBuffer& operator=(const QORBuffer& other);

    virtual ~QORBuffer();
    virtual const unsigned char* getData() const;
    virtual int getLen() const;
    virtual void set(const unsigned char* data, int length);

    // djb2-xor over the bytes; 5381 when empty.
    uint32_t hash() const;
    // Byte-wise as unsigned values over the shorter length, then shorter
    // first: -1, 0 or 1.
    int compare(const unsigned char* data, int length) const;
    // Against the string's characters and its zero terminator, so a buffer
    // equals a string only when its last byte is that zero.
    int compare(const QORStringT<char>& s) const;
    int compare(const QORStringRefT<char>& s) const;

private:
    const unsigned char* m_data;
    int m_length;
};

QOR_EXPORT_END
