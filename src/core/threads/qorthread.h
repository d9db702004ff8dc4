// qorthread.h: the library's thin layer over POSIX threads. Lock and unlock
// failures are programming errors and stop the process; thread creation,
// expirations and delays return the POSIX result. The guards below are how
// most code should hold a lock.
#pragma once
#include <pthread.h>
#include <time.h>

extern "C" {

// Lock or unlock; any failure is a fatal assertion.
void qorthread_mutex_lock(pthread_mutex_t* mutex);
void qorthread_mutex_unlock(pthread_mutex_t* mutex);
void qorthread_rwlock_rdlock(pthread_rwlock_t* lock);
void qorthread_rwlock_wrlock(pthread_rwlock_t* lock);
void qorthread_rwlock_unlock(pthread_rwlock_t* lock);

// Initialises attributes for a joinable thread of system contention scope.
// Returns 0 or the failing POSIX result (attributes then left destroyed).
int qorthread_attr_init(pthread_attr_t* attributes);

// pthread_create, with qorthread_attr_init's attributes when attributes is
// null. A failure is reported against file and line (the caller's, through
// qorthread_create) and its POSIX result returned.
int qorthread_create_(const char* file, int line, pthread_t* thread,
                      const pthread_attr_t* attributes,
                      void* (*routine)(void*), void* argument);

// Sets *result to now (gettimeofday) plus interval, normalised so that
// 0 <= tv_nsec < 1,000,000,000, for the timed waits. Returns EINVAL for a
// null argument or a negative field of interval, otherwise 0. A result
// beyond the range of time_t is held at its largest value.
int qorthread_get_expiration_np(const struct timespec* interval,
                                struct timespec* result);

// Sleeps until the wall-clock second time(NULL) + interval->tv_sec is
// reached (tv_nsec is ignored, so a delay may end up to a second early).
// A cancellation point: a thread cancelled here leaves no lock behind.
// Returns 0, EINVAL for a null or negative interval, or the wait's own
// failure.
int qorthread_delay_np(const struct timespec* interval);
int qorthread_sleep_np(unsigned seconds);
}

#define qorthread_create(thread, attributes, routine, argument) \
    qorthread_create_(__FILE__, __LINE__, (thread), (attributes), (routine), \
                      (argument))

// Holds a mutex for the guard's lifetime.
class QORMutexLock {
public:
    explicit QORMutexLock(pthread_mutex_t& mutex)
        : m_mutex(mutex)
    {
        qorthread_mutex_lock(&m_mutex);
    }
    ~QORMutexLock() { qorthread_mutex_unlock(&m_mutex); }
    QORMutexLock(const QORMutexLock&) = delete;
    QORMutexLock& operator=(const QORMutexLock&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

// Holds a read-write lock shared for the guard's lifetime.
class QORReadLock {
public:
    explicit QORReadLock(pthread_rwlock_t& lock)
        : m_lock(lock)
    {
        qorthread_rwlock_rdlock(&m_lock);
    }
    ~QORReadLock() { qorthread_rwlock_unlock(&m_lock); }
    QORReadLock(const QORReadLock&) = delete;
    QORReadLock& operator=(const QORReadLock&) = delete;

private:
    pthread_rwlock_t& m_lock;
};

// Holds a read-write lock exclusively for the guard's lifetime.
class QORWriteLock {
public:
    explicit QORWriteLock(pthread_rwlock_t& lock)
        : m_lock(lock)
    {
        qorthread_rwlock_wrlock(&m_lock);
    }
    ~QORWriteLock() { qorthread_rwlock_unlock(&m_lock); }
    QORWriteLock(const QORWriteLock&) = delete;
    QORWriteLock& operator=(const QORWriteLock&) = delete;

private:
    pthread_rwlock_t& m_lock;
};
