// qorproxyifmsgdata.h: the typed data items that questions and answers put
// into the elements of a message region: integer, byte buffer, string,
// string list, name/value and name/integer. Every encoding is made of native
// 32-bit integers and bytes padded to a multiple of 4.
//
// Items are views: set() keeps a reference to the caller's characters or
// bytes, and unmarshal() makes the item refer to the bytes it was given (in
// shared memory), without copying. The caller keeps that memory alive while
// the item is used.
//
// Bytes handed to unmarshal() come from another process and are untrusted:
// an item reads only inside the `size` bytes it is given and returns the
// bytes it consumed (a multiple of 4, never more than size), or 0 when those
// bytes do not hold a whole item (a count that runs past them, or a
// name/value or name/integer whose value is missing or cut short). A failed
// unmarshal leaves the item as it was.
#pragma once
#include <cstdint>
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstring.h"
#include "core/buffers/qorstringref.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

class QORProxyIFMsgData {
public:
    virtual ~QORProxyIFMsgData();
    // With a null buffer returns the encoded size only. Otherwise writes the
    // encoding and returns its size. REQUIRES: size at least the encoded
    // size (a smaller buffer stops the process).
    virtual int marshal(unsigned char* buffer, int size) const = 0;
    // Reads the item from at most size bytes; see the file comment.
    virtual int unmarshal(const unsigned char* buffer, int size) = 0;
    // A printable rendering for trace output, replacing out's content.
    // 0x35f0200c when memory for it failed.
    virtual QORStatus createString(QORString* out) = 0;
};

// One signed 32-bit value. Encoding: the value.
class QORProxyIFMsgInt : public QORProxyIFMsgData {
public:
    explicit QORProxyIFMsgInt(int value = 0)
        : m_value(value)
    {
    }

    void set(int value) { m_value = value; }
    int get() const { return m_value; }
    void increment() { m_value++; }

    int marshal(unsigned char* buffer, int size) const override;
    int unmarshal(const unsigned char* buffer, int size) override;
    // Decimal, "-" in front of negative values.
    QORStatus createString(QORString* out) override;

private:
    int32_t m_value;
};

// A view of bytes. Encoding: u32 byte count L, the L bytes, padding.
class QORProxyIFMsgBuffer : public QORProxyIFMsgData {
public:
    void set(const QORBuffer& buffer);
    const QORBuffer& get() const { return m_buffer; }

    int marshal(unsigned char* buffer, int size) const override;
    int unmarshal(const unsigned char* buffer, int size) override;
    // The bytes URI-encoded as ASCII.
    QORStatus createString(QORString* out) override;

private:
    QORBuffer m_buffer;
};

// A view of n characters. Encoding: u32 n + 1, the n characters, a 0 byte,
// padding. Read back, a count N whose last counted byte is 0 gives the first
// N - 1 characters; otherwise all N bytes. Either way the view has an
// explicit length and is not terminated: it never hands out the other
// process's bytes as a C string.
class QORProxyIFMsgString : public QORProxyIFMsgData {
public:
    void set(const QORStringRef& s) { m_string = s; }
    const QORStringRef& get() const { return m_string; }

    int marshal(unsigned char* buffer, int size) const override;
    int unmarshal(const unsigned char* buffer, int size) override;
    // The characters URI-encoded as ASCII.
    QORStatus createString(QORString* out) override;

    // The encoding and decoding of one string, shared with the list and the
    // name items. encodedSize counts a view of unknown length from its
    // terminator; decode returns the bytes consumed or 0 (see above).
    static int encodedSize(const QORStringRef& s);
    static int encode(const QORStringRef& s, unsigned char* buffer, int size);
    static int decode(const unsigned char* buffer, int size, QORStringRef* out);

private:
    QORStringRef m_string;
};

// An ordered list of string views with a read cursor. The first 5 entries
// live inside the object; a sixth moves them to an array from the list's
// allocator (null: the heap), which grows by 10 entries at a time.
// Encoding: u32 count c, then c strings encoded as QORProxyIFMsgString.
class QORProxyIFMsgStringList : public QORProxyIFMsgData {
public:
    static const int kInlineEntries = 5;
    static const int kGrowBy = 10;

    // initialCapacity above 5 sizes the first array (to the next step of 10
    // above 5) so that a list known to be long grows once.
    explicit QORProxyIFMsgStringList(int initialCapacity = kInlineEntries,
                                     QORAllocator* allocator = nullptr);
    ~QORProxyIFMsgStringList() override;
    QORProxyIFMsgStringList(const QORProxyIFMsgStringList&) = delete;
    QORProxyIFMsgStringList& operator=(const QORProxyIFMsgStringList&) = delete;

    // Appends at index entries(). 0x35f0200c when the array could not grow;
    // the list is unchanged then.
    QORStatus add(const QORStringRef& s);
    int entries() const { return m_count; }
    // The entry at the cursor, advancing it; null at the end.
    const QORStringRef* get();
    // Cursor := min(position, entries()); returns the previous cursor.
    unsigned int restart(unsigned int position);
    // Entry i, 0 <= i < entries(), without touching the cursor.
    const QORStringRef& at(int i) const { return m_entries[i]; }
    int capacity() const { return m_capacity; }

    int marshal(unsigned char* buffer, int size) const override;
    // Replaces the entries; the cursor is at 0 afterwards. 0 also when the
    // array for the entries could not be had.
    int unmarshal(const unsigned char* buffer, int size) override;
    // "[entry] " for each entry, each URI-encoded as ASCII.
    QORStatus createString(QORString* out) override;

private:
    bool reserve(int needed);
    void clear();

    QORAllocator* m_allocator;
    QORStringRef* m_entries;
    int m_count = 0;
    int m_capacity = kInlineEntries;
    int m_firstHeapCapacity;
    unsigned int m_cursor = 0;
    QORStringRef m_inline[kInlineEntries];
};

// A name string and a value string, encoded one after the other.
class QORProxyIFMsgNameValue : public QORProxyIFMsgData {
public:
    void set(const QORStringRef& name, const QORStringRef& value);
    const QORStringRef& getName() const { return m_name.get(); }
    const QORStringRef& getValue() const { return m_value.get(); }

    int marshal(unsigned char* buffer, int size) const override;
    // The value must follow the name in full: a name with nothing, or only
    // part of a string, after it is a malformed item (0, unchanged); a
    // missing value is never taken to be empty.
    int unmarshal(const unsigned char* buffer, int size) override;
    // "Name: <name> - Value: <value>", both URI-encoded as ASCII.
    QORStatus createString(QORString* out) override;

private:
    QORProxyIFMsgString m_name;
    QORProxyIFMsgString m_value;
};

// A name string followed by a 32-bit integer.
class QORProxyIFMsgNameInt : public QORProxyIFMsgData {
public:
    void set(const QORStringRef& name, int value);
    const QORStringRef& getName() const { return m_name.get(); }
    int getValue() const { return m_value.get(); }

    int marshal(unsigned char* buffer, int size) const override;
    // As for the name/value item: fewer than 4 bytes after the name is a
    // malformed item (0, unchanged), never a value of 0.
    int unmarshal(const unsigned char* buffer, int size) override;
    // "Name: <name> - Value: <decimal>".
    QORStatus createString(QORString* out) override;

private:
    QORProxyIFMsgString m_name;
    QORProxyIFMsgInt m_value;
};
