// qorclntworkerpool.h: QORClntWorkerPool, the plug-in's side of the worker
// pool. It attaches to the objects the authorization server created, hands
// a free worker's buffer to a calling thread and takes it back, and looks
// the objects up again when the server has recreated them. The dispatcher
// owns one per process; any number of threads use it at once.
#pragma once
#include <pthread.h>
#include "proxyif/ipc/qorchannellimits.h"
#include "proxyif/ipc/qorclntworkerbuffer.h"
#include "proxyif/ipc/qorworkerpool.h"

class QORClntWorkerPool : public QORWorkerPool {
public:
    // Fruitless scans of the pool between two one-second sleeps.
    static const int kPassesBeforeSleep = 500;
    // A worker FREE in the state list but in use in its record for longer
    // than this many seconds was lost by its holder and is reclaimed.
    static const int kInUseLimitSeconds = 30;
    // How long a refresh keeps looking for objects that a restarting server
    // has removed and not yet made again.
    static const int kRestartWaitMs = 3000;

    QORClntWorkerPool();
    ~QORClntWorkerPool() override;

    // Attaches (never creates) the pool semaphores, the pool manager
    // segment, the worker semaphores and the worker segment of the server
    // whose name (a path) is given, and logs the pool header. Every object,
    // now and on each refresh, must belong to the server's user
    // (QORIPCOwner::serverUid) and grant others nothing; 0x35f02217 when one
    // does not or the user cannot be told. 0x35f02140 when the mutex or
    // condition variable cannot be made, else the first failure
    // (0x35f0220b when the server has not made its objects).
    QORStatus initialize(const char* serverName,
                         const QORChannelLimits& limits = QORChannelLimits());
    const QORChannelLimits& limits() const { return m_limits; }
    // Bytes a question may take in the first worker's buffer, as its
    // record says (0 when not attached); for log lines.
    unsigned int questionRoom() const;
    // Waits for a worker that is FREE, marks it TAKEN with this process as
    // its holder and returns its buffer, which the caller gives back with
    // replaceWorker or abandonWorker. Blocks while every worker is taken:
    // without a limit, or up to the answer-wait limit (0x35f02223).
    QORStatus getFreeWorker(QORClntWorkerBuffer** out);
    // Gives the worker back (a CLEANED worker stays CLEANED) and deletes
    // the buffer.
    QORStatus replaceWorker(QORClntWorkerBuffer* buffer);
    // For a worker whose answer is no longer awaited: marks it ABANDONED,
    // so that no thread takes it while a late answer may still arrive (the
    // server frees it), gives its count back to the pool semaphore and
    // deletes the buffer.
    QORStatus abandonWorker(QORClntWorkerBuffer* buffer);

    // After 0x35f0220a or 0x35f02210: true for the one thread that is to
    // refresh (a refresh is then marked in progress), false for the others.
    bool refresher();
    // Looks the objects up again once no thread holds a worker; returns the
    // first failure, 0x35f02225 when threads still held workers at the
    // refresh-wait limit (the segments then stay mapped as they were).
    QORStatus refresh();
    // Waits until no refresh is in progress: 0x35f02225 when one still is
    // at the refresh-wait limit.
    QORStatus waitRefresh();

    // Detaches from the segments and ends the mutex and condition variable.
    QORStatus shutdown();

    // One-second sleeps taken so far by fruitless scans (for tests).
    int backoffSleeps() const { return m_backoffSleeps.load(std::memory_order_relaxed); }

private:
    class UseCount;
    class RefreshMark;
    class PoolLock;

    // Under the mutex: one caller fewer; wakes a waiting refresher.
    void releaseUse();
    // Under the mutex (locked in lock): waits while pred holds, up to the
    // refresh-wait limit; false when it still holds then.
    template <class Pred>
    bool waitWhile(Pred pred);
    // Takes the lock and marks worker i's record and state as a holder
    // leaves it; the lock's failure is returned, the count is given back
    // either way.
    QORStatus leaveWorker(QORClntWorkerBuffer* buffer, bool abandon);
    // Writes the pool header and state list to the interface log.
    void logPool();
    // Looks up the semaphore sets and maps the segments, in that order.
    QORStatus attachAll(bool reinit);

    QORChannelLimits m_limits;
    int m_inUse = 0;
    bool m_refreshing = false;
    bool m_syncReady = false;
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    std::atomic<int> m_backoffSleeps{0};
};
