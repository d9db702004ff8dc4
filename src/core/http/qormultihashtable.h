// qormultihashtable.h: QORMultiHashTable, a table with a fixed number of
// buckets that keeps every value added under a key, in insertion order
// within a bucket. The HTTP parser fills header sets (views into the parsed
// text), form-data sets and argument sets with it.
//
// The first value of a bucket lives in the bucket record itself; later ones
// take entries from the table's free list, or from its allocator when the
// list is empty. clear() returns entries to the free list, so a table that
// is cleared and refilled with no more values than before allocates nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include "core/buffers/qorstring.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

// Key equality of a table: the key's own equality unless an overload for
// the key type says otherwise (header names compare without case).
template <class K>
inline bool qor_multi_key_equals(const K& a, const K& b)
{
    return a.equals(b);
}

// Copies src into a slot that keeps its own allocator: views are re-pointed,
// owned strings copy their characters (and may fail for memory).
inline bool qor_multi_assign(QORStringRefT<char>& dst, const QORStringRefT<char>& src)
{
    dst = src;
    return true;
}
inline bool qor_multi_assign(QORStringT<char>& dst, const QORStringRefT<char>& src)
{
    return dst.set(src);
}

template <class K, class V, unsigned N>
class QORMultiHashTable {
public:
    static_assert(N > 0, "a table needs a bucket");

    // A bucket record or an allocated entry. Links form a circle anchored
    // at the bucket record.
    struct Entry {
        explicit Entry(QORAllocator* a)
            : key(static_cast<const char*>(nullptr), 0, a)
            , value(static_cast<const char*>(nullptr), 0, a)
        {
        }
        Entry* next = this;
        Entry* prev = this;
        K key;
        V value;
        bool inUse = false;
    };

    // Walks every value, bucket by bucket, each bucket in insertion order.
    class Iterator {
    public:
        bool valid() const { return m_entry != nullptr; }
        const K& key() const { return m_entry->key; }
        V& value() const { return m_entry->value; }
        Entry* entry() const { return m_entry; }
        void next()
        {
            Entry* anchor = &m_table->m_buckets[m_bucket];
            m_entry = m_entry->next != anchor ? m_entry->next : nullptr;
            if (m_entry == nullptr)
                seek(m_bucket + 1);
        }

    private:
        friend class QORMultiHashTable;
        explicit Iterator(QORMultiHashTable* t)
            : m_table(t)
        {
            seek(0);
        }
        void seek(unsigned b)
        {
            for (m_bucket = b; m_bucket < N; m_bucket++) {
                if (m_table->m_buckets[m_bucket].inUse) {
                    m_entry = &m_table->m_buckets[m_bucket];
                    return;
                }
            }
            m_entry = nullptr;
        }

        QORMultiHashTable* m_table;
        unsigned m_bucket = 0;
        Entry* m_entry = nullptr;
    };

    // Keys and values stored here use a (null: the process heap).
    explicit QORMultiHashTable(QORAllocator* a = nullptr)
        : m_allocator(a)
    {
        for (unsigned i = 0; i < N; i++)
            new (&m_buckets[i]) Entry(a);
    }
    QORMultiHashTable(const QORMultiHashTable&) = delete;
    QORMultiHashTable& operator=(const QORMultiHashTable&) = delete;
    ~QORMultiHashTable()
    {
        clear();
        while (m_free != nullptr) {
            Entry* e = m_free;
            m_free = e->next;
            qor_delete(e);
        }
        for (unsigned i = 0; i < N; i++)
            m_buckets[i].~Entry();
    }

    // Adds value under key after any values already there. Fails only for
    // memory (qor_s_no_memory), leaving the table as it was.
    QORStatus add(const K& key, const V& value)
    {
        Entry* anchor = &m_buckets[bucketOf(key)];
        Entry* e = anchor;
        if (anchor->inUse) {
            e = m_free;
            if (e != nullptr)
                m_free = e->next;
            else if ((e = qor_new<Entry>(m_allocator, m_allocator)) == nullptr)
                return qor_s_no_memory;
        }
        if (!qor_multi_assign(e->key, key) || !qor_multi_assign(e->value, value)) {
            if (e != anchor) {
                e->next = m_free;
                m_free = e;
            }
            return qor_s_no_memory;
        }
        e->inUse = true;
        if (e != anchor) {
            e->prev = anchor->prev;
            e->next = anchor;
            anchor->prev->next = e;
            anchor->prev = e;
        }
        m_count++;
        return qor_s_ok;
    }

    // The first entry added under key, or null.
    Entry* find(const K& key)
    {
        Entry* anchor = &m_buckets[bucketOf(key)];
        return anchor->inUse ? match(anchor, anchor, key) : nullptr;
    }
    // The entry added under the same key after e, or null.
    Entry* findNext(const Entry* e)
    {
        Entry* anchor = &m_buckets[bucketOf(e->key)];
        return e->next != anchor ? match(anchor, e->next, e->key) : nullptr;
    }

    // Forgets every value; allocated entries move to the free list.
    void clear()
    {
        for (unsigned i = 0; i < N; i++) {
            Entry* anchor = &m_buckets[i];
            while (anchor->next != anchor) {
                Entry* e = anchor->next;
                anchor->next = e->next;
                e->inUse = false;
                e->next = m_free;
                m_free = e;
            }
            anchor->prev = anchor;
            anchor->inUse = false;
        }
        m_count = 0;
    }

    Iterator begin() { return Iterator(this); }
    int count() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    QORAllocator* allocator() const { return m_allocator; }
    // A word for whoever holds the table; the table never reads it.
    void* owner() const { return m_owner; }
    void setOwner(void* owner) { m_owner = owner; }

    unsigned bucketOf(const K& key) const
    {
        return N == 1 ? 0 : static_cast<unsigned>(key.hash() % N);
    }

private:
    Entry* match(Entry* anchor, Entry* from, const K& key)
    {
        Entry* e = from;
        do {
            if (qor_multi_key_equals(e->key, key))
                return e;
            e = e->next;
        } while (e != anchor);
        return nullptr;
    }

    void* m_owner = nullptr;
    QORAllocator* m_allocator;
    union {
        Entry m_buckets[N];
    };
    Entry* m_free = nullptr;
    int m_count = 0;
};
