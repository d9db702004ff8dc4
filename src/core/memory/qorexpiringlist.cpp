// qorexpiringlist.cpp: the expiring list and its cleaner thread.
#include "core/memory/qorexpiringlist.h"

#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"

QORExpiringListEntryBase::~QORExpiringListEntryBase() = default;

QORExpiringListBase::QORExpiringListBase(bool owns, QORAllocator* allocator,
                                         int clockInterval)
    : m_owns(owns)
    , m_allocator(allocator)
    , m_clock(clockInterval)
{
}

QORExpiringListBase::~QORExpiringListBase()
{
    if (m_timeout != 0) {
        pthread_cancel(m_cleaner);
        pthread_join(m_cleaner, nullptr);
    }
    if (m_mutexCreated)
        pthread_mutex_destroy(&m_mutex);
    clear();
}

QORStatus QORExpiringListBase::initialize(unsigned timeout, unsigned minimum)
{
    QOR_ASSERT(!m_mutexCreated);
    if (pthread_mutex_init(&m_mutex, nullptr) != 0)
        return qor_s_thread_init_failed;
    m_mutexCreated = true;
    m_minimum = minimum;
    if (timeout != 0) {
        m_timeout = timeout;
        if (qorthread_create(&m_cleaner, nullptr, cleaner, this) != 0) {
            m_timeout = 0;
            return qor_s_thread_init_failed;
        }
    }
    return qor_s_ok;
}

void QORExpiringListBase::add(QORExpiringListEntryBase* entry)
{
    entry->m_previous = nullptr;
    entry->m_next = m_head;
    if (m_head != nullptr)
        m_head->m_previous = entry;
    else
        m_tail = entry;
    m_head = entry;
    m_count++;
}

QORExpiringListEntryBase* QORExpiringListBase::remove()
{
    QORExpiringListEntryBase* entry = m_head;
    if (entry != nullptr)
        removeEntry(entry);
    return entry;
}

void QORExpiringListBase::removeEntry(QORExpiringListEntryBase* entry)
{
    if (entry->m_previous != nullptr)
        entry->m_previous->m_next = entry->m_next;
    else
        m_head = entry->m_next;
    if (entry->m_next != nullptr)
        entry->m_next->m_previous = entry->m_previous;
    else
        m_tail = entry->m_previous;
    entry->m_previous = entry->m_next = nullptr;
    m_count--;
}

void QORExpiringListBase::clear()
{
    QORExpiringListEntryBase* chain = m_head;
    m_head = m_tail = nullptr;
    m_count = 0;
    dispose(chain);
}

void QORExpiringListBase::lock()
{
    QOR_ASSERT(m_mutexCreated);
    qorthread_mutex_lock(&m_mutex);
}

void QORExpiringListBase::unlock()
{
    qorthread_mutex_unlock(&m_mutex);
}

QORExpiringListEntryBase* QORExpiringListBase::unlinkExpired(time_t now)
{
    QORExpiringListEntryBase* chain = nullptr;
    while (m_count > m_minimum && m_tail != nullptr &&
           m_tail->m_stamp + time_t(m_timeout) < now) {
        QORExpiringListEntryBase* entry = m_tail;
        removeEntry(entry);
        entry->m_next = chain;
        chain = entry;
    }
    return chain;
}

void QORExpiringListBase::dispose(QORExpiringListEntryBase* chain)
{
    while (chain != nullptr) {
        QORExpiringListEntryBase* next = chain->m_next;
        chain->m_previous = chain->m_next = nullptr;
        if (m_owns)
            delete chain;
        chain = next;
    }
}

void* QORExpiringListBase::cleaner(void* self)
{
    QORExpiringListBase* list = static_cast<QORExpiringListBase*>(self);
    for (;;) {
        // The sleep is the only place the thread may be cancelled: the
        // list stays consistent and deletions are never cut short.
        qorthread_sleep_np(list->m_timeout);
        int state;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        time_t now = list->m_clock.time();
        list->lock();
        QORExpiringListEntryBase* chain = list->unlinkExpired(now);
        list->unlock();
        // Deleting an entry may delete what it holds, which can be slow:
        // outside the lock.
        list->dispose(chain);
        pthread_setcancelstate(state, nullptr);
    }
    return nullptr;
}
