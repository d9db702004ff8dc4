// qorslotrwlock.h: QORSlotRWLock, a reader-writer lock whose readers write
// only to a slot of their own thread, so that request threads reading the
// same data on different cores never pull one cache line back and forth.
// The virtual-host list, the unprotected resource cache and its client guard
// their data with one each: read on every request, written rarely.
//
// Every thread of the process gets a slot number on its first read lock
// (given back when the thread ends, for a new thread to reuse); each lock
// keeps one counter per slot number, on a cache line of its own. A reader
// raises its counter and then looks at the writer flag; a writer raises the
// flag and then waits until every counter is zero. Either the reader sees
// the flag, or the writer sees the counter. A reader that meets the flag
// steps back and waits on the writers' mutex, so a waiting writer goes
// before new readers. Threads beyond the slots share one counter.
//
// A thread must not take the read lock again while it holds it (a waiting
// writer would then wait for it forever), nor take the write lock while it
// holds the read lock. Writers are rare and wait by yielding.
//
// The words are plain and reached through the compiler's atomic builtins:
// adapters embed this lock by value, and <atomic> would add a fifth to the
// one header they include.
#pragma once
#include <pthread.h>

class QORSlotRWLock {
public:
    // The slot numbers of the process; more threads than this share one
    // counter, correctly but without the scaling.
    static constexpr int kSlots = 128;

    QORSlotRWLock();
    ~QORSlotRWLock();
    QORSlotRWLock(const QORSlotRWLock&) = delete;
    QORSlotRWLock& operator=(const QORSlotRWLock&) = delete;

    void readLock() const;
    void readUnlock() const;
    void writeLock() const;
    void writeUnlock() const;
    // Releases whichever side the calling thread holds.
    void unlock() const;

    // The calling thread's slot number, -1 when all are taken.
    static int slotOfThisThread();

    // readLock for a guard: the counter to give to unlockShared, which
    // spares looking the thread's slot up twice.
    long& lockShared() const;
    static void unlockShared(long& counter)
    {
        __atomic_fetch_sub(&counter, 1, __ATOMIC_RELEASE);
    }

private:
    struct alignas(64) Counter {
        long readers = 0;
    };

    long& counterOfThisThread() const;

    // kSlots counters and, last, the one shared beyond them, each on its own
    // line, kept apart from the lock so that whatever holds the lock need
    // not be over-aligned. Null when they could not be allocated: every
    // reader then counts in m_fallback.
    Counter* m_counters;
    mutable long m_fallback = 0;
    // Raised by the writer holding m_writers; readers only load it.
    mutable bool m_writer = false;
    mutable pthread_t m_writerThread = pthread_t();
    mutable pthread_mutex_t m_writers = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a slot lock shared for the guard's lifetime.
class QORSlotReadGuard {
public:
    explicit QORSlotReadGuard(const QORSlotRWLock& lock)
        : m_counter(lock.lockShared())
    {
    }
    ~QORSlotReadGuard() { QORSlotRWLock::unlockShared(m_counter); }
    QORSlotReadGuard(const QORSlotReadGuard&) = delete;
    QORSlotReadGuard& operator=(const QORSlotReadGuard&) = delete;

private:
    long& m_counter;
};

// Holds a slot lock exclusively for the guard's lifetime.
class QORSlotWriteGuard {
public:
    explicit QORSlotWriteGuard(const QORSlotRWLock& lock)
        : m_lock(lock)
    {
        m_lock.writeLock();
    }
    ~QORSlotWriteGuard() { m_lock.writeUnlock(); }
    QORSlotWriteGuard(const QORSlotWriteGuard&) = delete;
    QORSlotWriteGuard& operator=(const QORSlotWriteGuard&) = delete;

private:
    const QORSlotRWLock& m_lock;
};
