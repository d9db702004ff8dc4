#include "proxyif/ipc/qorworkerpool.h"

#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "qorchannelprocess.h"
#include "qortestchannel.h"

namespace {

// Makes (or attaches to) the four objects the way a server lays them out.
class TestPool : public QORWorkerPool {
public:
    TestPool(const char* name, int workers)
    {
        m_serverName.set(name, -1);
        m_numWorkers = workers;
        m_poolMgrShmSize = poolMgrSize(workers);
        m_workerShmSize = 256u * workers;
    }
    QORStatus create()
    {
        bool created = false;
        QORStatus st = initPoolMgrShm(true, false, &created);
        if (st != qor_s_ok || !created)
            return st ? st : qor_s_ipc_exists;
        m_header->numWorkers = m_numWorkers;
        for (int i = 0; i < m_numWorkers; ++i)
            m_stateList[i] = qor_worker_free;
        st = initWorkerShm(true, false, &created);
        if (st == qor_s_ok)
            st = initWorkerSemaphores(true, false);
        if (st == qor_s_ok)
            st = initPoolSemaphores(true, false);
        return st;
    }
    QORStatus attach()
    {
        bool created = true;
        QORStatus st = initPoolSemaphores(false, false);
        if (st == qor_s_ok)
            st = initPoolMgrShm(false, false, &created);
        if (st == qor_s_ok)
            st = initWorkerSemaphores(false, false);
        if (st == qor_s_ok)
            st = initWorkerShm(false, false, &created);
        return st;
    }
    int poolCount() const { return semctl(getPoolSemId(), m_poolSemNum, GETVAL); }
    int lockValue() const { return semctl(getPoolSemId(), m_lockSemNum, GETVAL); }
    using QORWorkerPool::takePoolLock;
    using QORWorkerPool::unlockPoolOn;
    using QORWorkerPool::waitPoolAndLock;
    using QORWorkerPool::unlockAndSignal;
};

class QORWorkerPoolTest : public QORIPCTraceTest {
protected:
    QORTestIPCPath m_path{"pool"};
};

} // namespace

TEST_F(QORWorkerPoolTest, LayoutSeenFromTheOtherSide)
{
    TestPool server(m_path.c_str(), 3);
    ASSERT_EQ(server.create(), qor_s_ok);
    EXPECT_EQ(m_path.countPoolObjects(), 4);
    TestPool client(m_path.c_str(), 0);
    ASSERT_EQ(client.attach(), qor_s_ok);
    EXPECT_EQ(client.getNumWorkers(), 3);
    // The state list sits behind the 100-byte header, the records behind it.
    int32_t volatile* states = nullptr;
    worker_info volatile* info = nullptr;
    ASSERT_EQ(client.getStateList(&states), qor_s_ok);
    ASSERT_EQ(client.getWorkerInfo(2, &info), qor_s_ok);
    char volatile* base = reinterpret_cast<char volatile*>(client.getHeader());
    EXPECT_EQ(reinterpret_cast<char volatile*>(states) - base, 100);
    EXPECT_EQ(reinterpret_cast<char volatile*>(info) - base, 100 + 3 * 4 + 2 * 40);
    server.setState(1, qor_worker_cleaned);
    EXPECT_EQ(client.getState(1), qor_worker_cleaned);
    EXPECT_EQ(client.getState(3), -1);
    EXPECT_EQ(client.getState(-1), -1);
    EXPECT_EQ(client.getWorkerInfo(3, &info), qor_s_ipc_bad_parameter);
    EXPECT_EQ(client.getPoolSemId(), server.getPoolSemId());
    EXPECT_EQ(client.getWorkerSemId(), server.getWorkerSemId());
}

TEST_F(QORWorkerPoolTest, AttachNeedsAServerAndAWorkerCountThatFits)
{
    TestPool client(m_path.c_str(), 0);
    EXPECT_EQ(client.attach(), qor_s_ipc_no_segment);
    TestPool elsewhere("/nonexistent/dxqor/key/path", 0);
    EXPECT_EQ(elsewhere.attach(), qor_s_ipc_key_failed);
    TestPool server(m_path.c_str(), 2);
    ASSERT_EQ(server.create(), qor_s_ok);
    // A page holds the header and about 93 workers; 1000 would run past it.
    for (int32_t count : {1000, 0, -5}) {
        server.getHeader()->numWorkers = count;
        EXPECT_EQ(client.attach(), qor_s_ipc_internal) << count;
    }
    server.getHeader()->numWorkers = 2;
    EXPECT_EQ(client.attach(), qor_s_ok);
}

TEST_F(QORWorkerPoolTest, PoolCountIsCappedAtTheNumberOfWorkers)
{
    TestPool server(m_path.c_str(), 2);
    ASSERT_EQ(server.create(), qor_s_ok);
    int set = -1;
    // From each count, one given back alone and with the lock's release.
    for (int from : {0, 1, 2}) {
        for (bool withLock : {false, true}) {
            ASSERT_EQ(semctl(server.getPoolSemId(), 1, SETVAL, from), 0);
            if (withLock) {
                ASSERT_EQ(server.takePoolLock(&set), qor_s_ok);
                EXPECT_EQ(server.unlockAndSignal(set), qor_s_ok);
            } else {
                EXPECT_EQ(server.signalPoolSemaphore(), qor_s_ok);
            }
            EXPECT_EQ(server.poolCount(), from < 2 ? from + 1 : 2) << from << withLock;
            EXPECT_EQ(server.lockValue(), 0);
            EXPECT_EQ(server.getHeader()->lockHeld, 0);
        }
    }
    // One taken with the lock; with nothing to take, a deadline ends the wait.
    ASSERT_EQ(server.waitPoolAndLock(&set), qor_s_ok);
    EXPECT_EQ(set, server.getPoolSemId());
    EXPECT_EQ(server.poolCount(), 1);
    EXPECT_EQ(server.lockValue(), 1);
    EXPECT_EQ(server.getHeader()->lockHeld, 1);
    ASSERT_EQ(server.unlockPoolOn(set), qor_s_ok);
    ASSERT_EQ(server.waitPoolSemaphore(), qor_s_ok);
    timespec deadline = QORSysVSemHelper::deadlineIn(20);
    EXPECT_EQ(server.waitPoolAndLock(&set, &deadline), qor_s_ipc_would_block);
    EXPECT_EQ(server.lockValue(), 0);
}

// The holder records its own thread's ID, also in a child forked after
// this thread recorded its own; a dead holder's lock is taken over.
TEST_F(QORWorkerPoolTest, LockOfADeadHolderIsTakenOver)
{
    TestPool server(m_path.c_str(), 1);
    ASSERT_EQ(server.create(), qor_s_ok);
    int32_t other = 0;
    std::thread([&] {
        if (server.lockPoolManager() == qor_s_ok) {
            other = server.getHeader()->lockTid;
            EXPECT_EQ(server.unlockPoolManager(), qor_s_ok);
        }
        EXPECT_EQ(other, (int32_t)syscall(SYS_gettid));
    }).join();
    EXPECT_NE(other, (int32_t)syscall(SYS_gettid));
    ASSERT_EQ(server.lockPoolManager(), qor_s_ok);
    ASSERT_EQ(server.unlockPoolManager(), qor_s_ok);
    std::string path = m_path.c_str();
    pid_t child = qor_test_spawn([&] {
        TestPool holder(path.c_str(), 0);
        // Ends still holding the lock.
        return holder.attach() == qor_s_ok && holder.lockPoolManager() == qor_s_ok ? 0 : 1;
    });
    ASSERT_GT(child, 0);
    ASSERT_EQ(qor_test_reap(child), 0);
    // The kernel undid the dead holder's semaphore, the flag still says held.
    EXPECT_EQ(server.lockValue(), 0);
    EXPECT_EQ(server.getHeader()->lockHeld, 1);
    EXPECT_EQ(server.getHeader()->lockPid, child);
    EXPECT_EQ(server.getHeader()->lockTid, child);
    TestPool next(m_path.c_str(), 0);
    ASSERT_EQ(next.attach(), qor_s_ok);
    EXPECT_EQ(next.lockPoolManager(), qor_s_ipc_abandoned);
    EXPECT_EQ(next.lockValue(), 1);
    EXPECT_EQ(next.getHeader()->lockHeld, 1);
    EXPECT_EQ(next.getHeader()->lockPid, getpid());
    EXPECT_EQ(next.getHeader()->lockTid, (int32_t)syscall(SYS_gettid));
    ASSERT_EQ(next.unlockPoolManager(), qor_s_ok);
    EXPECT_EQ(next.lockValue(), 0);
    EXPECT_EQ(next.getHeader()->lockHeld, 0);
    EXPECT_FALSE(logged("*** Pool lock abandoned ***\n"));
    // Callers go through takePoolLock, which accepts and logs a takeover.
    next.getHeader()->lockHeld = 1;
    EXPECT_EQ(next.takePoolLock(), qor_s_ok);
    EXPECT_TRUE(logged("*** Pool lock abandoned ***\n"));
    EXPECT_EQ(next.unlockPoolManager(), qor_s_ok);
}

TEST_F(QORWorkerPoolTest, DestroyAndCleanup)
{
    {
        TestPool server(m_path.c_str(), 2);
        // Nothing to remove counts as removed.
        EXPECT_EQ(server.destroyPoolSemaphores(), qor_s_ok);
        EXPECT_EQ(server.destroyWorkerSemaphores(), qor_s_ok);
        EXPECT_EQ(server.destroyPoolMgrShm(), qor_s_ok);
        EXPECT_EQ(server.destroyWorkerShm(), qor_s_ok);
        ASSERT_EQ(server.create(), qor_s_ok);
        // A pool that only knows the name attaches first, then removes.
        TestPool other(m_path.c_str(), 2);
        EXPECT_EQ(other.destroyWorkerShm(), qor_s_ok);
        EXPECT_EQ(other.destroyPoolSemaphores(), qor_s_ok);
        EXPECT_EQ(m_path.countPoolObjects(), 2);
        EXPECT_EQ(server.destroyPoolMgrShm(), qor_s_ok);
        EXPECT_EQ(server.destroyWorkerSemaphores(), qor_s_ok);
        EXPECT_EQ(m_path.countPoolObjects(), 0);
    }
    {
        TestPool server(m_path.c_str(), 2);
        ASSERT_EQ(server.create(), qor_s_ok);
        EXPECT_EQ(m_path.countPoolObjects(), 4);
        QORWorkerPool::cleanupPool(m_path.c_str());
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        QORWorkerPool::cleanupPool(m_path.c_str());
        QORWorkerPool::cleanupPool("/nonexistent/dxqor/key/path");
        // What the server still maps stays usable until it detaches.
        server.setState(0, qor_worker_taken);
        EXPECT_EQ(server.getState(0), qor_worker_taken);
        EXPECT_EQ(server.lockPoolManager(), qor_s_ipc_invalid_id);
    }
}

TEST_F(QORWorkerPoolTest, CreatingOverALeftoverSegmentReplacesIt)
{
    QORSysVSharedMem leftover;
    ASSERT_EQ(leftover.create(m_path.c_str(), 'w', 64), qor_s_ok);
    QORSysVSharedMem segment;
    bool created = false;
    EXPECT_EQ(QORWorkerPool::createOrAttachShm(segment, m_path.c_str(), 'w', 64,
                                               true, &created),
              qor_s_ok);
    EXPECT_TRUE(created);
    EXPECT_NE(segment.getId(), leftover.getId());
    shmid_ds info;
    EXPECT_EQ(shmctl(leftover.getId(), IPC_STAT, &info), 0);
    EXPECT_NE(info.shm_perm.mode & SHM_DEST, 0u);
    EXPECT_EQ(segment.destroy(), qor_s_ok);
    EXPECT_EQ(segment.detach(), qor_s_ok);
    EXPECT_EQ(leftover.detach(), qor_s_ok);
}

TEST_F(QORWorkerPoolTest, LockIsReleasedOnTheSetItWasTakenOn)
{
    TestPool server(m_path.c_str(), 1);
    ASSERT_EQ(server.create(), qor_s_ok);
    TestPool client(m_path.c_str(), 0);
    ASSERT_EQ(client.attach(), qor_s_ok);
    int set = -1;
    ASSERT_EQ(client.takePoolLock(&set), qor_s_ok);
    // The server restarts; another thread of the client looks the new sets up.
    QORWorkerPool::cleanupPool(m_path.c_str());
    TestPool restarted(m_path.c_str(), 1);
    ASSERT_EQ(restarted.create(), qor_s_ok);
    ASSERT_EQ(client.initPoolSemaphores(false, true), qor_s_ok);
    ASSERT_NE(client.getPoolSemId(), set);
    // Releasing on the new set, whose lock is free, would block for good.
    EXPECT_EQ(client.unlockPoolOn(set), qor_s_ipc_invalid_id);
    EXPECT_EQ(restarted.lockValue(), 0);
    EXPECT_EQ(client.unlockAndSignal(set), qor_s_ipc_invalid_id);
    EXPECT_EQ(restarted.lockValue(), 0);
    EXPECT_EQ(restarted.poolCount(), 1);
}
