// qorworkerpool.cpp: the IPC objects of the worker pool, the pool lock and
// the pool semaphore.
#include "proxyif/ipc/qorworkerpool.h"

#include <cerrno>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/system/qorreport.h"
#include "core/system/qorsyserr.h"
#include "proxyif/ipc/qoripcowner.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/ipc/qorworkerbuffer.h"

namespace {

// Semaphore 0 of the pool set is the pool lock, 1 the pool semaphore.
// SEM_UNDO gives a dead process's adjustments back.
const sembuf LOCK_OP[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
const sembuf UNLOCK_OP[1] = {{0, -1, SEM_UNDO}};
const sembuf WAIT_OP[1] = {{1, -1, SEM_UNDO}};
const sembuf SIGNAL_OP[1] = {{1, 1, SEM_UNDO}};

// The largest value a semaphore may hold; a semop that would pass it fails
// with ERANGE and changes nothing.
const int kSemValueMax = 32767;

// Writes to ops the signal of the pool semaphore, capped at numWorkers by
// the kernel instead of by a separate read: the first two operations raise
// the count by the distance from numWorkers + 1 to the largest value and
// take it back, which fails the whole group with ERANGE exactly when the
// count is numWorkers or more. (Operations on one semaphore in one semop
// apply in order.) Returns the number of operations written.
unsigned int cappedSignal(int numWorkers, sembuf* ops)
{
    short probe = (short)(kSemValueMax - numWorkers + 1);
    ops[0] = {1, probe, 0};
    ops[1] = {1, (short)-probe, 0};
    ops[2] = SIGNAL_OP[0];
    return 3;
}

// The calling thread's ID, asked of the kernel once per thread: the pool
// lock is taken twice on every question. A forked child's thread has an ID
// of its own, so the copy is dropped in the child.
thread_local int32_t t_threadId = 0;
pthread_once_t s_forkHandlerOnce = PTHREAD_ONCE_INIT;

void forgetThreadId()
{
    t_threadId = 0;
}

void installForkHandler()
{
    pthread_atfork(nullptr, nullptr, forgetThreadId);
}

int32_t threadId()
{
    if (t_threadId == 0) {
        pthread_once(&s_forkHandlerOnce, installForkHandler);
        t_threadId = (int32_t)syscall(SYS_gettid);
    }
    return t_threadId;
}

// Looks a semaphore set up, checking its owner, or makes one of count
// semaphores. Making, a set of the same key left by an earlier server of
// this user is removed first; one of another user is never used. *nsems
// gets the size of the set found.
QORStatus getSemSet(const char* name, char id, int count, bool create,
                    uid_t owner, int* semId, unsigned int* nsems = nullptr)
{
    key_t key = QORSysVSharedMem::nameToKey(name, id);
    if (key == (key_t)-1)
        return qor_s_ipc_key_failed;
    if (create) {
        int s = semget(key, count, IPC_CREAT | IPC_EXCL | 0660);
        if (s == -1 && errno == EEXIST) {
            QORStatus st = QORIPCOwner::removeOwnStale(key, true);
            if (st != qor_s_ok && st != qor_s_ipc_no_segment)
                return st;
            s = semget(key, count, IPC_CREAT | IPC_EXCL | 0660);
        }
        if (s == -1)
            return QORSysVSemHelper::mapError(errno);
        *semId = s;
        if (nsems != nullptr)
            *nsems = (unsigned int)count;
        return qor_s_ok;
    }
    int s = semget(key, 0, 0660);
    if (s == -1)
        return QORSysVSemHelper::mapError(errno);
    unsigned int found = 0;
    QORStatus st = QORIPCOwner::checkSemSet(s, owner, &found);
    // Removed since semget (a server restarting): as if not made yet.
    if (qor_ipc_object_gone(st))
        return qor_s_ipc_no_segment;
    if (st != qor_s_ok)
        return st;
    *semId = s;
    if (nsems != nullptr)
        *nsems = found;
    return qor_s_ok;
}

void reportDetachFailure(QORStatus id, QORStatus st)
{
    char buf[128];
    int err = errno;
    QOR_REPORT(id, qor_sys_strerror(err, buf, sizeof buf), (unsigned)st);
}

} // namespace

const char* QORWorkerPool::stateName(int state)
{
    switch (state) {
    case qor_worker_taken: return "TAKEN";
    case qor_worker_free: return "FREE";
    case qor_worker_cleaned: return "CLEANED";
    case qor_worker_abandoned: return "ABANDONED";
    default: return "UNKNOWN";
    }
}

QORWorkerPool::QORWorkerPool() = default;

QORWorkerPool::~QORWorkerPool()
{
    if (m_workerShm.getBaseAddress() != nullptr) {
        QORStatus st = m_workerShm.detach();
        if (st != qor_s_ok)
            reportDetachFailure(qor_s_ipc_detach_worker, st);
    }
    if (m_poolMgrShm.getBaseAddress() != nullptr) {
        QORStatus st = m_poolMgrShm.detach();
        if (st != qor_s_ok)
            reportDetachFailure(qor_s_ipc_detach_pool_mgr, st);
    }
}

QORStatus QORWorkerPool::semOps(int semId, const sembuf* ops, unsigned int count,
                                const timespec* deadline)
{
    for (;;) {
        QORStatus st = deadline == nullptr || semId == -1
                           ? QORSysVSemHelper::doSemOps(semId, ops, count)
                           : QORSysVSemHelper::doSemOpsUntil(semId, ops, count, *deadline);
        if (st != qor_s_ipc_interrupted)
            return st;
        pthread_testcancel();
    }
}

QORStatus QORWorkerPool::initPoolSemaphores(bool create, bool reinit)
{
    if (reinit) {
        int old = m_poolSemId.exchange(-1);
        m_poolSemsReady = false;
        // Best effort: a set already gone is what we want.
        if (create)
            (void)QORSysVSemHelper::destroySemSet(old);
    }
    int semId = -1;
    unsigned int nsems = 0;
    QORStatus st = getSemSet(m_serverName.c_str(), 'q', 2, create, m_ownerUid,
                             &semId, &nsems);
    if (st != qor_s_ok)
        return st;
    if (nsems < 2) {
        QOR_PIF_LLOG(0, "Pool semaphore set %d has %u semaphores\n", semId, nsems);
        return qor_s_ipc_access;
    }
    m_lockSemNum = 0;
    m_poolSemNum = 1;
    if (create) {
        st = QORSysVSemHelper::setValue(semId, m_lockSemNum, 0);
        if (st == qor_s_ok)
            st = QORSysVSemHelper::setValue(semId, m_poolSemNum, m_numWorkers);
        if (st != qor_s_ok) {
            (void)QORSysVSemHelper::destroySemSet(semId); // st is what is reported
            return st;
        }
    }
    m_poolSemId = semId;
    m_poolSemsReady = true;
    return qor_s_ok;
}

QORStatus QORWorkerPool::initWorkerSemaphores(bool create, bool reinit)
{
    if (reinit) {
        int old = m_workerSemId.exchange(-1);
        m_workerSemsReady = false;
        // Best effort: a set already gone is what we want.
        if (create)
            (void)QORSysVSemHelper::destroySemSet(old);
    }
    int semId = -1;
    unsigned int nsems = 0;
    QORStatus st = getSemSet(m_serverName.c_str(), 'x', 2 * m_numWorkers,
                             create, m_ownerUid, &semId, &nsems);
    if (st != qor_s_ok)
        return st;
    m_workerSemCount.store(nsems, std::memory_order_relaxed);
    m_workerSemId = semId;
    m_workerSemsReady = true;
    return qor_s_ok;
}

QORStatus QORWorkerPool::createOrAttachShm(QORSysVSharedMem& segment,
                                           const char* name, char id,
                                           unsigned int size, bool create,
                                           bool* created)
{
    *created = false;
    if (!create)
        return segment.attach(name, id);
    // Never attached: a segment that exists may hold anybody's bytes. One
    // an earlier server of this user left goes, then a new one is made.
    QORStatus st = segment.create(name, id, size);
    if (st == qor_s_ipc_exists) {
        st = QORIPCOwner::removeOwnStale(QORSysVSharedMem::nameToKey(name, id), false);
        if (st == qor_s_ok || st == qor_s_ipc_no_segment)
            st = segment.create(name, id, size);
    }
    if (st == qor_s_ok)
        *created = true;
    return st;
}

QORStatus QORWorkerPool::initPoolMgrShm(bool create, bool reinit, bool* created)
{
    m_pid = getpid();
    if (reinit && m_poolMgrShm.getBaseAddress() != nullptr) {
        // Best effort: the segment is re-made or re-attached below.
        if (create)
            (void)m_poolMgrShm.destroy();
        (void)m_poolMgrShm.detach();
        m_header = nullptr;
        m_stateList = nullptr;
        m_workerInfo = nullptr;
    }
    QORStatus st = createOrAttachShm(m_poolMgrShm, m_serverName.c_str(), 'p',
                                     m_poolMgrShmSize, create, created);
    if (st != qor_s_ok)
        return st;
    QORPoolHeader volatile* header =
        static_cast<QORPoolHeader volatile*>(m_poolMgrShm.getBaseAddress());
    if (!*created) {
        // The server wrote the count; the records it implies must lie in
        // the segment before any of them is touched.
        unsigned int mapped = m_poolMgrShm.getMappedSize();
        int n = mapped >= sizeof(QORPoolHeader) ? header->numWorkers : 0;
        if (n <= 0 || n > (int)((mapped - sizeof(QORPoolHeader)) /
                                (sizeof(int32_t) + sizeof(worker_info)))) {
            (void)m_poolMgrShm.detach(); // the bad count is what is reported
            return qor_s_ipc_internal;
        }
        m_numWorkers = n;
    }
    m_header = header;
    m_stateList = reinterpret_cast<int32_t volatile*>(
        reinterpret_cast<char volatile*>(header) + sizeof(QORPoolHeader));
    m_workerInfo = reinterpret_cast<worker_info volatile*>(m_stateList + m_numWorkers);
    return qor_s_ok;
}

QORStatus QORWorkerPool::initWorkerShm(bool create, bool reinit, bool* created)
{
    if (reinit && m_workerShm.getBaseAddress() != nullptr) {
        // Best effort: the segment is re-made or re-attached below.
        if (create)
            (void)m_workerShm.destroy();
        (void)m_workerShm.detach();
    }
    return createOrAttachShm(m_workerShm, m_serverName.c_str(), 'w',
                             m_workerShmSize, create, created);
}

QORStatus QORWorkerPool::noteLockTaken(int semId)
{
    if (m_header == nullptr)
        return qor_s_ok;
    int guard = m_headerPoolSet.load(std::memory_order_acquire);
    if (guard != -1 && guard != semId)
        return qor_s_ipc_removed;
    // The flag is cleared before every release, so finding it set means the
    // holder died and the kernel undid its hold.
    QORStatus st = qor_s_ok;
    if (m_header->lockHeld == 1)
        st = qor_s_ipc_abandoned;
    else
        m_header->lockHeld = 1;
    m_header->lockPid = m_pid;
    m_header->lockTid = threadId();
    return st;
}

QORStatus QORWorkerPool::lockOn(int semId)
{
    QORStatus st = semOps(semId, LOCK_OP, 2);
    if (st != qor_s_ok)
        return st;
    st = noteLockTaken(semId);
    if (st == qor_s_ipc_removed)
        (void)semOps(semId, UNLOCK_OP, 1); // the stale set is what is reported
    return st;
}

QORStatus QORWorkerPool::lockPoolManager()
{
    return lockOn(m_poolSemId);
}

QORStatus QORWorkerPool::takePoolLock(int* semId)
{
    int id = m_poolSemId;
    if (semId != nullptr)
        *semId = id;
    QORStatus st = lockOn(id);
    if (st == qor_s_ipc_abandoned) {
        QOR_PIF_LOG("*** Pool lock abandoned ***\n");
        st = qor_s_ok;
    }
    return st;
}

QORStatus QORWorkerPool::waitPoolAndLock(int* semId, const timespec* deadline)
{
    const sembuf ops[3] = {WAIT_OP[0], LOCK_OP[0], LOCK_OP[1]};
    int id = m_poolSemId;
    *semId = id;
    QORStatus st = semOps(id, ops, 3, deadline);
    if (st == qor_s_ok) {
        st = noteLockTaken(id);
        if (st == qor_s_ipc_removed) {
            // The lock and the count go back, the header untouched.
            sembuf back[4] = {UNLOCK_OP[0]};
            unsigned int n = 1 + cappedSignal(m_numWorkers, back + 1);
            if (semOps(id, back, n) == qor_s_out_of_range)
                (void)semOps(id, UNLOCK_OP, 1); // the stale set is what is reported
        }
    }
    if (st == qor_s_ipc_abandoned) {
        QOR_PIF_LOG("*** Pool lock abandoned ***\n");
        st = qor_s_ok;
    }
    return st;
}

QORStatus QORWorkerPool::unlockPoolManager()
{
    if (!m_poolSemsReady)
        return qor_s_ok;
    return unlockPoolOn(m_poolSemId);
}

QORStatus QORWorkerPool::unlockPoolOn(int semId)
{
    if (m_header != nullptr)
        m_header->lockHeld = 0;
    return semOps(semId, UNLOCK_OP, 1);
}

QORStatus QORWorkerPool::unlockAndSignal(int semId)
{
    if (m_header != nullptr)
        m_header->lockHeld = 0;
    sembuf ops[4] = {UNLOCK_OP[0]};
    unsigned int n = 1 + cappedSignal(m_numWorkers, ops + 1);
    QORStatus st = semOps(semId, ops, n);
    // At the cap the count stays; the lock is still to be released.
    if (st == qor_s_out_of_range)
        st = semOps(semId, UNLOCK_OP, 1);
    return st;
}

QORStatus QORWorkerPool::waitPoolSemaphore()
{
    return semOps(m_poolSemId, WAIT_OP, 1);
}

QORStatus QORWorkerPool::signalPoolSemaphore()
{
    int semId = m_poolSemId;
    if (semId == -1)
        return qor_s_ok;
    sembuf ops[3];
    QORStatus st = semOps(semId, ops, cappedSignal(m_numWorkers, ops));
    return st == qor_s_out_of_range ? qor_s_ok : st;
}

QORStatus QORWorkerPool::getStateList(int32_t volatile** list) const
{
    if (m_stateList == nullptr)
        return qor_s_ipc_bad_parameter;
    *list = m_stateList;
    return qor_s_ok;
}

QORStatus QORWorkerPool::getWorkerInfo(int worker, worker_info volatile** info) const
{
    if (m_workerInfo == nullptr || worker < 0 || worker >= m_numWorkers)
        return qor_s_ipc_bad_parameter;
    *info = m_workerInfo + worker;
    return qor_s_ok;
}

QORStatus QORWorkerPool::destroySemSet(char id, std::atomic<bool>& ready,
                                      std::atomic<int>& semId)
{
    QORStatus st;
    if (ready) {
        st = QORSysVSemHelper::destroySemSet(semId);
    } else {
        // Not looked up here: removed only when this user made it.
        key_t key = QORSysVSharedMem::nameToKey(m_serverName.c_str(), id);
        st = key == (key_t)-1 ? qor_s_ipc_key_failed : QORIPCOwner::removeOwnStale(key, true);
        if (st == qor_s_ipc_no_segment)
            st = qor_s_ok;
    }
    ready = false;
    semId = -1;
    return st;
}

QORStatus QORWorkerPool::destroyShm(QORSysVSharedMem& segment, char id)
{
    if (segment.getBaseAddress() == nullptr) {
        key_t key = QORSysVSharedMem::nameToKey(m_serverName.c_str(), id);
        QORStatus st = key == (key_t)-1 ? qor_s_ipc_key_failed
                                        : QORIPCOwner::removeOwnStale(key, false);
        return st == qor_s_ipc_no_segment ? qor_s_ok : st;
    }
    QORStatus st = segment.destroy();
    QORStatus dt = segment.detach();
    return st != qor_s_ok ? st : dt;
}

QORStatus QORWorkerPool::destroyPoolSemaphores()
{
    return destroySemSet('q', m_poolSemsReady, m_poolSemId);
}

QORStatus QORWorkerPool::destroyWorkerSemaphores()
{
    return destroySemSet('x', m_workerSemsReady, m_workerSemId);
}

QORStatus QORWorkerPool::destroyPoolMgrShm()
{
    m_header = nullptr;
    m_stateList = nullptr;
    m_workerInfo = nullptr;
    return destroyShm(m_poolMgrShm, 'p');
}

QORStatus QORWorkerPool::destroyWorkerShm()
{
    return destroyShm(m_workerShm, 'w');
}

// Best effort throughout: whatever is found is removed.
void QORWorkerPool::cleanupPool(const char* name)
{
    // Without attaching, and only what this user made: another user's
    // objects stay, and creating over them fails.
    const struct {
        char id;
        bool semaphores;
    } objects[] = {{'w', false}, {'p', false}, {'q', true}, {'x', true}};
    for (const auto& o : objects) {
        key_t key = QORSysVSharedMem::nameToKey(name, o.id);
        if (key != (key_t)-1)
            (void)QORIPCOwner::removeOwnStale(key, o.semaphores); // logged there
    }
}

void QORWorkerPool::requireOwner(uid_t uid)
{
    m_ownerUid = uid;
    m_poolMgrShm.requireOwner(uid);
    m_workerShm.requireOwner(uid);
}

QORStatus QORWorkerPool::checkSemaphores(const QORWorkerBuffer& buffer) const
{
    int set = m_workerSemId.load(std::memory_order_relaxed);
    unsigned int count = m_workerSemCount.load(std::memory_order_relaxed);
    int req = buffer.getReqSemNum();
    int res = buffer.getResSemNum();
    if (buffer.getSemId() != set) {
        // A record of the pool before the server restarted, read while this
        // process already looked up the new sets: not used, and the pool is
        // looked up again.
        QOR_PIF_LOG("Worker %d names semaphore set %d, not the worker set %d\n",
                    buffer.getWorkerNum(), buffer.getSemId(), set);
        return qor_s_ipc_invalid_id;
    }
    if (req >= 0 && (unsigned int)req < count && res >= 0 &&
        (unsigned int)res < count && req != res)
        return qor_s_ok;
    QOR_PIF_LLOG(0, "Worker %d names semaphores %d and %d; the worker set %d "
                    "has %u\n",
                 buffer.getWorkerNum(), req, res, set, count);
    return qor_s_ipc_bad_worker_buffer;
}
