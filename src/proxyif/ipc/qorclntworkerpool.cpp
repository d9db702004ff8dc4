// qorclntworkerpool.cpp: taking and giving back workers, and recovering
// when the authorization server recreated its objects.
#include "proxyif/ipc/qorclntworkerpool.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <unistd.h>

#include "core/threads/qorthread.h"
#include "proxyif/ipc/qoripcowner.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

namespace {

int64_t monotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Runs lookUp again while it finds no object (a restarting server removed
// its objects and has not made them again) and the deadline is not passed.
template <class F>
QORStatus lookUpUntil(int64_t deadline, F lookUp)
{
    for (;;) {
        QORStatus st = lookUp();
        if (st != qor_s_ipc_no_segment || monotonicMs() >= deadline)
            return st;
        usleep(10000);
    }
}

// A record's time comes from shared memory: any value, so the difference
// is taken in 64 bits. A time in the future is not a lost worker.
bool heldTooLong(int32_t now, int32_t taken)
{
    int64_t held = (int64_t)now - (int64_t)taken;
    return held > QORClntWorkerPool::kInUseLimitSeconds;
}

bool operator<(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The time from now to deadline (CLOCK_MONOTONIC); 0 once it has passed.
timespec timeLeft(const timespec& deadline)
{
    timespec now, left = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!(now < deadline))
        return left;
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec--;
        left.tv_nsec += 1000000000L;
    }
    return left;
}

bool passed(const timespec& deadline)
{
    timespec left = timeLeft(deadline);
    return left.tv_sec == 0 && left.tv_nsec == 0;
}

} // namespace

// The calling thread counted among those that use a worker, until it gives
// the count up, also when the thread is cancelled in a wait: a count left
// behind would hold up every refresh.
class QORClntWorkerPool::UseCount {
public:
    explicit UseCount(QORClntWorkerPool& pool) : m_pool(&pool) {}
    ~UseCount()
    {
        if (m_pool != nullptr)
            m_pool->releaseUse();
    }
    UseCount(const UseCount&) = delete;
    UseCount& operator=(const UseCount&) = delete;
    // The count goes with the worker, to replaceWorker or abandonWorker.
    void keep() { m_pool = nullptr; }

private:
    QORClntWorkerPool* m_pool;
};

// A refresh in progress, ended however the refresher leaves.
class QORClntWorkerPool::RefreshMark {
public:
    explicit RefreshMark(QORClntWorkerPool& pool) : m_pool(pool) {}
    ~RefreshMark()
    {
        QORMutexLock lock(m_pool.m_mutex);
        m_pool.m_refreshing = false;
        pthread_cond_broadcast(&m_pool.m_cond);
    }
    RefreshMark(const RefreshMark&) = delete;
    RefreshMark& operator=(const RefreshMark&) = delete;

private:
    QORClntWorkerPool& m_pool;
};

// The pool lock, held on the set it was taken on until release or
// releaseAndSignal gives it back; a hold left when the guard goes (an early
// return, a failure that ends a scan) is given back then, on that set.
class QORClntWorkerPool::PoolLock {
public:
    explicit PoolLock(QORClntWorkerPool& pool) : m_pool(pool) {}
    ~PoolLock()
    {
        if (held())
            (void)m_pool.unlockPoolOn(m_set); // what ended the hold is what the caller hears
    }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

    bool held() const { return m_set != kNone; }
    // takePoolLock; held on success.
    QORStatus take()
    {
        int set = kNone;
        QORStatus st = m_pool.takePoolLock(&set);
        if (st == qor_s_ok)
            m_set = set;
        return st;
    }
    // waitPoolAndLock: the pool semaphore and the lock together.
    QORStatus waitAndTake(const timespec* until)
    {
        int set = kNone;
        QORStatus st = m_pool.waitPoolAndLock(&set, until);
        if (st == qor_s_ok)
            m_set = set;
        return st;
    }
    // REQUIRES: held().
    QORStatus release() { return m_pool.unlockPoolOn(giveUp()); }
    QORStatus releaseAndSignal() { return m_pool.unlockAndSignal(giveUp()); }

private:
    static constexpr int kNone = -1;  // no semaphore set has this id
    int giveUp()
    {
        int set = m_set;
        m_set = kNone;
        return set;
    }

    QORClntWorkerPool& m_pool;
    int m_set = kNone;
};

QORClntWorkerPool::QORClntWorkerPool() = default;

QORClntWorkerPool::~QORClntWorkerPool()
{
    if (m_syncReady) {
        pthread_cond_destroy(&m_cond);
        pthread_mutex_destroy(&m_mutex);
    }
}

QORStatus QORClntWorkerPool::attachAll(bool reinit)
{
    bool created;
    QORStatus st = initPoolSemaphores(false, reinit);
    if (st == qor_s_ok)
        st = initPoolMgrShm(false, reinit, &created);
    if (st == qor_s_ok)
        m_headerPoolSet = m_poolSemId.load();
    if (st == qor_s_ok)
        st = initWorkerSemaphores(false, reinit);
    if (st == qor_s_ok)
        st = initWorkerShm(false, reinit, &created);
    return st;
}

QORStatus QORClntWorkerPool::initialize(const char* serverName,
                                        const QORChannelLimits& limits)
{
    if (serverName == nullptr || !m_serverName.set(serverName, -1))
        return qor_s_ipc_bad_parameter;
    m_limits = limits;
    if (!m_syncReady) {
        if (pthread_mutex_init(&m_mutex, nullptr) != 0)
            return qor_s_thread_init_failed;
        // Timed waits count on the monotonic clock, as the semaphores do.
        pthread_condattr_t attributes;
        bool made = pthread_condattr_init(&attributes) == 0;
        made = made && pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
               pthread_cond_init(&m_cond, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
        if (!made) {
            pthread_mutex_destroy(&m_mutex);
            return qor_s_thread_init_failed;
        }
        m_syncReady = true;
    }
    uid_t owner = QORIPCOwner::kUnchecked;
    QORStatus st = QORIPCOwner::serverUid(serverName, &owner);
    if (st != qor_s_ok)
        return st;
    requireOwner(owner);
    st = attachAll(false);
    if (st != qor_s_ok)
        return st;
    PoolLock lock(*this);
    st = lock.take();
    if (st != qor_s_ok)
        return st;
    logPool();
    return lock.release();
}

unsigned int QORClntWorkerPool::questionRoom() const
{
    if (m_workerInfo == nullptr)
        return 0;
    long long start = m_workerInfo->memStartOffset;
    long long end = start + m_workerInfo->memSize;
    long long room = end - (long long)QORWorkerBuffer::round4((uint32_t)start) - 32;
    return room > 0 ? (unsigned int)room : 0;
}

void QORClntWorkerPool::logPool()
{
    QORTrace* t = QORProxyIFLog::get();
    if (t == nullptr || !t->isEnabled(7))
        return;
    QORPoolHeader volatile* h = m_header;
    char name[sizeof h->serverName + 1];
    for (size_t i = 0; i < sizeof h->serverName; ++i)
        name[i] = h->serverName[i];
    name[sizeof h->serverName] = 0;
    QOR_PIF_LOG("Pool Manager info...\n");
    QOR_PIF_LOG("Ref = %x\n", (unsigned)(uintptr_t)h);
    QOR_PIF_LOG("Version %d%d\n", (int)h->version[0], (int)h->version[1]);
    QOR_PIF_LOG("Server Name %s\n", (const char*)name);
    QOR_PIF_LOG("numWorkers = %d\n", (int)h->numWorkers);
    QOR_PIF_LOG("semId = %d\n", (int)h->semId);
    QOR_PIF_LOG("lockNum = %d\n", (int)h->lockNum);
    QOR_PIF_LOG("semNum = %d\n", (int)h->semNum);
    QOR_PIF_LOG("State List Ref = %x\n", (unsigned)(uintptr_t)m_stateList);
    QORString states("State List -->");
    for (int i = 0; i < m_numWorkers; ++i) {
        states.append(' ');
        states.append(stateName(m_stateList[i]), -1);
    }
    states.append(" <-- End of State List\n", -1);
    QOR_PIF_LOG("%s", states.c_str());
}

void QORClntWorkerPool::releaseUse()
{
    QORMutexLock lock(m_mutex);
    --m_inUse;
    pthread_cond_broadcast(&m_cond);
}

template <class Pred>
bool QORClntWorkerPool::waitWhile(Pred pred)
{
    if (m_limits.refreshWaitSeconds == 0) {
        while (pred())
            pthread_cond_wait(&m_cond, &m_mutex);
        return true;
    }
    timespec deadline = QORSysVSemHelper::deadlineIn(m_limits.refreshWaitSeconds * 1000u);
    while (pred()) {
        if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == ETIMEDOUT)
            return !pred();
    }
    return true;
}

QORStatus QORClntWorkerPool::getFreeWorker(QORClntWorkerBuffer** out)
{
    {
        QORMutexLock lock(m_mutex);
        if (!waitWhile([this] { return m_refreshing; }))
            return qor_s_ipc_refresh_timeout;
        ++m_inUse;
    }
    UseCount use(*this);
    // With an answer-wait limit, a pool whose workers all stay taken (their
    // holders died, or the server is stuck) ends in a status, not a hang.
    timespec deadline;
    const timespec* until = nullptr;
    if (m_limits.answerWaitSeconds > 0) {
        deadline = QORSysVSemHelper::deadlineIn(m_limits.answerWaitSeconds * 1000u);
        until = &deadline;
    }
    QORStatus st;
    PoolLock lock(*this);
    int passes = 0;
    for (;;) {
        // A refresh that failed leaves no objects to use: have the
        // dispatcher refresh again.
        if (!m_poolSemsReady || !m_workerSemsReady || m_stateList == nullptr ||
            m_workerShm.getBaseAddress() == nullptr) {
            st = qor_s_ipc_invalid_id;
            break;
        }
        // The pool semaphore and then the pool lock, taken together.
        QOR_PIF_LOG("Waiting on pool semaphore...\n");
        st = lock.waitAndTake(until);
        // A removed set means a new server (or none yet): the removal
        // stands, so that the dispatcher looks up every object again. The
        // new server's semaphores alone, taken over the old segments, would
        // have this process scan the dead pool's state list, where no
        // worker ever becomes free.
        if (st == qor_s_ipc_would_block)
            st = qor_s_ipc_no_free_worker;
        if (st != qor_s_ok)
            break;
        int32_t now = (int32_t)time(nullptr);
        int found = -1;
        for (int i = 0; i < m_numWorkers && found < 0; ++i) {
            if (m_stateList[i] != qor_worker_free)
                continue;
            worker_info volatile* w = m_workerInfo + i;
            if (w->inUse == 0) {
                found = i;
            } else if (heldTooLong(now, w->time)) {
                // Its holder lost it without giving it back.
                w->inUse = 0;
                w->reset = 0;
                w->time = 0;
                (void)signalPoolSemaphore(); // the count is only a hint to waiters
                found = i;
            }
        }
        if (found >= 0) {
            worker_info volatile* w = m_workerInfo + found;
            m_stateList[found] = qor_worker_taken;
            QOR_PIF_LOG("Client %d using worker %d\n", (int)m_pid, found);
            QORClntWorkerBuffer* buffer =
                new (QORProxyIFAllocators::clntWorkerBuffer()) QORClntWorkerBuffer;
            st = buffer ? buffer->initialize(w, m_workerShm) : qor_s_no_memory;
            if (st == qor_s_ok)
                st = checkSemaphores(*buffer);
            if (st != qor_s_ok) {
                delete buffer;
                m_stateList[found] = qor_worker_free;
                (void)signalPoolSemaphore(); // the count is only a hint to waiters
                break;
            }
            w->inUse = 1;
            w->reset = 0;
            w->time = now;
            w->holderPid = m_pid;
            st = lock.release();
            if (st != qor_s_ok) {
                // The set is gone: so is the pool; no one else can take it.
                QOR_PIF_LOG("Releasing the pool lock failed: %#x\n", st);
            }
            use.keep();
            *out = buffer;
            return qor_s_ok;
        }
        // Give the count back and let others scan.
        ++passes;
        QORStatus gs = lock.releaseAndSignal();
        if (gs != qor_s_ok)
            QOR_PIF_LOG("Releasing the pool lock failed: %#x\n", gs);
        // A refresh waits for this thread; the pool it scans may be one
        // the server has given up.
        bool refreshing;
        {
            QORMutexLock lock(m_mutex);
            refreshing = m_refreshing;
        }
        if (refreshing) {
            st = qor_s_ipc_removed;
            break;
        }
        if (until != nullptr && passed(deadline)) {
            st = qor_s_ipc_no_free_worker;
            break;
        }
        if (passes >= kPassesBeforeSleep) {
            // A second, or what is left of the wait.
            timespec pause = {1, 0};
            if (until != nullptr && timeLeft(deadline) < pause)
                pause = timeLeft(deadline);
            nanosleep(&pause, nullptr);
            passes = 0;
            m_backoffSleeps.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return st;
}

QORStatus QORClntWorkerPool::leaveWorker(QORClntWorkerBuffer* buffer, bool abandon)
{
    UseCount use(*this);
    worker_info volatile* w = buffer->getRecord();
    // The index in this process's mapping, whatever number the record shows.
    int i = m_workerInfo != nullptr ? (int)(w - m_workerInfo) : -1;
    PoolLock lock(*this);
    QORStatus st = lock.take();
    if (st == qor_s_ok) {
        int state = getState(i);
        if (abandon && state == qor_worker_taken) {
            setState(i, qor_worker_abandoned);
            QOR_PIF_LLOG(0, "Abandoned worker %d: its answer did not come in time\n", i);
        } else if (state == qor_worker_taken) {
            setState(i, qor_worker_free);
        } else if (state == qor_worker_free && w->reset != 0) {
            QOR_PIF_LLOG(0, "Replacing cleaned worker %d: Cleaned: %d, Replaced: %d",
                         i, (int)w->time, (int)time(nullptr));
            w->reset = 0;
        }
    }
    delete buffer;
    if (abandon) {
        // The server frees it; the time tells since when it waits.
        w->time = (int32_t)time(nullptr);
    } else {
        w->time = 0;
        w->holderPid = 0;
        w->inUse = 0;
    }
    QORStatus gs = lock.held() ? lock.releaseAndSignal() : signalPoolSemaphore();
    if (gs != qor_s_ok)
        QOR_PIF_LOG("Giving the pool count back failed: %#x\n", gs);
    return st;
}

QORStatus QORClntWorkerPool::replaceWorker(QORClntWorkerBuffer* buffer)
{
    if (buffer == nullptr)
        return qor_s_ipc_bad_parameter;
    return leaveWorker(buffer, false);
}

QORStatus QORClntWorkerPool::abandonWorker(QORClntWorkerBuffer* buffer)
{
    if (buffer == nullptr)
        return qor_s_ipc_bad_parameter;
    return leaveWorker(buffer, true);
}

bool QORClntWorkerPool::refresher()
{
    QORMutexLock lock(m_mutex);
    if (m_refreshing)
        return false;
    m_refreshing = true;
    return true;
}

QORStatus QORClntWorkerPool::refresh()
{
    RefreshMark mark(*this);
    int64_t deadline = monotonicMs() + kRestartWaitMs;
    QORStatus first = lookUpUntil(deadline, [this] {
        return initPoolSemaphores(false, true);
    });
    QORStatus st = lookUpUntil(deadline, [this] {
        return initWorkerSemaphores(false, true);
    });
    if (first == qor_s_ok)
        first = st;
    {
        QORMutexLock lock(m_mutex);
        if (!waitWhile([this] { return m_inUse > 0; })) {
            // A thread still reads an answer from the old mapping: it stays.
            QOR_PIF_LLOG(0, "Refresh gave up: %d threads still hold workers\n", m_inUse);
            return qor_s_ipc_refresh_timeout;
        }
    }
    // No thread holds a worker: the old mappings can go.
    bool created;
    st = lookUpUntil(deadline, [this, &created] {
        return initPoolMgrShm(false, true, &created);
    });
    // The new records go with the new lock from here on.
    if (st == qor_s_ok)
        m_headerPoolSet = m_poolSemId.load();
    if (first == qor_s_ok)
        first = st;
    st = lookUpUntil(deadline, [this, &created] {
        return initWorkerShm(false, true, &created);
    });
    if (first == qor_s_ok)
        first = st;
    return first;
}

QORStatus QORClntWorkerPool::waitRefresh()
{
    QORMutexLock lock(m_mutex);
    if (!waitWhile([this] { return m_refreshing; }))
        return qor_s_ipc_refresh_timeout;
    return qor_s_ok;
}

QORStatus QORClntWorkerPool::shutdown()
{
    QOR_PIF_LOG("Detaching from worker shared memory...\n");
    QORStatus first = qor_s_ok;
    if (m_workerShm.getBaseAddress() != nullptr)
        first = m_workerShm.detach();
    if (m_poolMgrShm.getBaseAddress() != nullptr) {
        QORStatus st = m_poolMgrShm.detach();
        if (first == qor_s_ok)
            first = st;
    }
    m_header = nullptr;
    m_stateList = nullptr;
    m_workerInfo = nullptr;
    if (m_syncReady) {
        pthread_cond_destroy(&m_cond);
        pthread_mutex_destroy(&m_mutex);
        m_syncReady = false;
    }
    return first;
}
