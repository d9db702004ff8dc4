// qormsgitemcursor.h: QORMsgItemReader and QORMsgItemWriter, the walk over
// a run of data items packed back to back in one element (or one part of
// an element). The reader hands each item only the bytes that are left, so
// that an item that claims more than the element holds is refused rather
// than read past its end.
//
// A layout that is the same for reading and writing is written once, as a
// template over the cursor that calls qor_msg_item(cursor, item) for each
// item in order: reading stops at the first item that is not there.
#pragma once
#include <climits>
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

class QORMsgItemReader {
public:
    QORMsgItemReader() = default;
    QORMsgItemReader(const void* data, int size)
        : m_current(static_cast<const unsigned char*>(data))
        , m_remaining(data != nullptr && size > 0 ? size : 0)
    {
    }

    // Decodes item (a data item, or a question part that decodes itself
    // the same way) at the cursor and moves past it. False, the cursor
    // unmoved and item unchanged, when the bytes left do not hold it.
    template <class Item>
    bool read(Item& item)
    {
        int n = item.unmarshal(m_current, m_remaining);
        if (n <= 0 || n > m_remaining)
            return false;
        m_current += n;
        m_remaining -= n;
        return true;
    }

    const unsigned char* current() const { return m_current; }
    int remaining() const { return m_remaining; }
    bool atEnd() const { return m_remaining == 0; }

private:
    const unsigned char* m_current = nullptr;
    int m_remaining = 0;
};

class QORMsgItemWriter {
public:
    // With null data only counts, so the same walk first sizes an element
    // and then fills it.
    QORMsgItemWriter(void* data, int size)
        : m_data(static_cast<unsigned char*>(data))
        , m_size(size)
    {
    }

    // Encodes item (a data item or a question part) after what is written.
    // REQUIRES: room for it, as the counting walk found.
    template <class Item>
    void write(const Item& item)
    {
        if (m_data == nullptr)
            m_written += item.marshal(nullptr, 0);
        else
            m_written += item.marshal(m_data + m_written, m_size - m_written);
    }

    int written() const { return m_written; }

private:
    unsigned char* m_data;
    int m_size;
    int m_written = 0;
};

template <class Item>
inline bool qor_msg_item(QORMsgItemReader& reader, Item& item)
{
    return reader.read(item);
}

template <class Item>
inline bool qor_msg_item(QORMsgItemWriter& writer, const Item& item)
{
    writer.write(item);
    return true;
}

// The text of a field whose presence flag is bit: 0x35f02002 when flags
// lacks the bit.
inline QORStatus qor_msg_present_string(int flags, int bit, const QORProxyIFMsgString& field,
                                        QORStringRef* out)
{
    if ((flags & bit) == 0)
        return qor_s_not_available;
    *out = field.get();
    return qor_s_ok;
}

// Appends one element holding what fill(QORMsgItemWriter&) writes: fill runs
// once to size the element and once to write it. The allocation's status.
template <class Fill>
QORStatus qor_msg_write_element_with(QORSharedMemAllocator& alloc, Fill fill)
{
    QORMsgItemWriter sizer(nullptr, 0);
    fill(sizer);
    void* data = nullptr;
    QORStatus st = alloc.allocate(static_cast<unsigned int>(sizer.written()), &data);
    if (st != qor_s_ok)
        return st;
    QORMsgItemWriter w(data, sizer.written());
    fill(w);
    return qor_s_ok;
}

// Appends one element holding item alone.
template <class Item>
QORStatus qor_msg_write_element(QORSharedMemAllocator& alloc, const Item& item)
{
    return qor_msg_write_element_with(alloc, [&item](QORMsgItemWriter& w) { w.write(item); });
}

// Decodes item from the whole of length bytes at data: false when they do
// not hold exactly the item.
template <class Item>
bool qor_msg_read_exactly(const void* data, unsigned int length, Item& item)
{
    if (length > INT_MAX)
        return false;
    QORMsgItemReader r(data, static_cast<int>(length));
    return r.read(item) && r.atEnd();
}

// Takes the next element of it and makes reader the walk over its bytes (an
// element too large for an int gives an empty walk): the iterator's status
// for a damaged chain, qor_s_msg_unmarshal_failed when there is no element.
inline QORStatus qor_msg_next_element(QORSharedMemIterator& it, QORMsgItemReader* reader)
{
    if (!it.hasMoreElements())
        return qor_s_msg_unmarshal_failed;
    unsigned int length = 0;
    void* data = nullptr;
    QORStatus st = it.getNextElement(&length, &data);
    if (st != qor_s_ok)
        return st;
    *reader = QORMsgItemReader(data, length <= INT_MAX ? static_cast<int>(length) : 0);
    return qor_s_ok;
}

// Reads the next element of it as item alone: the iterator's status for a
// damaged chain, qor_s_msg_unmarshal_failed when there is no element or it
// holds more or less than the item.
template <class Item>
QORStatus qor_msg_read_element(QORSharedMemIterator& it, Item& item)
{
    QORMsgItemReader r;
    QORStatus st = qor_msg_next_element(it, &r);
    if (st != qor_s_ok)
        return st;
    if (!r.read(item) || !r.atEnd())
        return qor_s_msg_unmarshal_failed;
    return qor_s_ok;
}
