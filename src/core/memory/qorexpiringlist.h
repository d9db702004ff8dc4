// qorexpiringlist.h: a list whose idle entries a background cleaner removes
// after they have been unused for a set time; the allocator pool keeps its
// spare allocators in one. Entries are added and taken at the head (newest
// first); the cleaner ages them from the tail (oldest) and always leaves a
// minimum number behind. Time is the coarse clock's, so an entry lives at
// least its timeout and at most about the timeout plus the clock's interval
// plus the cleaner's period.
// Ownership: every object an owning list is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include <pthread.h>
#include <time.h>
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"
#include "core/threads/qortime.h"

class QORExpiringListBase;

// Seconds between refreshes of a list's clock unless its owner chooses.
constexpr int QOR_EXPIRING_LIST_CLOCK_INTERVAL = 5;

// One entry: its links and the time it was stamped with. Entries live in
// the list's allocator (new (allocator) Entry(...)) and go back there when
// deleted.
class QORExpiringListEntryBase : public QORAllocated {
public:
    explicit QORExpiringListEntryBase(time_t stamp)
        : m_stamp(stamp)
    {
    }
    QORExpiringListEntryBase(const QORExpiringListEntryBase&) = delete;
    QORExpiringListEntryBase& operator=(const QORExpiringListEntryBase&) = delete;
    virtual ~QORExpiringListEntryBase();

    time_t stamp() const { return m_stamp; }

private:
    friend class QORExpiringListBase;

    QORExpiringListEntryBase* m_previous = nullptr;   // newer
    QORExpiringListEntryBase* m_next = nullptr;       // older
    time_t m_stamp;
};

class QORExpiringListBase {
public:
    // owns: the list deletes the entries it clears or expires (otherwise it
    // only unlinks them). allocator: where entries are made (null: heap).
    // clockInterval: seconds between refreshes of the list's clock.
    QORExpiringListBase(bool owns, QORAllocator* allocator,
                        int clockInterval = QOR_EXPIRING_LIST_CLOCK_INTERVAL);
    QORExpiringListBase(const QORExpiringListBase&) = delete;
    QORExpiringListBase& operator=(const QORExpiringListBase&) = delete;
    // Stops the cleaner (cancel and join), then clears the list.
    // REQUIRES: no other thread uses the list.
    virtual ~QORExpiringListBase();

    // Creates the lock; with a non-zero timeout (seconds) also starts the
    // cleaner, which every timeout seconds deletes entries older than
    // timeout, oldest first, while more than minimum entries remain. Call
    // once. 0, or XLTIC0320E when the lock or the thread cannot be made.
    QORStatus initialize(unsigned timeout, unsigned minimum);

    // The list operations below do not lock: hold lock() around them
    // whenever a cleaner runs or other threads share the list.
    void add(QORExpiringListEntryBase* entry);     // as the newest entry
    QORExpiringListEntryBase* remove();            // the newest, or null
    void removeEntry(QORExpiringListEntryBase* entry);
    unsigned entries() const { return m_count; }
    // Removes every entry, deleting them when the list owns entries.
    void clear();

    // REQUIRES: initialize succeeded.
    void lock();
    void unlock();

    // The list's coarse time, for stamping entries.
    time_t time() { return m_clock.time(); }

    QORAllocator* allocator() const { return m_allocator; }
    bool ownsEntries() const { return m_owns; }
    unsigned timeout() const { return m_timeout; }
    unsigned minimum() const { return m_minimum; }

private:
    static void* cleaner(void* self);
    // Unlinks the entries due at now onto a chain (linked through m_next)
    // and returns it. REQUIRES: lock held.
    QORExpiringListEntryBase* unlinkExpired(time_t now);
    void dispose(QORExpiringListEntryBase* chain);

    bool m_owns;
    QORAllocator* m_allocator;
    pthread_t m_cleaner;
    pthread_mutex_t m_mutex;
    bool m_mutexCreated = false;
    unsigned m_timeout = 0;
    unsigned m_minimum = 0;
    QORExpiringListEntryBase* m_head = nullptr;
    QORExpiringListEntryBase* m_tail = nullptr;
    unsigned m_count = 0;
    QORTime m_clock;
};

// An entry holding an object; when it owns the object, deleting the entry
// deletes the object (with qor_delete, so the object goes back to the
// allocator it was made from).
template <class T>
class QORExpiringListEntry : public QORExpiringListEntryBase {
public:
    QORExpiringListEntry(T* object, bool owns, time_t stamp)
        : QORExpiringListEntryBase(stamp)
        , m_object(object)
        , m_owns(owns)
    {
    }
    ~QORExpiringListEntry() override
    {
        if (m_owns)
            qor_delete(m_object);
    }

    T* object() const { return m_object; }
    // Gives the object up: the entry no longer holds or deletes it.
    T* detach()
    {
        T* object = m_object;
        m_object = nullptr;
        m_owns = false;
        return object;
    }

private:
    T* m_object;
    bool m_owns;
};

template <class T>
class QORExpiringList : public QORExpiringListBase {
public:
    typedef QORExpiringListEntry<T> Entry;

    QORExpiringList(bool owns, QORAllocator* allocator,
                    int clockInterval = QOR_EXPIRING_LIST_CLOCK_INTERVAL)
        : QORExpiringListBase(owns, allocator, clockInterval)
    {
    }

    // A new entry for object in the list's allocator, stamped with the
    // list's time; null when memory ran out. Not yet in the list.
    Entry* newEntry(T* object, bool owns)
    {
        return new (allocator()) Entry(object, owns, time());
    }
    void add(Entry* entry) { QORExpiringListBase::add(entry); }
    Entry* remove() { return static_cast<Entry*>(QORExpiringListBase::remove()); }
};
