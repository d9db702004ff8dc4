// qorprotectedhashtable.h: QORProtectedHashTable, the hash table that many
// request threads read while configuration answers replace its contents.
// Lookups run under the read lock, changes under the write lock.
#pragma once
#include <pthread.h>
#include "core/list/qorhashtable.h"
#include "core/threads/qorthread.h"

template <class K, class V>
class QORProtectedHashTable : public QORHashTable<K, V> {
public:
    // Holds the read lock of the table a lockedFind looked in until the
    // caller is done with the value it returned.
    class Lock {
    public:
        Lock() = default;
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock() { release(); }
        void release()
        {
            if (m_table) {
                m_table->unlock();
                m_table = nullptr;
            }
        }

    private:
        friend class QORProtectedHashTable;
        const QORProtectedHashTable* m_table = nullptr;
    };

    explicit QORProtectedHashTable(QORAllocator* a = nullptr, bool deleteEntries = false)
        : QORHashTable<K, V>(a, deleteEntries)
    {
        pthread_rwlock_init(&m_lock, nullptr);
    }
    ~QORProtectedHashTable() override { pthread_rwlock_destroy(&m_lock); }

    // Looks key up under the read lock and returns its value (V() when
    // absent) with the lock still held by *lock.
    template <class Q>
    V lockedFind(const Q& key, Lock* lock) const
    {
        lock->release();
        readLock();
        lock->m_table = this;
        return this->find(key);
    }

    void readLock() const { qorthread_rwlock_rdlock(&m_lock); }
    void writeLock() const { qorthread_rwlock_wrlock(&m_lock); }
    // False when a reader or writer holds the table.
    bool tryWriteLock() const { return pthread_rwlock_trywrlock(&m_lock) == 0; }
    void unlock() const { qorthread_rwlock_unlock(&m_lock); }

private:
    mutable pthread_rwlock_t m_lock;
};
