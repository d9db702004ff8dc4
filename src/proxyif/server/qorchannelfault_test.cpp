// Faults across processes on the channel between plug-in and server: a
// server killed and restarted under load, a client killed holding the pool
// lock, a worker reset or cleaned by the server, and a server that writes
// nonsense into the worker buffer. Every process is real (fork); the
// parent bounds every wait, and the watchdog removes every object if
// something still hangs.
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qortestlog.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/ipc/qorworkerbuffer.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestdir.h"
#include "qortestintmessages.h"

namespace {

const int kAnswerType = qor_msg_urc_version_answer;
const int kHoldValue = -1;       // the server holds the worker
const unsigned kBufferSize = 1024;
const int kChildSeconds = 90;    // no child outlives this

bool readFull(int fd, void* buf, size_t n, int timeoutMs)
{
    char* p = static_cast<char*>(buf);
    while (n > 0) {
        pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t got = read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= (size_t)got;
    }
    return true;
}

bool writeFull(int fd, const void* buf, size_t n)
{
    return write(fd, buf, n) == (ssize_t)n;
}

// Runs body in a child process that ends with its result; the child kills
// itself (SIGALRM) after kChildSeconds.
pid_t spawn(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGALRM, SIG_DFL);
        alarm(kChildSeconds);
        _exit(body());
    }
    if (pid > 0)
        qor_test_register_child(pid);
    return pid;
}

// The child's exit status, 128 + signal when it was killed, or -1 when it
// did not end within timeoutMs (it is killed then).
int reap(pid_t pid, int timeoutMs)
{
    int status = 0;
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            qor_test_unregister_child(pid);
            return -1;
        }
        usleep(10000);
    }
    qor_test_unregister_child(pid);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

struct Command {
    char op;
    int32_t arg;
};

// A server process that answers with QORTestEchoHandler and obeys the parent's
// commands: 'r' reset, 'c' clean, 'f' free, 'a' answers of a worker,
// 's' state of a worker, 'R' reclaim workers,
// 'h' whether the handler holds a worker, 'e' release it, 'q' shut down
// and end.
class ServerProcess {
public:
    ~ServerProcess() { stop(); }

    bool start(const char* path, int workers,
               unsigned reclaimMs = QORSrvWorkerPool::kReclaimMs)
    {
        int cmd[2], reply[2];
        if (pipe(cmd) != 0 || pipe(reply) != 0)
            return false;
        std::string name = path;
        m_pid = spawn([=] {
            close(cmd[1]);
            close(reply[0]);
            return serve(name.c_str(), workers, reclaimMs, cmd[0], reply[1]);
        });
        close(cmd[0]);
        close(reply[1]);
        m_cmd = cmd[1];
        m_reply = reply[0];
        int32_t ready = 0;
        return m_pid > 0 && readFull(m_reply, &ready, 4, 20000) && ready == 1;
    }
    int32_t call(char op, int32_t arg = 0)
    {
        Command c = {op, arg};
        int32_t r = -999;
        if (!writeFull(m_cmd, &c, sizeof c) || !readFull(m_reply, &r, 4, 20000))
            return -999;
        return r;
    }
    // Ends the server as a crash would: nothing is removed.
    void kill9()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            reap(m_pid, 20000);
            m_pid = -1;
        }
        closeFds();
    }
    // An orderly end; the exit status of the server.
    int stop()
    {
        int rc = 0;
        if (m_pid > 0) {
            call('q');
            rc = reap(m_pid, 20000);
            m_pid = -1;
        }
        closeFds();
        return rc;
    }

private:
    static int serve(const char* path, int workers, unsigned reclaimMs, int cmd, int reply)
    {
        QORTestEchoHandler handler;
        QORSrvWorkerPool pool;
        pool.setReclaimInterval(reclaimMs);
        if (pool.start(path, workers, kBufferSize, &handler) != qor_s_ok)
            return 2;
        int32_t ready = 1;
        writeFull(reply, &ready, 4);
        Command c;
        while (readFull(cmd, &c, sizeof c, -1)) {
            int32_t r = 0;
            switch (c.op) {
            case 'r': r = (int32_t)pool.resetWorker(c.arg); break;
            case 'c': r = (int32_t)pool.cleanWorker(c.arg); break;
            case 'f': r = (int32_t)pool.freeWorker(c.arg); break;
            case 'a': r = (int32_t)pool.answered(c.arg); break;
            case 's': r = pool.getState(c.arg); break;
            case 'R': r = pool.reclaimWorkers(); break;
            case 'h': r = handler.held ? 1 : 0; break;
            case 'e': handler.release = true; break;
            case 'q':
                handler.release = true;
                r = (int32_t)pool.shutdown();
                writeFull(reply, &r, 4);
                return r == 0 ? 0 : 3;
            default: r = -1;
            }
            writeFull(reply, &r, 4);
        }
        handler.release = true;
        return pool.shutdown() == qor_s_ok ? 0 : 3;
    }
    void closeFds()
    {
        if (m_cmd >= 0)
            close(m_cmd);
        if (m_reply >= 0)
            close(m_reply);
        m_cmd = m_reply = -1;
    }

    pid_t m_pid = -1;
    int m_cmd = -1;
    int m_reply = -1;
};

class QORChannelFaultTest : public ::testing::Test {
protected:
    void SetUp() override { qor_test_watchdog(240); }
    void TearDown() override
    {
        (void)m_dispatcher.shutdown();
        m_server.stop();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        qor_test_watchdog(0);
    }
    void initDispatcher(QORLog* log, const QORChannelLimits& limits = QORChannelLimits())
    {
        ASSERT_EQ(m_dispatcher.initialize(log, m_path.c_str(), limits), qor_s_ok);
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORTestIntFactory), qor_s_ok);
    }
    // One dispatch of value; the answer's value, or the status.
    QORStatus dispatch(int32_t value, int32_t* answer, bool* retry,
                       int* answerType = nullptr, QORStatus* carried = nullptr)
    {
        QORTestIntMessage q(qor_msg_urc_version_question, value);
        QORProxyIFMessage* a = nullptr;
        QORStatus st = m_dispatcher.dispatch(q, &a, nullptr, retry);
        if (answerType)
            *answerType = a ? a->getType() : -1;
        if (a != nullptr && a->getType() == kAnswerType)
            *answer = static_cast<QORTestIntMessage*>(a)->value();
        if (a != nullptr && a->getType() == 0 && carried)
            *carried = static_cast<QORErrorMessage*>(a)->getStatus();
        if (a != nullptr)
            a->deleteMe();
        return st;
    }

    QORTestIPCPath m_path{"fault"};
    ServerProcess m_server;
    // Outlives the dispatcher, which traces into it until shut down.
    QORTestLog m_log{true};
    QORProxyIFDispatcher m_dispatcher;
};

// Outcomes of the client process's dispatches, in memory shared with the
// parent.
struct LoadStats {
    std::atomic<int32_t> answers;
    std::atomic<int32_t> retries;   // a status with the retry flag
    std::atomic<int32_t> resets;    // status 0, retry flag, no answer
    std::atomic<int32_t> bad;       // anything else
    std::atomic<uint32_t> lastBad;
    std::atomic<int32_t> maxDispatchMs;
    std::atomic<int32_t> stop;
};

int64_t nowMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

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
                QORTestIntMessage q(qor_msg_urc_version_question, seq);
                QORProxyIFMessage* a = nullptr;
                bool retry = false;
                int64_t t0 = nowMs();
                QORStatus st = d.dispatch(q, &a, nullptr, &retry);
                int32_t took = (int32_t)(nowMs() - t0);
                int32_t max = stats->maxDispatchMs;
                while (took > max && !stats->maxDispatchMs.compare_exchange_weak(max, took)) {
                }
                if (st == qor_s_ok && a != nullptr && a->getType() == kAnswerType &&
                    static_cast<QORTestIntMessage*>(a)->value() == seq + 1)
                    ++stats->answers;
                else if (st == qor_s_ok && a == nullptr && retry)
                    ++stats->resets;
                else if (st != qor_s_ok && retry)
                    ++stats->retries;
                else {
                    ++stats->bad;
                    stats->lastBad = st;
                }
                if (a != nullptr)
                    a->deleteMe();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    (void)d.shutdown();
    return stats->bad == 0 ? 0 : 1;
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
    pid_t client = spawn([&] { return loadClient(path.c_str(), stats); });
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
    int rc = reap(client, 30000);
    printf("answers %d, retries %d, resets %d, bad %d, longest dispatch %d ms\n",
           (int)stats->answers, (int)stats->retries, (int)stats->resets,
           (int)stats->bad, (int)stats->maxDispatchMs);
    EXPECT_EQ(rc, 0) << "bad " << stats->bad << " last " << std::hex << stats->lastBad;
    EXPECT_EQ(stats->bad, 0);
    // Threads waiting on the dead server's workers were told to retry.
    EXPECT_GE(stats->retries + stats->resets, 1);
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
    int32_t out = 0;
    bool retry = true;
    ASSERT_EQ(dispatch(1, &out, &retry), qor_s_ok);

    int locked[2];
    ASSERT_EQ(pipe(locked), 0);
    std::string path = m_path.c_str();
    pid_t holder = spawn([&] {
        QORClntWorkerPool pool;
        if (pool.initialize(path.c_str()) != qor_s_ok ||
            pool.lockPoolManager() != qor_s_ok)
            return 1;
        char c = 'L';
        writeFull(locked[1], &c, 1);
        pause();
        return 0;
    });
    ASSERT_GT(holder, 0);
    char c = 0;
    ASSERT_TRUE(readFull(locked[0], &c, 1, 20000));
    close(locked[0]);
    close(locked[1]);
    kill(holder, SIGKILL);
    EXPECT_EQ(reap(holder, 20000), 128 + SIGKILL);

    // The kernel released the semaphore; the header still names the holder.
    QORSysVSharedMem header;
    ASSERT_EQ(header.attach(m_path.c_str(), 'p'), qor_s_ok);
    const char* h = static_cast<const char*>(header.getBaseAddress());
    int32_t held, pid;
    memcpy(&held, h + 80, 4);
    memcpy(&pid, h + 84, 4);
    EXPECT_EQ(held, 1);
    EXPECT_EQ(pid, holder);

    ASSERT_EQ(dispatch(2, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 3);
    EXPECT_FALSE(retry);
    bool abandoned = false;
    for (const std::string& t : m_log.texts())
        abandoned |= t.find("*** Pool lock abandoned ***\n") != std::string::npos;
    EXPECT_TRUE(abandoned);
    memcpy(&held, h + 80, 4);
    EXPECT_EQ(held, 0);
    ASSERT_EQ(dispatch(3, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 4);
    (void)header.detach();
}

TEST_F(QORChannelFaultTest, ResetWorkerMeansRetryAndCleanedWorkerIsNeverTaken)
{
    ASSERT_TRUE(m_server.start(m_path.c_str(), 2));
    initDispatcher(nullptr);
    QORStatus st = 1;
    bool retry = false;
    int type = 0;
    std::thread asker([&] {
        int32_t out;
        st = dispatch(kHoldValue, &out, &retry, &type);
    });
    EXPECT_TRUE(qor_test_wait_until([&] { return m_server.call('h') == 1; }));
    // Nothing else runs: the held question is on the first worker.
    EXPECT_EQ(m_server.call('s', 0), qor_worker_taken);
    EXPECT_EQ(m_server.call('r', 0), 0);
    asker.join();
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_TRUE(retry);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(m_server.call('s', 0), qor_worker_free);
    m_server.call('e');

    int32_t out = 0;
    ASSERT_EQ(dispatch(5, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 6);
    EXPECT_FALSE(retry);
    // The held question's answer was dropped: one answer on worker 0.
    EXPECT_EQ(m_server.call('a', 0), 1);

    EXPECT_EQ(m_server.call('c', 0), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(dispatch(i, &out, &retry), qor_s_ok);
        EXPECT_EQ(out, i + 1);
    }
    EXPECT_EQ(m_server.call('a', 0), 1);
    EXPECT_EQ(m_server.call('a', 1), 20);
    EXPECT_EQ(m_server.call('s', 0), qor_worker_cleaned);
}

TEST_F(QORChannelFaultTest, WorkersOfDeadHoldersAreReclaimed)
{
    // No periodic reclaim: the pool stays full of dead holders until asked.
    ASSERT_TRUE(m_server.start(m_path.c_str(), 2, 0));
    std::string path = m_path.c_str();
    pid_t holders[2];
    for (pid_t& holder : holders) {
        int taken[2];
        ASSERT_EQ(pipe(taken), 0);
        holder = spawn([&] {
            QORProxyIFDispatcher d;  // for the buffers' allocator
            QORClntWorkerPool pool;
            QORClntWorkerBuffer* b = nullptr;
            if (d.initialize(nullptr, path.c_str()) != qor_s_ok ||
                pool.initialize(path.c_str()) != qor_s_ok || pool.getFreeWorker(&b) != qor_s_ok)
                return 1;
            int32_t worker = b->getWorkerNum();
            writeFull(taken[1], &worker, 4);
            pause();
            return 0;
        });
        ASSERT_GT(holder, 0);
        int32_t worker = -1;
        ASSERT_TRUE(readFull(taken[0], &worker, 4, 20000));
        close(taken[0]);
        close(taken[1]);
    }
    // While they live, nothing is reclaimed.
    EXPECT_EQ(m_server.call('R'), 0);
    for (pid_t holder : holders) {
        kill(holder, SIGKILL);
        EXPECT_EQ(reap(holder, 20000), 128 + SIGKILL);
    }
    EXPECT_EQ(m_server.call('s', 0), qor_worker_taken);
    EXPECT_EQ(m_server.call('s', 1), qor_worker_taken);

    // A plug-in meeting a pool of dead holders gives up within its limit.
    QORChannelLimits limits;
    limits.answerWaitSeconds = 1;
    initDispatcher(nullptr, limits);
    int32_t out = 0;
    bool retry = true;
    EXPECT_EQ(dispatch(1, &out, &retry), qor_s_ipc_no_free_worker);
    EXPECT_FALSE(retry);

    EXPECT_EQ(m_server.call('R'), 2);
    for (int32_t v = 10; v < 12; ++v) {
        ASSERT_EQ(dispatch(v, &out, &retry), qor_s_ok);
        EXPECT_EQ(out, v + 1);
    }
}

// A web-server process serving one request at a time (no other thread to
// refresh for it) waits for a free worker while the server is killed and
// started again: its request is sent again to the new server's pool.
TEST_F(QORChannelFaultTest, WaiterForAWorkerMovesToTheRestartedServer)
{
    ASSERT_TRUE(m_server.start(m_path.c_str(), 1));
    std::string path = m_path.c_str();
    int taken[2];
    ASSERT_EQ(pipe(taken), 0);
    pid_t holder = spawn([&] {
        QORProxyIFDispatcher d;  // for the buffers' allocator
        QORClntWorkerPool pool;
        QORClntWorkerBuffer* b = nullptr;
        if (d.initialize(nullptr, path.c_str()) != qor_s_ok ||
            pool.initialize(path.c_str()) != qor_s_ok || pool.getFreeWorker(&b) != qor_s_ok)
            return 1;
        writeFull(taken[1], "t", 1);
        pause();
        return 0;
    });
    ASSERT_GT(holder, 0);
    char byte = 0;
    ASSERT_TRUE(readFull(taken[0], &byte, 1, 20000));
    close(taken[0]);
    close(taken[1]);

    // The web-server process: a question while the only worker is held,
    // then one more; it reports the status, the retry flag and the answer
    // of each. (A process, not a thread: nothing forks beside a thread.)
    int results[2];
    ASSERT_EQ(pipe(results), 0);
    // It runs on one CPU only when nothing else there can: woken by the
    // removal of the old objects, it mostly looks again only after the new
    // server (on that CPU too) has made all of its own, the case that went
    // wrong.
    cpu_set_t mine, cpu0;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    CPU_ZERO(&cpu0);
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &mine)) {
            CPU_SET(c, &cpu0);
            break;
        }
    }
    pid_t web = spawn([&] {
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
            QORTestIntMessage q(qor_msg_urc_version_question, v);
            QORProxyIFMessage* a = nullptr;
            bool retry = false;
            int32_t report[3] = {(int32_t)d.dispatch(q, &a, nullptr, &retry), retry, 0};
            if (a != nullptr && a->getType() == kAnswerType)
                report[2] = static_cast<QORTestIntMessage*>(a)->value();
            if (a != nullptr)
                a->deleteMe();
            writeFull(results[1], report, sizeof report);
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
    EXPECT_TRUE(readFull(results[0], first, sizeof first, 60000));
    EXPECT_TRUE(readFull(results[0], second, sizeof second, 60000));
    close(results[0]);
    close(results[1]);
    EXPECT_EQ(first[0], (int32_t)qor_s_ipc_removed);
    EXPECT_EQ(first[1], 1) << "the first question is to be sent again";
    EXPECT_EQ(second[0], (int32_t)qor_s_ok);
    EXPECT_EQ(second[2], 3);
    EXPECT_EQ(reap(web, 20000), 0);
    kill(holder, SIGKILL);
    EXPECT_EQ(reap(holder, 20000), 128 + SIGKILL);
}

namespace {

// What the misbehaving server does with each question, in order.
enum Misdeed {
    kGood,
    kResultStartPastEnd,
    kResultLengthPastEnd,
    kResultStartInHeader,
    kResultStartUnaligned,
    kElementTooLong,
    kLinkBackwards,
    kWrongWorkerNumber,
    kUnknownType,
    kErrorAnswer,
    kNoElement,
    kMisdeeds,
};

void putElement(char* at, uint32_t length, uint32_t next, int32_t value)
{
    memcpy(at, &length, 4);
    memcpy(at + 4, &next, 4);
    memcpy(at + 8, &value, 4);
}

// A one-worker server without worker threads, answering by hand. It
// removes its objects once the parent has read the last answer.
int misbehavingServer(const char* path, int reply, int quit)
{
    QORSrvWorkerPool pool;
    if (pool.start(path, 1, kBufferSize, nullptr) != qor_s_ok)
        return 2;
    int32_t ready = 1;
    writeFull(reply, &ready, 4);
    worker_info volatile* w = nullptr;
    EXPECT_EQ(qor_s_ok, pool.getWorkerInfo(0, &w));
    QORWorkerBuffer b;
    if (b.initialize(w, pool.getWorkerShm()) != qor_s_ok)
        return 3;
    char* base = static_cast<char*>(pool.getWorkerShm().getBaseAddress());
    const int32_t end = (int32_t)b.bufferEnd();
    for (int deed = 0; deed < kMisdeeds + 1; ++deed) {
        if (QORSysVSemHelper::wait(w->semId, w->reqSemNum, 1) != qor_s_ok)
            return 4;
        int32_t start = b.getHeaderField(offsetof(QORWorkerBufferHeader, requestStart));
        int32_t value;
        memcpy(&value, base + start + 8, 4);
        int32_t at = b.getHeaderField(offsetof(QORWorkerBufferHeader, resultStart));
        int32_t type = kAnswerType, length = 12;
        b.setHeaderField(offsetof(QORWorkerBufferHeader, workerNum), 0);
        putElement(base + at, 4, 0xFFFFFFFFu, value + 1);
        switch (deed == kMisdeeds ? kGood : (Misdeed)deed) {
        case kGood: break;
        case kResultStartPastEnd: at = end + 64; break;
        case kResultLengthPastEnd: length = end - at + 4; break;
        case kResultStartInHeader: at = 8; break;
        case kResultStartUnaligned: at += 2; break;
        case kElementTooLong: putElement(base + at, 5000, 0xFFFFFFFFu, 0); break;
        case kLinkBackwards:
            putElement(base + at, 4, (uint32_t)at, value + 1);
            putElement(base + at + 12, 4, 0xFFFFFFFFu, value + 1);
            length = 24;
            break;
        case kWrongWorkerNumber:
            b.setHeaderField(offsetof(QORWorkerBufferHeader, workerNum), 5);
            break;
        case kUnknownType: type = 42; break;
        case kErrorAnswer:
            type = 0;
            putElement(base + at, 4, 0xFFFFFFFFu, 0x35f02099);
            break;
        case kNoElement: length = 0; break;
        case kMisdeeds: break;
        }
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultType), type);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), length);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultStart), at);
        (void)QORSysVSemHelper::signal(w->semId, w->resSemNum, 1);
    }
    char c;
    readFull(quit, &c, 1, 30000);
    return pool.shutdown() == qor_s_ok ? 0 : 5;
}

} // namespace

TEST_F(QORChannelFaultTest, MisbehavingServerEndsInStatuses)
{
    int ready[2], quit[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(quit), 0);
    std::string path = m_path.c_str();
    pid_t server = spawn([&] {
        return misbehavingServer(path.c_str(), ready[1], quit[0]);
    });
    ASSERT_GT(server, 0);
    int32_t ok = 0;
    ASSERT_TRUE(readFull(ready[0], &ok, 4, 20000));
    close(ready[0]);
    close(ready[1]);
    initDispatcher(nullptr);

    const struct {
        Misdeed deed;
        QORStatus st;
        int answerType;
    } cases[] = {
        {kGood, qor_s_ok, kAnswerType},
        {kResultStartPastEnd, qor_s_ipc_bad_parameter, -1},
        {kResultLengthPastEnd, qor_s_ipc_bad_parameter, -1},
        {kResultStartInHeader, qor_s_ipc_bad_parameter, -1},
        {kResultStartUnaligned, qor_s_ipc_bad_parameter, -1},
        {kElementTooLong, 0x35f02207, -1},
        {kLinkBackwards, 0x35f02207, -1},
        {kWrongWorkerNumber, qor_s_ipc_bad_worker_buffer, -1},
        {kUnknownType, qor_s_pif_no_factory, -1},
        {kErrorAnswer, qor_s_ok, 0},
        {kNoElement, qor_s_msg_unmarshal_failed, -1},
        {kMisdeeds, qor_s_ok, kAnswerType},
    };
    for (const auto& c : cases) {
        int32_t out = -7;
        bool retry = true;
        int type = -2;
        QORStatus carried = 0;
        QORStatus st = dispatch(100 + c.deed, &out, &retry, &type, &carried);
        EXPECT_EQ(st, c.st) << "deed " << c.deed;
        EXPECT_FALSE(retry) << "deed " << c.deed;
        EXPECT_EQ(type, c.answerType) << "deed " << c.deed;
        if (c.answerType == kAnswerType) {
            EXPECT_EQ(out, 101 + c.deed);
        }
        if (c.answerType == 0) {
            EXPECT_EQ(carried, 0x35f02099u);
        }
    }
    writeFull(quit[1], "q", 1);
    close(quit[0]);
    close(quit[1]);
    EXPECT_EQ(reap(server, 20000), 0);
}
