// Faults across real processes on the channel between plug-in and server.
// The parent bounds every wait; the watchdog removes every object if
// something still hangs.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qortestlog.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/ipc/qorworkerbuffer.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qorchannelprocess.h"
#include "qoripctesting.h"
#include "qortestchannel.h"
#include "qortestdir.h"
#include "qortestintmessages.h"

namespace {

const int kAnswerType = qor_msg_urc_version_answer;
const int kHoldValue = -1;       // the server holds the worker

class QORChannelFaultTest : public ::testing::Test {
protected:
    void SetUp() override { qor_test_watchdog(240); }
    void TearDown() override
    {
        m_dispatcher.shutdown();
        m_server.stop();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        qor_test_watchdog(0);
    }
    void initDispatcher(QORLog* log, const QORChannelLimits& limits = QORChannelLimits())
    {
        ASSERT_EQ(m_dispatcher.initialize(log, m_path.c_str(), limits), qor_s_ok);
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORTestIntFactory), qor_s_ok);
    }
    int32_t answerTo(int32_t value) { return qor_test_answer_to(m_dispatcher, value); }
    // A child that takes something of the pool, passes hold() what it took
    // and waits there to be killed; *took is what it took, or -1.
    using Hold = std::function<void(int32_t)>;
    pid_t spawnHolder(const std::function<int(const char*, const Hold&)>& take, int32_t* took)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        std::string path = m_path.c_str();
        pid_t pid = qor_test_spawn([&] {
            return take(path.c_str(), [&](int32_t got) {
                qor_test_write_full(fds[1], &got, 4);
                pause();
            });
        });
        if (pid > 0 && !qor_test_read_full(fds[0], took, 4))
            *took = -1;
        close(fds[0]);
        close(fds[1]);
        return pid;
    }
    QORTestIPCPath m_path{"fault"};
    QORTestServerProcess m_server;
    // Outlives the dispatcher, which traces into it until shut down.
    QORTestLog m_log{true};
    QORProxyIFDispatcher m_dispatcher;
};

// Outcomes of the client process's dispatches, shared with the parent.
struct LoadStats {
    std::atomic<int32_t> answers;
    std::atomic<int32_t> retries;   // the retry flag, with a status or without an answer
    std::atomic<int32_t> bad;       // anything else
    std::atomic<uint32_t> lastBad;
    std::atomic<int32_t> maxDispatchMs;
    std::atomic<int32_t> stop;
};

// The client process: 8 threads dispatching until told to stop.
int loadClient(const char* path, LoadStats* stats)
{
    QORProxyIFDispatcher d;
    if (d.initialize(nullptr, path) != qor_s_ok ||
        d.registerProxyMsgFactory(new QORTestIntFactory) != qor_s_ok)
        return 2;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&d, stats, t] {
            for (int32_t seq = t * 1000000; !stats->stop; ++seq) {
                auto t0 = std::chrono::steady_clock::now();
                QORTestIntOutcome o = qor_test_ask(d, seq);
                int32_t took = (int32_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - t0).count();
                int32_t max = stats->maxDispatchMs;
                while (took > max && !stats->maxDispatchMs.compare_exchange_weak(max, took)) {
                }
                if (o.st == qor_s_ok && o.type == kAnswerType && o.value == seq + 1)
                    ++stats->answers;
                else if (o.retry && (o.st != qor_s_ok || o.type == -1))
                    ++stats->retries;
                else {
                    ++stats->bad;
                    stats->lastBad = o.st;
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    (void)d.shutdown();
    return stats->bad == 0 ? 0 : 1;
}

// For spawnHolder: takes a worker and holds it.
int takeWorker(const char* path, const std::function<void(int32_t)>& hold)
{
    QORProxyIFDispatcher d;  // for the buffers' allocator
    QORClntWorkerPool pool;
    QORClntWorkerBuffer* b = nullptr;
    if (d.initialize(nullptr, path) != qor_s_ok || pool.initialize(path) != qor_s_ok ||
        pool.getFreeWorker(&b) != qor_s_ok)
        return 1;
    hold(b->getWorkerNum());
    return 0;
}

} // namespace

TEST_F(QORChannelFaultTest, ServerKilledAndRestartedUnderLoad)
{
    LoadStats* stats = static_cast<LoadStats*>(
        mmap(nullptr, sizeof(LoadStats), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(stats, MAP_FAILED);
    new (stats) LoadStats();
    ASSERT_TRUE(m_server.start(m_path.c_str(), 4));
    std::string path = m_path.c_str();
    pid_t client = qor_test_spawn([&] { return loadClient(path.c_str(), stats); });
    ASSERT_GT(client, 0);
    ASSERT_TRUE(qor_test_wait_until([&] { return stats->answers >= 200; }));
    for (int cycle = 0; cycle < 3; ++cycle) {
        m_server.kill9();
        // Left behind by the crash, until the next server clears them.
        EXPECT_EQ(m_path.countPoolObjects(), 4);
        int32_t before = stats->answers;
        ASSERT_TRUE(m_server.start(m_path.c_str(), 4)) << "cycle " << cycle;
        EXPECT_TRUE(qor_test_wait_until([&] { return stats->answers >= before + 200; }))
            << "no progress after restart " << cycle << ": " << stats->answers;
    }
    stats->stop = 1;
    EXPECT_EQ(qor_test_reap(client, 30000), 0)
        << "bad " << stats->bad << " last " << std::hex << stats->lastBad;
    // Threads waiting on the dead server's workers were told to retry.
    EXPECT_GE(stats->retries, 1);
    EXPECT_LT(stats->maxDispatchMs, 10000);
    EXPECT_EQ(m_server.stop(), 0);
    EXPECT_EQ(m_path.countPoolObjects(), 0);
    munmap(stats, sizeof(LoadStats));
}

TEST_F(QORChannelFaultTest, ClientKilledHoldingThePoolLock)
{
    ASSERT_TRUE(m_server.start(m_path.c_str(), 2));
    initDispatcher(&m_log);
    QORProxyIFLog::get()->setLevel(7);
    ASSERT_EQ(answerTo(1), 2);
    int32_t locked = -1;
    pid_t holder = spawnHolder([](const char* path, const Hold& hold) {
        QORClntWorkerPool pool;
        if (pool.initialize(path) != qor_s_ok || pool.lockPoolManager() != qor_s_ok)
            return 1;
        hold(1);
        return 0;
    }, &locked);
    ASSERT_GT(holder, 0);
    ASSERT_EQ(locked, 1);
    kill(holder, SIGKILL);
    EXPECT_EQ(qor_test_reap(holder), 128 + SIGKILL);
    EXPECT_EQ(answerTo(2), 3);
    EXPECT_GE(m_log.count("*** Pool lock abandoned ***\n"), 1);
    EXPECT_EQ(answerTo(3), 4);
}

TEST_F(QORChannelFaultTest, ResetWorkerMeansRetry)
{
    ASSERT_TRUE(m_server.start(m_path.c_str(), 2));
    initDispatcher(nullptr);
    QORTestIntOutcome held;
    std::thread asker([&] { held = qor_test_ask(m_dispatcher, kHoldValue); });
    EXPECT_TRUE(qor_test_wait_until([&] { return m_server.call('h') == 1; }));
    // Nothing else runs: the held question is on the first worker.
    EXPECT_EQ(m_server.call('s', 0), qor_worker_taken);
    EXPECT_EQ(m_server.call('r', 0), 0);
    asker.join();
    EXPECT_EQ(held.st, qor_s_ok);
    EXPECT_TRUE(held.retry);
    EXPECT_EQ(held.type, -1);
    EXPECT_EQ(m_server.call('s', 0), qor_worker_free);
    m_server.call('e');
    EXPECT_EQ(answerTo(5), 6);
    // The held question's answer was dropped: one answer on worker 0.
    EXPECT_EQ(m_server.call('a', 0), 1);
}

TEST_F(QORChannelFaultTest, WorkersOfDeadHoldersAreReclaimed)
{
    // No periodic reclaim: the pool stays full of dead holders until asked.
    ASSERT_TRUE(m_server.start(m_path.c_str(), 2, 0));
    pid_t holders[2];
    for (pid_t& holder : holders) {
        int32_t worker = -1;
        holder = spawnHolder(takeWorker, &worker);
        ASSERT_GT(holder, 0);
        ASSERT_GE(worker, 0);
    }
    // While they live, nothing is reclaimed.
    EXPECT_EQ(m_server.call('R'), 0);
    for (pid_t holder : holders) {
        kill(holder, SIGKILL);
        EXPECT_EQ(qor_test_reap(holder), 128 + SIGKILL);
    }
    EXPECT_EQ(m_server.call('s', 0), qor_worker_taken);
    EXPECT_EQ(m_server.call('s', 1), qor_worker_taken);
    // A plug-in meeting a pool of dead holders gives up within its limit.
    QORChannelLimits limits;
    limits.answerWaitSeconds = 1;
    initDispatcher(nullptr, limits);
    QORTestIntOutcome o = qor_test_ask(m_dispatcher, 1);
    EXPECT_EQ(o.st, qor_s_ipc_no_free_worker);
    EXPECT_FALSE(o.retry);
    EXPECT_EQ(m_server.call('R'), 2);
    for (int32_t v = 10; v < 12; ++v)
        EXPECT_EQ(answerTo(v), v + 1);
}

// A web-server process serving one request at a time (no other thread to
// refresh for it) waits for a free worker while the server is killed and
// started again: its request is sent again to the new server's pool.
TEST_F(QORChannelFaultTest, WaiterForAWorkerMovesToTheRestartedServer)
{
    ASSERT_TRUE(m_server.start(m_path.c_str(), 1));
    int32_t worker = -1;
    pid_t holder = spawnHolder(takeWorker, &worker);
    ASSERT_GT(holder, 0);
    ASSERT_GE(worker, 0);
    std::string path = m_path.c_str();
    // The web-server process (not a thread: nothing forks beside a thread)
    // reports status, retry flag and answer of two questions. It runs on one
    // CPU only when nothing else there can, so it looks again only after the
    // new server has made all of its objects: the case that went wrong.
    int results[2];
    ASSERT_EQ(pipe(results), 0);
    cpu_set_t mine, cpu0;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    CPU_ZERO(&cpu0);
    for (int c = 0; c < CPU_SETSIZE && CPU_COUNT(&cpu0) == 0; ++c)
        if (CPU_ISSET(c, &mine))
            CPU_SET(c, &cpu0);
    pid_t web = qor_test_spawn([&] {
        sched_param idle = {};
        if (sched_setaffinity(0, sizeof cpu0, &cpu0) != 0 ||
            sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
            return 2;
        QORChannelLimits limits;
        limits.answerWaitSeconds = 20;
        limits.refreshWaitSeconds = 20;
        QORProxyIFDispatcher d;
        if (d.initialize(nullptr, path.c_str(), limits) != qor_s_ok ||
            d.registerProxyMsgFactory(new QORTestIntFactory) != qor_s_ok)
            return 1;
        for (int32_t v = 1; v <= 2; ++v) {
            QORTestIntOutcome o = qor_test_ask(d, v);
            int32_t report[3] = {(int32_t)o.st, o.retry, o.value};
            qor_test_write_full(results[1], report, sizeof report);
        }
        (void)d.shutdown(); // the process ends here
        return 0;
    });
    ASSERT_GT(web, 0);
    int poolSet = semget(QORSysVSharedMem::nameToKey(path.c_str(), 'q'), 0, 0);
    ASSERT_GE(poolSet, 0);
    EXPECT_TRUE(qor_test_wait_until([&] {
        return semctl(poolSet, 0, GETNCNT) + semctl(poolSet, 1, GETNCNT) > 0;
    }, 20));
    ASSERT_EQ(sched_setaffinity(0, sizeof cpu0, &cpu0), 0);
    m_server.kill9();
    bool restarted = m_server.start(m_path.c_str(), 1);
    ASSERT_EQ(sched_setaffinity(0, sizeof mine, &mine), 0);
    ASSERT_TRUE(restarted);
    int32_t first[3] = {-1, 0, 0}, second[3] = {-1, 0, 0};
    EXPECT_TRUE(qor_test_read_full(results[0], first, sizeof first, 60000));
    EXPECT_TRUE(qor_test_read_full(results[0], second, sizeof second, 60000));
    close(results[0]);
    close(results[1]);
    EXPECT_EQ(first[0], (int32_t)qor_s_ipc_removed);
    EXPECT_EQ(first[1], 1) << "the first question is to be sent again";
    EXPECT_EQ(second[0], (int32_t)qor_s_ok);
    EXPECT_EQ(second[2], 3);
    EXPECT_EQ(qor_test_reap(web, 20000), 0);
    kill(holder, SIGKILL);
    EXPECT_EQ(qor_test_reap(holder, 20000), 128 + SIGKILL);
}

namespace {

void putElement(char* at, uint32_t length, uint32_t next, int32_t value)
{
    memcpy(at, &length, 4);
    memcpy(at + 4, &next, 4);
    memcpy(at + 8, &value, 4);
}

// The answer the misbehaving server is about to post: a good one of one
// element holding the question's value plus one, until a misdeed changes it.
struct Answer {
    char* base;
    int32_t at, value, workerNum;
};

// What the misbehaving server does with each question, in order, and what
// the plug-in's dispatch ends in. The child reads the same table.
const struct Misdeed {
    const char* what;
    void (*apply)(Answer&);
    QORStatus st;
    int answerType;
} kMisdeeds[] = {
    {"good", [](Answer&) {}, qor_s_ok, kAnswerType},
    // Other bounds and links, unknown types and error answers: the worker
    // buffer's, the iterator's and the dispatcher's own tests.
    {"result start unaligned", [](Answer& a) { a.at += 2; }, qor_s_ipc_bad_parameter, -1},
    {"element too long", [](Answer& a) { putElement(a.base + a.at, 5000, 0xFFFFFFFFu, 0); },
     0x35f02207, -1},
    {"wrong worker number", [](Answer& a) { a.workerNum = 5; }, qor_s_ipc_bad_worker_buffer, -1},
    {"good again", [](Answer&) {}, qor_s_ok, kAnswerType},
};

// A one-worker server without worker threads, answering by hand. It
// removes its objects once the parent has read the last answer.
int misbehavingServer(const char* path, int reply, int quit)
{
    QORSrvWorkerPool pool;
    if (pool.start(path, 1, QORTestServerProcess::kBufferSize, nullptr) != qor_s_ok)
        return 2;
    int32_t ready = 1;
    qor_test_write_full(reply, &ready, 4);
    worker_info volatile* w = nullptr;
    QORWorkerBuffer b;
    if (pool.getWorkerInfo(0, &w) != qor_s_ok || b.initialize(w, pool.getWorkerShm()) != qor_s_ok)
        return 3;
    char* base = static_cast<char*>(pool.getWorkerShm().getBaseAddress());
    for (const Misdeed& deed : kMisdeeds) {
        if (QORSysVSemHelper::wait(w->semId, w->reqSemNum, 1) != qor_s_ok)
            return 4;
        Answer a = {base, b.getHeaderField(offsetof(QORWorkerBufferHeader, resultStart)), 0, 0};
        int32_t start = b.getHeaderField(offsetof(QORWorkerBufferHeader, requestStart));
        memcpy(&a.value, base + start + 8, 4);
        putElement(base + a.at, 4, 0xFFFFFFFFu, a.value + 1);
        deed.apply(a);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, workerNum), a.workerNum);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultType), kAnswerType);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), 12);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultStart), a.at);
        (void)QORSysVSemHelper::signal(w->semId, w->resSemNum, 1);
    }
    char c;
    qor_test_read_full(quit, &c, 1, 30000);
    return pool.shutdown() == qor_s_ok ? 0 : 5;
}

} // namespace

TEST_F(QORChannelFaultTest, MisbehavingServerEndsInStatuses)
{
    int ready[2], quit[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(quit), 0);
    std::string path = m_path.c_str();
    pid_t server = qor_test_spawn([&] {
        return misbehavingServer(path.c_str(), ready[1], quit[0]);
    });
    ASSERT_GT(server, 0);
    int32_t ok = 0;
    ASSERT_TRUE(qor_test_read_full(ready[0], &ok, 4));
    close(ready[0]);
    close(ready[1]);
    initDispatcher(nullptr);
    int32_t value = 100;
    for (const Misdeed& c : kMisdeeds) {
        SCOPED_TRACE(c.what);
        QORTestIntOutcome o = qor_test_ask(m_dispatcher, ++value);
        EXPECT_EQ(o.st, c.st);
        EXPECT_FALSE(o.retry);
        EXPECT_EQ(o.type, c.answerType);
        if (c.answerType == kAnswerType) {
            EXPECT_EQ(o.value, value + 1);
        }
    }
    qor_test_write_full(quit[1], "q", 1);
    close(quit[0]);
    close(quit[1]);
    EXPECT_EQ(qor_test_reap(server), 0);
}
