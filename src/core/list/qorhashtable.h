// qorhashtable.h: QORHashTable, a chained hash table with a fixed bucket
// count keyed by strings or views. Keys carry their hash, so a key that is
// looked up repeatedly is hashed once. Tables never rehash.
// Ownership: every key (and pointer value) a table that owns its entries is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

template <class K, class V>
class QORHashTable {
public:
    static const unsigned kDefaultBuckets = 64;

    struct Node {
        Node* next;
        K* key;
        V value;
    };

    explicit QORHashTable(QORAllocator* a = nullptr, bool deleteEntries = false)
        : m_allocator(a)
        , m_deleteEntries(deleteEntries)
    {
    }
    QORHashTable(const QORHashTable&) = delete;
    QORHashTable& operator=(const QORHashTable&) = delete;
    virtual ~QORHashTable() { destroy(); }

    // Allocates and zero-fills the bucket array; call once before use.
    QORStatus initialize(unsigned buckets = kDefaultBuckets)
    {
        if (m_buckets != nullptr || buckets == 0 || buckets > 0x3fffffffu / sizeof(Node*))
            return qor_s_invalid_argument;
        unsigned size = buckets * static_cast<unsigned>(sizeof(Node*));
        m_buckets = static_cast<Node**>(QORAllocator::allocate(m_allocator, size));
        if (m_buckets == nullptr)
            return qor_s_no_memory;
        memset(m_buckets, 0, size);
        m_bucketCount = buckets;
        return qor_s_ok;
    }

    // Spreads the high bits of h into the low ones in proportion to the
    // table's size, then takes h modulo the bucket count.
    static unsigned bucketFor(uint32_t h, unsigned buckets)
    {
        if (buckets < 256)
            h ^= (h >> 24) ^ ((h >> 8) & 0xFF) ^ ((h >> 16) & 0xFF);
        else if (buckets < 65536)
            h ^= h >> 16;
        else if (buckets <= 0xFFFFFFu)
            h ^= (h >> 24) << 4;
        return h % buckets;
    }

    // Puts key at the head of its chain without looking for an equal key.
    // The table keeps the key pointer (and destroys it when it owns entries).
    QORStatus insert(K* key, const V& value)
    {
        if (m_buckets == nullptr)
            return qor_s_invalid_argument;
        Node* n = static_cast<Node*>(QORAllocator::allocate(m_allocator, sizeof(Node)));
        if (n == nullptr)
            return qor_s_no_memory;
        unsigned b = bucketFor(key->hash(), m_bucketCount);
        n->key = key;
        new (&n->value) V(value);
        n->next = m_buckets[b];
        m_buckets[b] = n;
        m_count++;
        return qor_s_ok;
    }

    // The first node whose key equals key (compared with key's comparator),
    // or null. Q is any string or view of K's element type.
    template <class Q>
    Node* lookup(const Q& key) const
    {
        if (m_buckets == nullptr)
            return nullptr;
        for (Node* n = m_buckets[bucketFor(key.hash(), m_bucketCount)]; n; n = n->next) {
            if (n->key->length() == key.length()
                && key.compare(n->key->data(), n->key->length()) == 0)
                return n;
        }
        return nullptr;
    }

    // The value stored for key, or V() (0 for numbers and pointers).
    template <class Q>
    V find(const Q& key) const
    {
        Node* n = lookup(key);
        return n ? n->value : V();
    }

    template <class Q>
    bool contains(const Q& key) const
    {
        return lookup(key) != nullptr;
    }

    // Removes the first entry equal to key, destroying it when the table
    // owns entries. False when absent.
    template <class Q>
    bool remove(const Q& key)
    {
        if (m_buckets == nullptr)
            return false;
        Node** link = &m_buckets[bucketFor(key.hash(), m_bucketCount)];
        for (; *link; link = &(*link)->next) {
            Node* n = *link;
            if (n->key->length() == key.length()
                && key.compare(n->key->data(), n->key->length()) == 0) {
                *link = n->next;
                release(n);
                m_count--;
                return true;
            }
        }
        return false;
    }

    // Calls f(key, value) for every entry, bucket by bucket.
    template <class F>
    void forEach(F f) const
    {
        for (unsigned b = 0; b < m_bucketCount; b++)
            for (Node* n = m_buckets[b]; n; n = n->next)
                f(*n->key, n->value);
    }

    // Removes every entry, keeping the bucket array.
    void clear()
    {
        for (unsigned b = 0; b < m_bucketCount; b++) {
            Node* n = m_buckets[b];
            while (n) {
                Node* next = n->next;
                release(n);
                n = next;
            }
            m_buckets[b] = nullptr;
        }
        m_count = 0;
    }

    // Removes every entry and releases the bucket array; the table then has
    // no buckets until initialize runs again.
    void shutdown() { destroy(); }

    unsigned entries() const { return m_count; }
    unsigned bucketCount() const { return m_bucketCount; }
    bool deletesEntries() const { return m_deleteEntries; }
    QORAllocator* allocator() const { return m_allocator; }

private:
    void release(Node* n)
    {
        if (m_deleteEntries) {
            qor_delete(n->key);
            if constexpr (std::is_pointer<V>::value)
                qor_delete(n->value);
        }
        n->value.~V();
        QORAllocator::deallocate(m_allocator, n);
    }

    void destroy()
    {
        if (m_buckets == nullptr)
            return;
        clear();
        QORAllocator::deallocate(m_allocator, m_buckets);
        m_buckets = nullptr;
        m_bucketCount = 0;
    }

    Node** m_buckets = nullptr;
    unsigned m_bucketCount = 0;
    QORAllocator* m_allocator;
    bool m_deleteEntries;
    unsigned m_count = 0;
};
