// qortime.h: QORTime, a coarse clock for code that reads the time often and
// needs it only to the second or so: a background thread refreshes a cached
// time every few seconds, so a reading costs a shared lock, not a system
// call. The expiring list stamps and ages its entries with one.
#pragma once
#include <pthread.h>
#include <time.h>
#include <atomic>

class QORTime {
public:
    // interval: seconds between refreshes (values below 1 count as 1). The
    // thread starts on the first time().
    explicit QORTime(int interval);
    QORTime(const QORTime&) = delete;
    QORTime& operator=(const QORTime&) = delete;
    // Cancels and joins the refresh thread. REQUIRES: no other thread is
    // inside time().
    virtual ~QORTime();

    // The cached time, at most one interval behind time(NULL). The first
    // call starts the refresh thread; failing to start it is fatal.
    time_t time();
    // The exact time.
    static time_t now() { return ::time(nullptr); }

    int interval() const { return m_interval; }

private:
    static void* updater(void* self);

    std::atomic<bool> m_started{false};
    int m_interval;
    pthread_t m_thread;
    time_t m_time = 0;
    pthread_rwlock_t m_lock;
};
