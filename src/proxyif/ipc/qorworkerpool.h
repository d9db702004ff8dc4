// qorworkerpool.h: QORWorkerPool, what the plug-in and the authorization
// server share about the server's pool of workers: the four IPC objects
// (pool manager segment 'p', worker segment 'w', pool semaphore set 'q',
// worker semaphore set 'x', all keyed by ftok on the server's name), the
// layout of the pool manager segment, the pool lock and the pool semaphore.
// QORClntWorkerPool (plug-in) and QORSrvWorkerPool (server) build on it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"
#include "proxyif/ipc/qorsysvsharedmem.h"

// The head of the pool manager segment. The state list (one int32 per
// worker) follows at offset 100, then one worker_info per worker.
struct QORPoolHeader {
    int32_t version[2];
    char serverName[60];
    int32_t semId;       // recorded by the server; the plug-in only logs it
    int32_t lockNum;
    int32_t semNum;
    int32_t lockHeld;    // 1 while a process holds the pool lock
    int32_t lockPid;
    int32_t lockTid;
    int32_t numWorkers;
    int32_t reserved;
};
static_assert(sizeof(QORPoolHeader) == 100, "pool header layout");
static_assert(offsetof(QORPoolHeader, serverName) == 8, "pool header layout");
static_assert(offsetof(QORPoolHeader, semId) == 68, "pool header layout");
static_assert(offsetof(QORPoolHeader, lockNum) == 72, "pool header layout");
static_assert(offsetof(QORPoolHeader, semNum) == 76, "pool header layout");
static_assert(offsetof(QORPoolHeader, lockHeld) == 80, "pool header layout");
static_assert(offsetof(QORPoolHeader, lockPid) == 84, "pool header layout");
static_assert(offsetof(QORPoolHeader, lockTid) == 88, "pool header layout");
static_assert(offsetof(QORPoolHeader, numWorkers) == 92, "pool header layout");
static_assert(offsetof(QORPoolHeader, reserved) == 96, "pool header layout");

// One worker's record. The plug-in changes it only under the pool lock,
// except the reset flag, which it reads after an answer without the lock.
struct worker_info {
    int32_t workerNum;       // also at the start of the worker's buffer
    int32_t inUse;           // 1 while a plug-in thread holds the worker
    int32_t reset;           // set by the server when it reset the worker
    int32_t time;            // seconds since the epoch: taken, or cleaned
    int32_t holderPid;       // the process holding the worker; 0 when none
    int32_t memStartOffset;  // of the buffer in the worker segment
    int32_t memSize;
    int32_t semId;           // the worker semaphore set
    int32_t reqSemNum;
    int32_t resSemNum;
};
static_assert(sizeof(worker_info) == 40, "worker record layout");
static_assert(offsetof(worker_info, inUse) == 4, "worker record layout");
static_assert(offsetof(worker_info, reset) == 8, "worker record layout");
static_assert(offsetof(worker_info, time) == 12, "worker record layout");
static_assert(offsetof(worker_info, holderPid) == 16, "worker record layout");
static_assert(offsetof(worker_info, memStartOffset) == 20, "worker record layout");
static_assert(offsetof(worker_info, memSize) == 24, "worker record layout");
static_assert(offsetof(worker_info, semId) == 28, "worker record layout");
static_assert(offsetof(worker_info, reqSemNum) == 32, "worker record layout");
static_assert(offsetof(worker_info, resSemNum) == 36, "worker record layout");

// Worker states in the state list.
enum : int32_t {
    qor_worker_taken = 0,    // a plug-in thread holds the worker
    qor_worker_free = 1,
    qor_worker_cleaned = 2,  // recovered by the server; never taken
    // Given up by a holder that stopped waiting for the answer. Never taken:
    // a late answer still lands in its buffer. The server frees it once its
    // worker thread is idle.
    qor_worker_abandoned = 3,
};

class QORWorkerBuffer;

class QORWorkerPool {
public:
    // Bytes of the pool manager segment for n workers.
    static unsigned int poolMgrSize(int numWorkers)
    {
        return (unsigned int)(sizeof(QORPoolHeader) +
                              numWorkers * (sizeof(int32_t) + sizeof(worker_info)));
    }
    // "TAKEN", "FREE", "CLEANED", "ABANDONED", or "UNKNOWN".
    static const char* stateName(int state);

    QORWorkerPool();
    QORWorkerPool(const QORWorkerPool&) = delete;
    QORWorkerPool& operator=(const QORWorkerPool&) = delete;
    // Detaches both segments; a failure goes to the serviceability log.
    virtual ~QORWorkerPool();

    // create on the side that makes the objects (the server), which makes
    // them with IPC_EXCL only (as createOrAttachShm); reinit drops
    // the current IDs first. An old set or segment is removed only when
    // creating: the plug-in never removes the server's objects.
    QORStatus initPoolSemaphores(bool create, bool reinit);
    QORStatus initWorkerSemaphores(bool create, bool reinit);
    // Maps the pool manager segment and points at its header, state list and
    // records. Attaching, the number of workers comes from the header and
    // must fit the segment (0x35f02211 otherwise).
    QORStatus initPoolMgrShm(bool create, bool reinit, bool* created);
    QORStatus initWorkerShm(bool create, bool reinit, bool* created);
    // Attaches, or creates with IPC_EXCL: an existing segment of this
    // process's user is removed first, another user's is an error
    // (0x35f02209, logged with key and owner). *created tells whether a
    // new segment was made.
    static QORStatus createOrAttachShm(QORSysVSharedMem& segment,
                                       const char* name, char id,
                                       unsigned int size, bool create,
                                       bool* created);

    // Takes the pool lock across processes. When its last holder died
    // holding it, the caller owns it and gets 0x35f02213, which callers
    // treat as success.
    QORStatus lockPoolManager();
    QORStatus unlockPoolManager();
    // Takes one from the pool semaphore, blocking while it is 0.
    QORStatus waitPoolSemaphore();
    // Gives one back, unless that would raise it above the number of
    // workers. One system call: the cap is checked by the kernel.
    QORStatus signalPoolSemaphore();

    // State of worker i, -1 for a worker that does not exist.
    // REQUIRES (set and records): the pool lock.
    int getState(int worker) const
    {
        if (m_stateList == nullptr || worker < 0 || worker >= m_numWorkers)
            return -1;
        return m_stateList[worker];
    }
    void setState(int worker, int state)
    {
        if (m_stateList != nullptr && worker >= 0 && worker < m_numWorkers)
            m_stateList[worker] = state;
    }
    QORStatus getStateList(int32_t volatile** list) const;
    QORStatus getWorkerInfo(int worker, worker_info volatile** info) const;

    // An object not mapped or looked up here is removed only when this
    // process's user made it; one that does not exist counts as removed.
    QORStatus destroyPoolSemaphores();
    QORStatus destroyWorkerSemaphores();
    QORStatus destroyPoolMgrShm();
    QORStatus destroyWorkerShm();

    // Removes the objects of the pool named name that this process's user
    // made (what a crashed server left); another user's objects are logged
    // and left; failures are ignored.
    static void cleanupPool(const char* name);

    // The side that attaches: from now on every object looked up or mapped
    // must have been created by and belong to uid and grant others nothing
    // (QORIPCOwner::checkPerm); one that does not is not used (0x35f02217).
    void requireOwner(uid_t uid);
    // The buffer's semaphore set is the worker set this pool looked up
    // (0x35f02210 otherwise, so that the pool is looked up again), and both
    // its numbers lie inside it (0x35f02202 otherwise, logged).
    QORStatus checkSemaphores(const QORWorkerBuffer& buffer) const;

    int getNumWorkers() const { return m_numWorkers; }
    const char* getServerName() const { return m_serverName.c_str(); }
    QORPoolHeader volatile* getHeader() const { return m_header; }
    QORSysVSharedMem& getWorkerShm() { return m_workerShm; }
    int getPoolSemId() const { return m_poolSemId.load(std::memory_order_relaxed); }
    int getWorkerSemId() const { return m_workerSemId.load(std::memory_order_relaxed); }

protected:
    // The client's lock operations name the semaphore set they work on:
    // another thread may look the sets up again between taking the lock
    // and releasing it, and the lock must be released on the set it was
    // taken on (releasing it on a new set would block for good).
    //
    // Takes the pool lock, accepting an abandoned one and logging it; the
    // set used goes to *semId when given.
    QORStatus takePoolLock(int* semId = nullptr);
    // What waitPoolSemaphore and then takePoolLock do, as one operation:
    // one system call on the path of every question instead of two. With a
    // deadline (CLOCK_MONOTONIC) the wait ends there with 0x35f0220e.
    QORStatus waitPoolAndLock(int* semId, const struct timespec* deadline = nullptr);
    // Releases the lock taken on set semId.
    QORStatus unlockPoolOn(int semId);
    // What unlockPoolManager and then signalPoolSemaphore do, as one
    // operation on set semId (two when the pool semaphore is at its cap).
    // REQUIRES: the pool lock, taken on semId.
    QORStatus unlockAndSignal(int semId);
    // After the lock semaphore was taken on set semId: detects a dead holder
    // and records this thread as the holder. 0x35f0220a, with nothing
    // recorded, when semId is not the set whose lock guards the mapped
    // header (see m_headerPoolSet); the caller gives the lock back.
    QORStatus noteLockTaken(int semId);
    // Takes the pool lock on set semId and notes it (lockPoolManager's
    // work on a set the caller read once).
    QORStatus lockOn(int semId);
    // Removes one semaphore set (id 'q' or 'x') or segment; one this pool
    // has not looked up or mapped is removed only when this process's user
    // made it (0x35f02209 otherwise). One that does not exist counts as
    // removed.
    QORStatus destroySemSet(char id, std::atomic<bool>& ready, std::atomic<int>& semId);
    QORStatus destroyShm(QORSysVSharedMem& segment, char id);
    // Applies ops, again after an interrupting signal; with a deadline
    // (CLOCK_MONOTONIC) a wait ends there with 0x35f0220e.
    static QORStatus semOps(int semId, const struct sembuf* ops, unsigned int count,
                            const struct timespec* deadline = nullptr);

    QORSysVSharedMem m_poolMgrShm;
    QORPoolHeader volatile* m_header = nullptr;
    int32_t volatile* m_stateList = nullptr;
    worker_info volatile* m_workerInfo = nullptr;
    QORSysVSharedMem m_workerShm;
    int m_numWorkers = 0;
    QORString m_serverName;
    unsigned int m_poolMgrShmSize = 0;
    unsigned int m_workerShmSize = 0;
    // Read by every thread of a process; changed while it looks the sets up
    // again after the server recreated them.
    std::atomic<bool> m_poolSemsReady{false};
    std::atomic<bool> m_workerSemsReady{false};
    std::atomic<int> m_poolSemId{-1};
    std::atomic<int> m_workerSemId{-1};
    std::atomic<unsigned int> m_workerSemCount{0};
    uid_t m_ownerUid = (uid_t)-1;
    int m_poolSemNum = 1;
    int m_lockSemNum = 0;
    pid_t m_pid = 0;
    // The pool set whose lock guards the mapped header, state list and
    // worker records, where the two can differ: a plug-in looks a restarted
    // server's sets up before it maps the new segments, and a thread that
    // takes the new lock meanwhile must not write the old records, which
    // holders of the old lock still use. -1: always the same (the server).
    std::atomic<int> m_headerPoolSet{-1};
};
