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
#include "proxyif/framework/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

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

// Looks a semaphore set up, or makes one of count semaphores.
QORStatus getSemSet(const char* name, char id, int count, bool create,
                    int* semId)
{
    key_t key = QORSysVSharedMem::nameToKey(name, id);
    if (key == (key_t)-1)
        return qor_s_ipc_key_failed;
    int s = semget(key, create ? count : 0,
                   create ? IPC_CREAT | IPC_EXCL | 0660 : 0660);
    if (s == -1)
        return QORSysVSemHelper::mapError(errno);
    *semId = s;
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
        if (create)
            QORSysVSemHelper::destroySemSet(old);
    }
    int semId = -1;
    QORStatus st = getSemSet(m_serverName.c_str(), 'q', 2, create, &semId);
    if (st != qor_s_ok)
        return st;
    m_lockSemNum = 0;
    m_poolSemNum = 1;
    if (create) {
        st = QORSysVSemHelper::setValue(semId, m_lockSemNum, 0);
        if (st == qor_s_ok)
            st = QORSysVSemHelper::setValue(semId, m_poolSemNum, m_numWorkers);
        if (st != qor_s_ok) {
            QORSysVSemHelper::destroySemSet(semId);
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
        if (create)
            QORSysVSemHelper::destroySemSet(old);
    }
    int semId = -1;
    QORStatus st = getSemSet(m_serverName.c_str(), 'x', 2 * m_numWorkers,
                             create, &semId);
    if (st != qor_s_ok)
        return st;
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
    QORStatus st = segment.create(name, id, size);
    if (st == qor_s_ipc_exists) {
        QOR_PIF_LOG("Shm already exists -- attaching...\n");
        return segment.attach(name, id);
    }
    if (st == qor_s_ok)
        *created = true;
    return st;
}

QORStatus QORWorkerPool::initPoolMgrShm(bool create, bool reinit, bool* created)
{
    m_pid = getpid();
    if (reinit && m_poolMgrShm.getBaseAddress() != nullptr) {
        if (create)
            m_poolMgrShm.destroy();
        m_poolMgrShm.detach();
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
            m_poolMgrShm.detach();
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
        if (create)
            m_workerShm.destroy();
        m_workerShm.detach();
    }
    return createOrAttachShm(m_workerShm, m_serverName.c_str(), 'w',
                             m_workerShmSize, create, created);
}

QORStatus QORWorkerPool::noteLockTaken()
{
    if (m_header == nullptr)
        return qor_s_ok;
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

QORStatus QORWorkerPool::lockPoolManager()
{
    QORStatus st = semOps(m_poolSemId, LOCK_OP, 2);
    if (st != qor_s_ok)
        return st;
    return noteLockTaken();
}

QORStatus QORWorkerPool::takePoolLock(int* semId)
{
    int id = m_poolSemId;
    if (semId != nullptr)
        *semId = id;
    QORStatus st = semOps(id, LOCK_OP, 2);
    if (st == qor_s_ok)
        st = noteLockTaken();
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
    if (st == qor_s_ok)
        st = noteLockTaken();
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

int QORWorkerPool::getState(int worker) const
{
    if (m_stateList == nullptr || worker < 0 || worker >= m_numWorkers)
        return -1;
    return m_stateList[worker];
}

void QORWorkerPool::setState(int worker, int state)
{
    if (m_stateList == nullptr || worker < 0 || worker >= m_numWorkers)
        return;
    m_stateList[worker] = state;
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

QORStatus QORWorkerPool::destroySemSet(QORStatus (QORWorkerPool::*lookUp)(bool, bool),
                                      std::atomic<bool>& ready, std::atomic<int>& semId)
{
    if (!ready) {
        QORStatus st = (this->*lookUp)(false, false);
        if (st == qor_s_ipc_no_segment)
            return qor_s_ok;
        if (st != qor_s_ok)
            return st;
    }
    QORStatus st = QORSysVSemHelper::destroySemSet(semId);
    ready = false;
    semId = -1;
    return st;
}

QORStatus QORWorkerPool::destroyShm(QORSysVSharedMem& segment, char id)
{
    if (segment.getBaseAddress() == nullptr) {
        QORStatus st = segment.attach(m_serverName.c_str(), id);
        if (st == qor_s_ipc_no_segment)
            return qor_s_ok;
        if (st != qor_s_ok)
            return st;
    }
    QORStatus st = segment.destroy();
    QORStatus dt = segment.detach();
    return st != qor_s_ok ? st : dt;
}

QORStatus QORWorkerPool::destroyPoolSemaphores()
{
    return destroySemSet(&QORWorkerPool::initPoolSemaphores, m_poolSemsReady, m_poolSemId);
}

QORStatus QORWorkerPool::destroyWorkerSemaphores()
{
    return destroySemSet(&QORWorkerPool::initWorkerSemaphores, m_workerSemsReady,
                         m_workerSemId);
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

void QORWorkerPool::cleanupPool(const char* name)
{
    QORSysVSharedMem segment;
    if (segment.attach(name, 'w') == qor_s_ok) {
        segment.destroy();
        segment.detach();
    }
    if (segment.attach(name, 'p') == qor_s_ok) {
        segment.destroy();
        segment.detach();
    }
    int semId = -1;
    if (getSemSet(name, 'q', 0, false, &semId) == qor_s_ok)
        QORSysVSemHelper::destroySemSet(semId);
    if (getSemSet(name, 'x', 0, false, &semId) == qor_s_ok)
        QORSysVSemHelper::destroySemSet(semId);
}
