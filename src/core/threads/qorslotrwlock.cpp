// qorslotrwlock.cpp: the slot numbers of the threads, and the lock.
#include "core/threads/qorslotrwlock.h"

#include <sched.h>
#include <time.h>
#include <new>

#include "core/threads/qorthread.h"

namespace {

// The process's slot numbers: which are taken, and how many from 0 up have
// ever been handed out (a writer looks at those counters only).
pthread_mutex_t s_slotMutex = PTHREAD_MUTEX_INITIALIZER;
bool s_slotTaken[QORSlotRWLock::kSlots];
int s_slotsUsed = 0;

const int kNotAsked = -2;

// A thread's slot number. Plain, so that reading it costs no
// initialisation check; the holder below gives it back when the thread
// ends.
thread_local int t_slotNumber = kNotAsked;

struct ThreadSlotHolder {
    bool armed = false;
    ~ThreadSlotHolder()
    {
        if (t_slotNumber < 0)
            return;
        QORMutexLock lock(s_slotMutex);
        s_slotTaken[t_slotNumber] = false;
        // A lock taken by a later destructor of this thread counts in the
        // shared counter.
        t_slotNumber = -1;
    }
};

thread_local ThreadSlotHolder t_slotHolder;

int takeSlot()
{
    QORMutexLock lock(s_slotMutex);
    for (int i = 0; i < QORSlotRWLock::kSlots; i++) {
        if (s_slotTaken[i])
            continue;
        s_slotTaken[i] = true;
        // Published before the thread's first count: a writer that might
        // miss the count (it raised its flag after the reader looked)
        // loads this after raising it.
        if (i >= __atomic_load_n(&s_slotsUsed, __ATOMIC_RELAXED))
            __atomic_store_n(&s_slotsUsed, i + 1, __ATOMIC_SEQ_CST);
        return i;
    }
    return -1;
}

// A writer waits out readers, which hold the lock for a lookup: yield
// first, then sleep briefly so that a reader on this CPU can finish.
void waitForZero(const long& counter)
{
    for (int round = 0; __atomic_load_n(&counter, __ATOMIC_ACQUIRE) != 0; round++) {
        if (round < 64) {
            sched_yield();
        } else {
            struct timespec pause = {0, 50 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

} // namespace

int QORSlotRWLock::slotOfThisThread()
{
    int number = t_slotNumber;
    if (number != kNotAsked)
        return number;
    number = takeSlot();
    t_slotNumber = number;
    // The first use of the holder registers its destructor for this thread.
    t_slotHolder.armed = true;
    return number;
}

QORSlotRWLock::QORSlotRWLock()
    : m_counters(new (std::nothrow) Counter[kSlots + 1])
{
}

QORSlotRWLock::~QORSlotRWLock()
{
    delete[] m_counters;
}

long& QORSlotRWLock::counterOfThisThread() const
{
    if (m_counters == nullptr)
        return m_fallback;
    int slot = slotOfThisThread();
    return m_counters[slot >= 0 ? slot : kSlots].readers;
}

void QORSlotRWLock::readLock() const
{
    (void)lockShared();
}

long& QORSlotRWLock::lockShared() const
{
    long& counter = counterOfThisThread();
    for (;;) {
        // Count first, then look: the writer raises its flag first, then
        // looks at the counts, so at least one of the two sees the other.
        __atomic_fetch_add(&counter, 1, __ATOMIC_SEQ_CST);
        if (!__atomic_load_n(&m_writer, __ATOMIC_SEQ_CST))
            return counter;
        __atomic_fetch_sub(&counter, 1, __ATOMIC_RELEASE);
        // The writer holds the mutex from before its flag went up until
        // after it came down.
        qorthread_mutex_lock(&m_writers);
        qorthread_mutex_unlock(&m_writers);
    }
}

void QORSlotRWLock::readUnlock() const
{
    unlockShared(counterOfThisThread());
}

void QORSlotRWLock::writeLock() const
{
    qorthread_mutex_lock(&m_writers);
    __atomic_store_n(&m_writer, true, __ATOMIC_SEQ_CST);
    if (m_counters != nullptr) {
        int used = __atomic_load_n(&s_slotsUsed, __ATOMIC_SEQ_CST);
        for (int i = 0; i < used; i++)
            waitForZero(m_counters[i].readers);
        waitForZero(m_counters[kSlots].readers);
    }
    waitForZero(m_fallback);
    __atomic_store_n(&m_writerThread, pthread_self(), __ATOMIC_RELAXED);
}

void QORSlotRWLock::writeUnlock() const
{
    __atomic_store_n(&m_writerThread, pthread_t(), __ATOMIC_RELAXED);
    __atomic_store_n(&m_writer, false, __ATOMIC_SEQ_CST);
    qorthread_mutex_unlock(&m_writers);
}

void QORSlotRWLock::unlock() const
{
    // Only the writer itself can find its own ID here: a reader's thread
    // cannot hold the write side at the same time.
    if (__atomic_load_n(&m_writer, __ATOMIC_RELAXED)
        && pthread_equal(__atomic_load_n(&m_writerThread, __ATOMIC_RELAXED), pthread_self()))
        writeUnlock();
    else
        readUnlock();
}
