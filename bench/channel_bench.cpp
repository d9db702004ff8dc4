// channel_bench: what one question and answer cost on the shared-memory
// channel to the server, against the floor any such channel pays: two
// processes handing a token back and forth through a pair of SysV
// semaphores, measured in the same rounds, free and pinned to one CPU. Also
// the rate the channel sustains when 8 client threads share 4 workers,
// against one thread. Then the rate with answers watched for before
// sleeping against sleeping at once, in every placement: alone, 8 threads
// on 4 workers, and beside a process that keeps a CPU busy, where the same
// comparison with both sides sleeping shows how far rounds scatter. And the floor
// of the channel's own design: a dispatch's system calls made bare. The
// servers are real processes; every IPC object is removed at the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "msg/core/qormsgclassallocator.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "proxyif/framework/qorproxyifmsgfactory.h"
#include "proxyif/ipc/qoranswerwait.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qorbenchrounds.h"
#include "qoripctesting.h"

namespace {

const int kQuestionType = 6;
const int kAnswerType = 7;

// A question without elements.
class EmptyQuestion : public QORProxyIFMessage {
public:
    void deleteMe() override {}
    QORStatus unmarshal(QORSharedMemIterator&, void*) override { return qor_s_ok; }
    QORStatus marshal(QORSharedMemAllocator&) override { return qor_s_ok; }
    int getType() const override { return kQuestionType; }
};

// An answer of one 4-byte element, from a class allocator as the plug-in's
// answers are.
class OneElementAnswer : public QORProxyIFMessage,
                         public QORMsgClassAllocated<OneElementAnswer> {
public:
    static constexpr unsigned kMemoryType = 0x35f02f96;
    void deleteMe() override { qor_delete(this); }
    QORStatus unmarshal(QORSharedMemIterator& it, void*) override
    {
        unsigned len = 0;
        void* data = nullptr;
        QORStatus st = it.getNextElement(&len, &data);
        if (st == qor_s_ok && len == 4)
            memcpy(&value, data, 4);
        return st;
    }
    QORStatus marshal(QORSharedMemAllocator&) override { return qor_s_ok; }
    int getType() const override { return kAnswerType; }
    int32_t value = 0;
};

} // namespace

QOR_MSG_CLASS_ALLOCATOR(OneElementAnswer)

namespace {

class OneElementFactory : public QORProxyIFMsgFactory {
public:
    int getType() override { return kAnswerType; }
    QORStatus createMsg(QORProxyIFMessage** out) override
    {
        *out = OneElementAnswer::create();
        return *out != nullptr ? qor_s_ok : qor_s_no_memory;
    }
};

class OneElementHandler : public QORSrvQuestionHandler {
public:
    QORStatus handle(int, QORSharedMemIterator&, QORSharedMemAllocator& answer,
                     int* answerType) override
    {
        void* data;
        QORStatus st = answer.allocate(4, &data);
        if (st == qor_s_ok)
            memset(data, 0, 4);
        *answerType = kAnswerType;
        return st;
    }
};

// A server process with its own workers; it removes its objects and ends
// on SIGTERM.
struct ServerProcess {
    pid_t pid = -1;

    bool start(const char* path, int workers)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return false;
        // Blocked before the fork, so that an early SIGTERM waits for sigwait.
        sigset_t term, old;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, &old);
        pid = fork();
        if (pid == 0) {
            // A bench killed midway still has its servers remove their objects.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(ready[0]);
            OneElementHandler handler;
            QORSrvWorkerPool pool;
            char ok = pool.start(path, workers, 4096, &handler) == qor_s_ok;
            if (write(ready[1], &ok, 1) != 1 || !ok)
                _exit(1);
            int sig;
            sigwait(&term, &sig);
            _exit(pool.shutdown() == qor_s_ok ? 0 : 2);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(ready[1]);
        char ok = 0;
        bool started = pid > 0 && read(ready[0], &ok, 1) == 1 && ok;
        close(ready[0]);
        if (pid > 0)
            qor_test_register_child(pid);
        return started;
    }
    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
        qor_test_unregister_child(pid);
        pid = -1;
    }
};

const int kRounds = 7;

// The system calls of one dispatch and nothing else: the ping-pong's child
// answering each post, as a server worker does, and a client making the
// six calls a question makes, with the same operations, flags and set sizes
// (a pool set of lock and count; the ping-pong's set as the worker's request
// and result). What a dispatch costs beyond this is the library's own work.
class BareCalls {
public:
    ~BareCalls() { stop(); }
    bool start()
    {
        m_pool = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
        return m_pool != -1 && semctl(m_pool, 1, SETVAL, 1) == 0 && m_worker.start();
    }
    void stop()
    {
        if (m_pool != -1)
            semctl(m_pool, 0, IPC_RMID);
        m_pool = -1;
        m_worker.stop();
    }
    pid_t pid() const { return m_worker.pid(); }
    bool run(long n)
    {
        // One worker: the capped signal probes up to the largest value.
        const short probe = 32767;
        const int worker = m_worker.semId();
        sembuf take[3] = {{1, -1, SEM_UNDO}, {0, 0, 0}, {0, 1, SEM_UNDO}};
        sembuf unlock = {0, -1, SEM_UNDO};
        sembuf zeroAndPost[2] = {{1, 0, IPC_NOWAIT}, {0, 1, 0}};
        sembuf result = {1, -1, 0};
        sembuf lock[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        sembuf giveBack[4] = {{0, -1, SEM_UNDO}, {1, probe, 0}, {1, (short)-probe, 0},
                              {1, 1, SEM_UNDO}};
        for (long i = 0; i < n; i++) {
            if (semop(m_pool, take, 3) != 0 || semop(m_pool, &unlock, 1) != 0 ||
                semop(worker, zeroAndPost, 2) != 0 || semop(worker, &result, 1) != 0 ||
                semop(m_pool, lock, 2) != 0 || semop(m_pool, giveBack, 4) != 0)
                return false;
        }
        return true;
    }

private:
    int m_pool = -1;
    QORBenchPingPong m_worker;
};

// n dispatches of an empty question, each answered.
bool dispatchLoop(QORProxyIFDispatcher& d, long n)
{
    EmptyQuestion question;
    for (long i = 0; i < n; i++) {
        QORProxyIFMessage* answer = nullptr;
        bool retry = false;
        QORStatus st = d.dispatch(question, &answer, nullptr, &retry);
        if (st != qor_s_ok || answer == nullptr)
            return false;
        answer->deleteMe();
    }
    return true;
}

// A process that keeps one CPU busy until stopped.
struct BusyProcess {
    pid_t pid = -1;
    bool start()
    {
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (volatile unsigned long spin = 0;; spin++) {
            }
        }
        return pid > 0;
    }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// The dispatch rate with watching allowed over the rate without, each
// round measuring both in alternating chunks. With control, both chunks
// sleep: the ratio is then the noise of the placement, what a difference
// between the two ways must stand out from.
bool watchAgainstSleep(const char* label, const QORBenchOp& op, int threads,
                       const std::vector<pid_t>& pids, int cpu, bool control = false)
{
    bool ok = qor_bench_pin(0, cpu);
    for (pid_t p : pids)
        ok = qor_bench_pin(p, cpu) && ok;
    long n = ok ? qor_bench_calibrate(op, 50) : 0;
    std::vector<double> ratios;
    for (int r = 0; n > 0 && r < kRounds; r++) {
        double on = 0, off = 0;
        for (int c = 0; c < qor_bench_chunks; c++) {
            QORAnswerWait::setWatchAllowed(!control);
            double a = qor_bench_rate(op, n / qor_bench_chunks + 1, threads);
            QORAnswerWait::setWatchAllowed(false);
            double b = qor_bench_rate(op, n / qor_bench_chunks + 1, threads);
            if (a <= 0 || b <= 0) {
                n = 0;
                break;
            }
            on = a > on ? a : on;
            off = b > off ? b : off;
        }
        if (n > 0)
            ratios.push_back(on / off);
    }
    QORAnswerWait::setWatchAllowed(true);
    ok = qor_bench_pin(0, -1) && n > 0;
    for (pid_t p : pids)
        ok = qor_bench_pin(p, -1) && ok;
    if (ok)
        qor_bench_print(label, ratios, "x");
    return ok;
}

// The one-CPU goal: a dispatch pinned to one CPU, with its server, costs at
// most 1.15 times the six system calls it makes, run alone on that CPU with
// their own partner process, in the same rounds.
bool oneCPUGoal(const QORBenchOp& trip, pid_t server, const QORBenchOp& bare, pid_t partner)
{
    const double kGoal = 1.15;
    bool ok = true;
    for (pid_t p : {pid_t(0), server, partner})
        ok = qor_bench_pin(p, 0) && ok;
    std::vector<double> ratios, tripUs, bareUs;
    ok = ok && qor_bench_alternate(trip, bare, kRounds, &ratios, &tripUs, &bareUs);
    for (pid_t p : {pid_t(0), server, partner})
        (void)qor_bench_pin(p, -1);  // free again; a failure only leaves the pin
    if (!ok)
        return false;
    double median = qor_bench_median(ratios);
    qor_bench_print("dispatch / its six system calls alone (all on one CPU)", ratios, "x");
    qor_bench_print("  dispatch (all on one CPU)", tripUs, " us");
    qor_bench_print("  six system calls alone (all on one CPU)", bareUs, " us");
    printf("one-CPU goal: dispatch / system calls alone <= %.2fx (within 0.15x): %.2fx, %s\n",
           kGoal, median, median <= kGoal ? "met" : "NOT met");
    fflush(stdout);
    return true;
}

bool run(QORProxyIFDispatcher& oneWorker, pid_t oneServer, QORProxyIFDispatcher& fourWorkers,
         pid_t fourServer)
{
    QORBenchOp trip = [&](long n) { return dispatchLoop(oneWorker, n); };
    if (!qor_bench_ratio_rounds("dispatch round trip", trip, {oneServer}, kRounds))
        return false;
    BareCalls calls;
    QORBenchOp bare = [&](long n) { return calls.run(n); };
    bool bareOk = calls.start() &&
                  qor_bench_ratio_rounds("a dispatch's system calls alone", bare,
                                         {calls.pid()}, kRounds) &&
                  oneCPUGoal(trip, oneServer, bare, calls.pid());
    calls.stop();
    if (!bareOk)
        return false;

    // Threads sharing 4 workers, free and on one CPU.
    QORBenchOp shared = [&](long n) { return dispatchLoop(fourWorkers, n); };
    const int placements[] = {-1, 0};
    for (int cpu : placements) {
        qor_bench_pin(0, cpu);
        qor_bench_pin(fourServer, cpu);
        long n = qor_bench_calibrate(shared, 100);
        if (n == 0)
            return false;
        std::vector<double> ratios, rates;
        for (int r = 0; r < kRounds; r++) {
            double one = qor_bench_best_rate(shared, n, 1, qor_bench_chunks);
            double eight = qor_bench_best_rate(shared, n / 4 + 1, 8, qor_bench_chunks);
            if (one <= 0 || eight <= 0)
                return false;
            ratios.push_back(eight / one);
            rates.push_back(eight / 1000);
        }
        const char* where = cpu < 0 ? "(unpinned)" : "(all on one CPU)";
        printf("4 workers %s:\n", where);
        qor_bench_print("  8 threads / 1 thread dispatch rate", ratios, "x");
        qor_bench_print("  8 threads", rates, "k dispatches/s");
    }
    qor_bench_pin(0, -1);
    qor_bench_pin(fourServer, -1);

    printf("dispatch rate watching for the answer / sleeping at once:\n");
    QORBenchOp trips = [&](long k) { return dispatchLoop(oneWorker, k); };
    if (!watchAgainstSleep("  1 thread (unpinned)", trips, 1, {oneServer}, -1) ||
        !watchAgainstSleep("  1 thread (all on one CPU)", trips, 1, {oneServer}, 0) ||
        !watchAgainstSleep("  8 threads, 4 workers (unpinned)", shared, 8, {fourServer}, -1) ||
        !watchAgainstSleep("  8 threads, 4 workers (all on one CPU)", shared, 8, {fourServer}, 0))
        return false;
    BusyProcess busy;
    if (!busy.start())
        return false;
    bool ok = watchAgainstSleep("  1 thread beside a busy process (unpinned)", trips, 1,
                                {oneServer, busy.pid}, -1) &&
              watchAgainstSleep("  8 threads, 4 workers beside a busy process (unpinned)",
                                shared, 8, {fourServer, busy.pid}, -1) &&
              watchAgainstSleep("  the same, sleeping both times (the noise there)", shared, 8,
                                {fourServer, busy.pid}, -1, true);
    busy.stop();
    return ok;
}

} // namespace

// With "--profile n": n dispatches and no timing, for counting instructions
// under a profiler.
int main(int argc, char** argv)
{
    long profile = argc == 3 && std::string(argv[1]) == "--profile" ? atol(argv[2]) : 0;
    qor_test_watchdog(600);
    qor_test_cleanup_on_signals();
    // A reader that stops early (| head) must not end the run before the
    // semaphore sets it made are removed.
    signal(SIGPIPE, SIG_IGN);
    QORTestIPCPath onePath("bench1"), fourPath("bench4");
    if (OneElementAnswer::addAllocatorRef() != qor_s_ok)
        return 1;
    ServerProcess one, four;
    QORProxyIFDispatcher oneWorker, fourWorkers;
    int rc = 1;
    if (one.start(onePath.c_str(), 1) && four.start(fourPath.c_str(), 4) &&
        oneWorker.initialize(nullptr, onePath.c_str()) == qor_s_ok &&
        oneWorker.registerProxyMsgFactory(new OneElementFactory) == qor_s_ok &&
        fourWorkers.initialize(nullptr, fourPath.c_str()) == qor_s_ok &&
        fourWorkers.registerProxyMsgFactory(new OneElementFactory) == qor_s_ok) {
        if (profile > 0 ? dispatchLoop(oneWorker, profile)
                        : run(oneWorker, one.pid, fourWorkers, four.pid))
            rc = 0;
        else
            fprintf(stderr, "channel_bench: a dispatch failed\n");
    } else {
        fprintf(stderr, "channel_bench: could not set up the servers\n");
    }
    (void)oneWorker.shutdown(); // always 0
    (void)fourWorkers.shutdown();
    one.stop();
    four.stop();
    OneElementAnswer::releaseAllocatorRef();
    printf("pool objects left: %d\n",
           onePath.countPoolObjects() + fourPath.countPoolObjects());
    qor_test_watchdog(0);
    return rc;
}
