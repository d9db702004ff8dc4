// qortime.cpp: the coarse clock and its refresh thread.
#include "core/threads/qortime.h"

#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"

QORTime::QORTime(int interval)
    : m_interval(interval < 1 ? 1 : interval)
{
    int rc = pthread_rwlock_init(&m_lock, nullptr);
    QOR_ASSERT(rc == 0);
}

QORTime::~QORTime()
{
    if (m_started.load(std::memory_order_acquire)) {
        pthread_cancel(m_thread);
        pthread_join(m_thread, nullptr);
    }
    pthread_rwlock_destroy(&m_lock);
}

time_t QORTime::time()
{
    if (!m_started.load(std::memory_order_acquire)) {
        QORWriteLock guard(m_lock);
        if (!m_started.load(std::memory_order_relaxed)) {
            // Set before the thread runs, so the first reading is exact.
            m_time = now();
            int rc = qorthread_create(&m_thread, nullptr, updater, this);
            QOR_ASSERT(rc == 0);
            m_started.store(true, std::memory_order_release);
            return m_time;
        }
    }
    QORReadLock guard(m_lock);
    return m_time;
}

void* QORTime::updater(void* self)
{
    QORTime* clock = static_cast<QORTime*>(self);
    for (;;) {
        // Cancelled only in the sleep, never while holding the lock.
        qorthread_sleep_np(unsigned(clock->m_interval));
        QORWriteLock guard(clock->m_lock);
        clock->m_time = now();
    }
    return nullptr;
}
