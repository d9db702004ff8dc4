#include "proxyif/server/qorsrvworkerpool.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/sem.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "qortestchannel.h"
#include "qoripctesting.h"
#include "qortestdir.h"
#include "qortestintmessages.h"

namespace {

class QORSrvWorkerPoolTest : public QORIPCTraceTest {
protected:
    void TearDown() override
    {
        m_handler.release = true;
        (void)m_client.shutdown();
        (void)m_server.shutdown();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        QORIPCTraceTest::TearDown();
    }
    void startBoth(int workers, unsigned size = 512)
    {
        ASSERT_EQ(m_server.start(m_path.c_str(), workers, size, &m_handler), qor_s_ok);
        ASSERT_EQ(m_client.initialize(m_path.c_str()), qor_s_ok);
    }
    // Sends value on a worker the caller holds; the answer, of type 7, or a
    // status.
    QORStatus ask(QORClntWorkerBuffer* b, int32_t value, int32_t* out)
    {
        std::unique_ptr<QORSharedMemAllocator> alloc(b->getRequestAllocator());
        QORStatus st = QORTestIntMessage(6, value).marshal(*alloc);
        if (st == qor_s_ok)
            st = b->writeRequest(6, *alloc);
        if (st == qor_s_ok)
            st = b->postRequest();
        if (st == qor_s_ok)
            st = b->waitResult();
        if (st != qor_s_ok || b->wasReset())
            return st ? st : qor_s_ipc_worker_reset;
        QORSharedMemIterator* it = nullptr;
        int type = -1;
        QORTestIntMessage answer(7);
        st = b->readResult(type, &it);
        if (st == qor_s_ok)
            st = answer.unmarshal(*it, nullptr);
        delete it;
        *out = answer.value();
        return st == qor_s_ok && type != 7 ? qor_s_ipc_bad_parameter : st;
    }
    // One whole exchange (take a worker, ask, give it back); the answer, or
    // -1.
    int32_t roundTrip(int32_t value)
    {
        QORClntWorkerBuffer* b = nullptr;
        int32_t out = -1;
        EXPECT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
        if (b != nullptr) {
            EXPECT_EQ(ask(b, value, &out), qor_s_ok);
            EXPECT_EQ(m_client.replaceWorker(b), qor_s_ok);
        }
        return out;
    }
    int state(int i) const { return m_server.getState(i); }
    worker_info volatile* record(int i) const
    {
        worker_info volatile* w = nullptr;
        EXPECT_EQ(qor_s_ok, m_server.getWorkerInfo(i, &w));
        return w;
    }
    // Takes a worker on another thread, which must back off until release()
    // gives one back; the number of the worker taken (and given back), or -1.
    int takeOnceReleased(const std::function<void()>& release)
    {
        QORClntWorkerBuffer* b = nullptr;
        QORStatus st = 1;
        std::atomic<bool> done{false};
        std::thread taker([&] {
            st = m_client.getFreeWorker(&b);
            done = true;
        });
        EXPECT_TRUE(backedOff());
        EXPECT_FALSE(done);
        release();
        taker.join();
        int n = st == qor_s_ok ? b->getWorkerNum() : -1;
        EXPECT_EQ(qor_s_ok, st == qor_s_ok ? m_client.replaceWorker(b) : st);
        return n;
    }
    bool backedOff()
    {
        return qor_test_wait_until([this] { return m_client.backoffSleeps() >= 1; });
    }
    QORTestIPCPath m_path{"srv"};
    QORTestEchoHandler m_handler;
    QORSrvWorkerPool m_server;
    QORClntWorkerPool m_client;
};

} // namespace

TEST_F(QORSrvWorkerPoolTest, ServerLaysOutTheObjects)
{
    ASSERT_EQ(m_server.start(m_path.c_str(), 3, 510, &m_handler), qor_s_ok);
    EXPECT_EQ(m_path.countPoolObjects(), 4);
    EXPECT_EQ(m_server.getHeader()->lockHeld, 0);
    EXPECT_EQ(m_server.getHeader()->semId, m_server.getPoolSemId());
    EXPECT_EQ(m_server.getHeader()->semNum, 1);
    EXPECT_STREQ((const char*)m_server.getHeader()->serverName,
                 std::string(m_path.c_str()).substr(0, 59).c_str());
    EXPECT_EQ(semctl(m_server.getPoolSemId(), 0, GETVAL), 0);
    EXPECT_EQ(semctl(m_server.getPoolSemId(), 1, GETVAL), 3);
    const char* buffers = (const char*)m_server.getWorkerShm().getBaseAddress();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(state(i), qor_worker_free);
        worker_info volatile* w = record(i);
        EXPECT_EQ(w->workerNum, i);
        EXPECT_EQ(w->memStartOffset, 512 * i); // the size is kept 4-aligned
        EXPECT_EQ(w->memSize, 512);
        EXPECT_EQ(w->semId, m_server.getWorkerSemId());
        EXPECT_EQ(w->reqSemNum, 2 * i);
        EXPECT_EQ(w->resSemNum, 2 * i + 1);
        int32_t num;
        memcpy(&num, buffers + 512 * i, 4);
        EXPECT_EQ(num, i);
    }
    // Owner and group only.
    struct shmid_ds shm;
    ASSERT_EQ(shmctl(m_server.getWorkerShm().getId(), IPC_STAT, &shm), 0);
    EXPECT_EQ(shm.shm_perm.mode & 0777, 0660u);
    struct semid_ds sem;
    ASSERT_EQ(semctl(m_server.getPoolSemId(), 0, IPC_STAT, &sem), 0);
    EXPECT_EQ(sem.sem_perm.mode & 0777, 0660u);
    EXPECT_EQ(sem.sem_nsems, 2u);
    ASSERT_EQ(semctl(m_server.getWorkerSemId(), 0, IPC_STAT, &sem), 0);
    EXPECT_EQ(sem.sem_nsems, 6u);
    QORSrvWorkerPool again;
    EXPECT_EQ(m_server.start(m_path.c_str(), 3, 512, &m_handler), qor_s_ipc_bad_parameter);
    EXPECT_EQ(again.start(m_path.c_str(), 0, 512, &m_handler), qor_s_ipc_bad_parameter);
    EXPECT_EQ(again.start(m_path.c_str(), 1, 16, &m_handler), qor_s_ipc_bad_parameter);
    EXPECT_EQ(m_server.shutdown(), qor_s_ok);
    EXPECT_EQ(m_server.shutdown(), qor_s_ok);  // TearDown counts the objects
}

TEST_F(QORSrvWorkerPoolTest, TakeAskGiveBack)
{
    startBoth(2);
    EXPECT_EQ(m_client.getNumWorkers(), 2);
    EXPECT_TRUE(logged("State List --> FREE FREE <-- End of State List\n"));
    QORClntWorkerBuffer* b = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
    EXPECT_EQ(b->getWorkerNum(), 0);
    EXPECT_EQ(state(0), qor_worker_taken);
    EXPECT_EQ(semctl(m_client.getPoolSemId(), 1, GETVAL), 1);
    EXPECT_TRUE(logged("Client " + std::to_string(getpid()) + " using worker 0\n"));
    int32_t out = 0;
    EXPECT_EQ(ask(b, 41, &out), qor_s_ok);
    EXPECT_EQ(out, 42);
    EXPECT_EQ(m_client.replaceWorker(b), qor_s_ok);
    EXPECT_EQ(state(0), qor_worker_free);
    EXPECT_EQ(record(0)->inUse, 0);
    EXPECT_EQ(record(0)->time, 0);
    EXPECT_EQ(record(0)->holderPid, 0);
    EXPECT_EQ(semctl(m_client.getPoolSemId(), 1, GETVAL), 2);
    EXPECT_EQ(m_server.answered(0), 1u);
}

TEST_F(QORSrvWorkerPoolTest, AllTakenBacksOffThenTakesTheFirstFreed)
{
    startBoth(2);
    QORClntWorkerBuffer* first = nullptr;
    QORClntWorkerBuffer* second = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&first), qor_s_ok);
    ASSERT_EQ(m_client.getFreeWorker(&second), qor_s_ok);
    // The second holder's answer comes from a busy server: it sleeps at once.
    EXPECT_FALSE(first->othersAsking());
    EXPECT_TRUE(second->othersAsking());
    // Raise the count from 0 as the kernel does for a dead holder: the caller
    // passes it, finds nothing FREE and goes round until it backs off.
    EXPECT_EQ(qor_s_ok, m_client.signalPoolSemaphore());
    int freed = second->getWorkerNum();
    EXPECT_EQ(takeOnceReleased([&] { EXPECT_EQ(qor_s_ok, m_client.replaceWorker(second)); }),
              freed);
    EXPECT_EQ(qor_s_ok, m_client.replaceWorker(first));
    EXPECT_EQ(semctl(m_client.getPoolSemId(), 1, GETVAL), 2);
}

TEST_F(QORSrvWorkerPoolTest, InUseLongerThanThirtySecondsIsReclaimed)
{
    startBoth(2);
    // Worker 0 is FREE in the list but its record says a holder took it.
    // Start on a fresh second so that "now" does not move during the scan.
    time_t t0 = time(nullptr);
    while (time(nullptr) == t0)
        usleep(1000);
    record(0)->inUse = 1;
    record(0)->time = (int32_t)time(nullptr) - 30;
    QORClntWorkerBuffer* b = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
    EXPECT_EQ(b->getWorkerNum(), 1);
    EXPECT_EQ(record(0)->inUse, 1);
    EXPECT_EQ(qor_s_ok, m_client.replaceWorker(b));
    record(0)->time = (int32_t)time(nullptr) - 31;
    record(0)->reset = 1;
    ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
    EXPECT_EQ(b->getWorkerNum(), 0);
    EXPECT_EQ(record(0)->inUse, 1);
    EXPECT_EQ(record(0)->reset, 0);
    EXPECT_LE(std::abs(record(0)->time - (int32_t)time(nullptr)), 1);
    EXPECT_EQ(record(0)->holderPid, getpid());
    EXPECT_EQ(qor_s_ok, m_client.replaceWorker(b));
    EXPECT_EQ(semctl(m_client.getPoolSemId(), 1, GETVAL), 2);
}

TEST_F(QORSrvWorkerPoolTest, CleanedWorkerStaysCleanedAndIsNeverTaken)
{
    startBoth(2);
    QORClntWorkerBuffer* b = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
    ASSERT_EQ(b->getWorkerNum(), 0);
    ASSERT_EQ(m_server.cleanWorker(0), qor_s_ok);
    EXPECT_LE(std::abs(record(0)->time - (int32_t)time(nullptr)), 1);
    EXPECT_EQ(record(0)->holderPid, getpid());
    EXPECT_EQ(qor_s_ok, m_client.replaceWorker(b));
    EXPECT_EQ(state(0), qor_worker_cleaned);
    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
        EXPECT_EQ(b->getWorkerNum(), 1);
        EXPECT_EQ(qor_s_ok, m_client.replaceWorker(b));
    }
    EXPECT_EQ(state(0), qor_worker_cleaned);
    // With every worker cleaned a caller waits until the server frees one.
    ASSERT_EQ(m_server.cleanWorker(1), qor_s_ok);
    EXPECT_EQ(takeOnceReleased([&] { EXPECT_EQ(m_server.freeWorker(1), qor_s_ok); }), 1);
    EXPECT_EQ(state(0), qor_worker_cleaned);
}

TEST_F(QORSrvWorkerPoolTest, ResetWakesTheWaiter)
{
    startBoth(1);
    QORClntWorkerBuffer* b = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&b), qor_s_ok);
    QORStatus seen = 1;
    std::thread asker([&] {
        int32_t out;
        seen = ask(b, -1, &out);
    });
    ASSERT_TRUE(qor_test_wait_until([&] { return m_handler.held.load(); }));
    ASSERT_EQ(m_server.resetWorker(0), qor_s_ok);
    asker.join();
    EXPECT_EQ(seen, qor_s_ipc_worker_reset);
    EXPECT_EQ(record(0)->reset, 1);
    // Freed by the server meanwhile: giving it back logs and clears the flag.
    ASSERT_EQ(m_server.freeWorker(0), qor_s_ok);
    EXPECT_EQ(qor_s_ok, m_client.replaceWorker(b));
    EXPECT_EQ(record(0)->reset, 0);
    EXPECT_TRUE(logged("Replacing cleaned worker 0: Cleaned: "));
}

// The client refreshes after the server recreated its objects, fails while
// there is none, and waits for one that is restarting.
TEST_F(QORSrvWorkerPoolTest, RefreshFollowsTheServer)
{
    startBoth(2);
    ASSERT_EQ(roundTrip(1), 2);
    ASSERT_EQ(m_server.restart(), qor_s_ok);
    QORClntWorkerBuffer* b = nullptr;
    QORStatus st = m_client.getFreeWorker(&b);
    EXPECT_TRUE(qor_ipc_object_gone(st)) << std::hex << st;
    EXPECT_TRUE(m_client.refresher());
    EXPECT_FALSE(m_client.refresher());
    EXPECT_EQ(m_client.refresh(), qor_s_ok);
    EXPECT_EQ(m_client.waitRefresh(), qor_s_ok);
    EXPECT_EQ(m_client.getPoolSemId(), m_server.getPoolSemId());
    ASSERT_EQ(roundTrip(2), 3);
    ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    ASSERT_TRUE(m_client.refresher());
    EXPECT_EQ(m_client.refresh(), qor_s_ipc_no_segment);
    EXPECT_EQ(m_client.getFreeWorker(&b), qor_s_ipc_invalid_id);
    EXPECT_EQ(b, nullptr);
    std::thread restarter([this] {
        usleep(300000);
        EXPECT_EQ(qor_s_ok, m_server.start(m_path.c_str(), 3, 512, &m_handler));
    });
    ASSERT_TRUE(m_client.refresher());
    EXPECT_EQ(m_client.refresh(), qor_s_ok);
    restarter.join();
    EXPECT_EQ(m_client.getNumWorkers(), 3);
    EXPECT_EQ(roundTrip(7), 8);
}

TEST_F(QORSrvWorkerPoolTest, CancelledWaiterGivesItsUseBackAndRefreshWaitIsBounded)
{
    ASSERT_EQ(m_server.start(m_path.c_str(), 1, 512, &m_handler), qor_s_ok);
    QORChannelLimits limits;
    limits.refreshWaitSeconds = 1;
    ASSERT_EQ(m_client.initialize(m_path.c_str(), limits), qor_s_ok);
    QORClntWorkerBuffer* held = nullptr;
    ASSERT_EQ(m_client.getFreeWorker(&held), qor_s_ok);
    // A refresh cannot wait out a holder that never gives its worker back.
    ASSERT_TRUE(m_client.refresher());
    EXPECT_EQ(m_client.refresh(), qor_s_ipc_refresh_timeout);
    EXPECT_EQ(m_client.waitRefresh(), qor_s_ok);
    // A thread cancelled while it backs off from a pool of taken workers
    // counts no more: a refresh finds no one to wait for.
    ASSERT_EQ(m_client.signalPoolSemaphore(), qor_s_ok);
    pthread_t waiter;
    auto take = [](void* pool) -> void* {
        QORClntWorkerBuffer* b = nullptr;
        (void)static_cast<QORClntWorkerPool*>(pool)->getFreeWorker(&b);  // cancelled before it returns
        return b;
    };
    ASSERT_EQ(pthread_create(&waiter, nullptr, take, &m_client), 0);
    ASSERT_TRUE(backedOff());
    ASSERT_EQ(pthread_cancel(waiter), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(waiter, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    ASSERT_EQ(m_client.replaceWorker(held), qor_s_ok);
    ASSERT_TRUE(m_client.refresher());
    EXPECT_EQ(m_client.refresh(), qor_s_ok);
    EXPECT_EQ(roundTrip(4), 5);
}
