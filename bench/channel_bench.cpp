// channel_bench: what one question and answer cost on the shared-memory
// channel to the server, against the floor any such channel pays: two
// processes handing a token back and forth through a pair of SysV
// semaphores. Also the rate the channel sustains when 8 client threads share
// 4 workers, against one thread. The servers are real processes; every IPC
// object is removed at the end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <signal.h>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "proxyif/framework/qorproxyifmsgfactory.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/server/qorsrvworkerpool.h"
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

// An answer of one 4-byte element.
class OneElementAnswer : public QORProxyIFMessage {
public:
    void deleteMe() override { delete this; }
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

class OneElementFactory : public QORProxyIFMsgFactory {
public:
    int getType() override { return kAnswerType; }
    QORStatus createMsg(QORProxyIFMessage** out) override
    {
        *out = new OneElementAnswer;
        return qor_s_ok;
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

QORTestIPCPath* g_onePath;
QORTestIPCPath* g_fourPath;
QORProxyIFDispatcher g_oneWorker;
QORProxyIFDispatcher g_fourWorkers;

// The floor: one round trip between two processes through two semaphores.
void BM_BareSemaphorePingPong(benchmark::State& state)
{
    int semId = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
    if (semId == -1) {
        state.SkipWithError("semget failed");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        sembuf take = {0, -1, 0}, give = {1, 1, 0};
        // Ends when the set is removed under it.
        while (semop(semId, &take, 1) == 0 && semop(semId, &give, 1) == 0) {
        }
        _exit(0);
    }
    qor_test_register_child(child);
    sembuf give = {0, 1, 0}, take = {1, -1, 0};
    for (auto _ : state) {
        semop(semId, &give, 1);
        semop(semId, &take, 1);
    }
    semctl(semId, 0, IPC_RMID);
    int status;
    waitpid(child, &status, 0);
    qor_test_unregister_child(child);
}

void dispatchLoop(benchmark::State& state, QORProxyIFDispatcher& d)
{
    EmptyQuestion question;
    for (auto _ : state) {
        QORProxyIFMessage* answer = nullptr;
        bool retry = false;
        QORStatus st = d.dispatch(question, &answer, nullptr, &retry);
        if (st != qor_s_ok || answer == nullptr) {
            state.SkipWithError("dispatch failed");
            break;
        }
        answer->deleteMe();
    }
    state.SetItemsProcessed(state.iterations());
}

// One thread, one worker: an empty question, a one-element answer.
void BM_DispatchRoundTrip(benchmark::State& state)
{
    dispatchLoop(state, g_oneWorker);
}

// Threads sharing 4 workers.
void BM_DispatchFourWorkers(benchmark::State& state)
{
    dispatchLoop(state, g_fourWorkers);
}

// Keeps the real time per iteration and the rate of each benchmark (the
// median when repetitions are asked for), for the comparison at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    explicit RecordingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred)
                continue;
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            std::string name = r.run_name.str();
            if (median || (r.run_type == Run::RT_Iteration && !medians.count(name))) {
                seconds[name] = r.GetAdjustedRealTime() * 1e-9;
                auto rate = r.counters.find("items_per_second");
                rates[name] = rate != r.counters.end() ? (double)rate->second : 0;
                if (median)
                    medians.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
    std::map<std::string, double> rates;
    std::set<std::string> medians;
};

BENCHMARK(BM_BareSemaphorePingPong)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_DispatchRoundTrip)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_DispatchFourWorkers)->UseRealTime()->Threads(1)->Threads(8)->MinTime(1.0);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    qor_test_watchdog(600);
    qor_test_cleanup_on_signals();
    QORTestIPCPath onePath("bench1"), fourPath("bench4");
    g_onePath = &onePath;
    g_fourPath = &fourPath;
    ServerProcess one, four;
    int rc = 1;
    if (one.start(onePath.c_str(), 1) && four.start(fourPath.c_str(), 4) &&
        g_oneWorker.initialize(nullptr, onePath.c_str()) == qor_s_ok &&
        g_oneWorker.registerProxyMsgFactory(new OneElementFactory) == qor_s_ok &&
        g_fourWorkers.initialize(nullptr, fourPath.c_str()) == qor_s_ok &&
        g_fourWorkers.registerProxyMsgFactory(new OneElementFactory) == qor_s_ok) {
        RecordingReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        rc = 0;
        double bare = reporter.seconds["BM_BareSemaphorePingPong/min_time:1.000/real_time"];
        double trip = reporter.seconds["BM_DispatchRoundTrip/min_time:1.000/real_time"];
        double r1 = reporter.rates["BM_DispatchFourWorkers/min_time:1.000/real_time/threads:1"];
        double r8 = reporter.rates["BM_DispatchFourWorkers/min_time:1.000/real_time/threads:8"];
        if (bare > 0 && trip > 0)
            printf("dispatch round trip / bare semaphore round trip: %.2f "
                   "(%.1f us / %.1f us)\n", trip / bare, trip * 1e6, bare * 1e6);
        if (r1 > 0 && r8 > 0)
            printf("4 workers: %.0f dispatches/s with 8 threads, %.0f with 1 "
                   "(%.2fx)\n", r8, r1, r8 / r1);
    } else {
        fprintf(stderr, "channel_bench: could not set up the servers\n");
    }
    g_oneWorker.shutdown();
    g_fourWorkers.shutdown();
    one.stop();
    four.stop();
    printf("pool objects left: %d\n",
           onePath.countPoolObjects() + fourPath.countPoolObjects());
    qor_test_watchdog(0);
    return rc;
}
