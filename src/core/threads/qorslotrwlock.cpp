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
std::atomic<int> s_slotsUsed{0};

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
        if (i >= s_slotsUsed.load(std::memory_order_relaxed))
            s_slotsUsed.store(i + 1, std::memory_order_seq_cst);
        return i;
    }
    return -1;
}

// A writer waits out readers, which hold the lock for a lookup: yield
// first, then sleep briefly so that a reader on this CPU can finish.
void waitForZero(const std::atomic<long>& counter)
{
    for (int round = 0; counter.load(std::memory_order_acquire) != 0; round++) {
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

std::atomic<long>& QORSlotRWLock::counterOfThisThread() const
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

std::atomic<long>& QORSlotRWLock::lockShared() const
{
    std::atomic<long>& counter = counterOfThisThread();
    for (;;) {
        // Count first, then look: the writer raises its flag first, then
        // looks at the counts, so at least one of the two sees the other.
        counter.fetch_add(1, std::memory_order_seq_cst);
        if (!m_writer.load(std::memory_order_seq_cst))
            return counter;
        counter.fetch_sub(1, std::memory_order_release);
        // The writer holds the mutex from before its flag went up until
        // after it came down.
        qorthread_mutex_lock(&m_writers);
        qorthread_mutex_unlock(&m_writers);
    }
}

void QORSlotRWLock::readUnlock() const
{
    counterOfThisThread().fetch_sub(1, std::memory_order_release);
}

void QORSlotRWLock::writeLock() const
{
    qorthread_mutex_lock(&m_writers);
    m_writer.store(true, std::memory_order_seq_cst);
    if (m_counters != nullptr) {
        int used = s_slotsUsed.load(std::memory_order_seq_cst);
        for (int i = 0; i < used; i++)
            waitForZero(m_counters[i].readers);
        waitForZero(m_counters[kSlots].readers);
    }
    waitForZero(m_fallback);
    m_writerThread.store(pthread_self(), std::memory_order_relaxed);
}

void QORSlotRWLock::writeUnlock() const
{
    m_writerThread.store(pthread_t(), std::memory_order_relaxed);
    m_writer.store(false, std::memory_order_seq_cst);
    qorthread_mutex_unlock(&m_writers);
}

void QORSlotRWLock::unlock() const
{
    // Only the writer itself can find its own ID here: a reader's thread
    // cannot hold the write side at the same time.
    if (m_writer.load(std::memory_order_relaxed)
        && pthread_equal(m_writerThread.load(std::memory_order_relaxed), pthread_self()))
        writeUnlock();
    else
        readUnlock();
}
