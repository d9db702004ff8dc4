// core_bench: QORCore::handleReq decided by the unprotected resource cache
// (one and two threads), and answered by a test authorization server in
// another process, next to a bare two-process semaphore ping-pong measured
// in the same run, which is the floor of any exchange with the server.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "plugin/core/qorcore.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "qortestauthserver.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

namespace {

std::string g_dir;
QORTestAuthServer* g_server = nullptr;
QORCore* g_core = nullptr;
QORTestLog* g_log = nullptr;

QORTestAuthScript benchScript()
{
    QORTestAuthScript s = qor_test_auth_script("www", "/web", {{"GET", "r"}});
    // /web/a/b/c/d.gif is four levels deep; its parent is in the database.
    s.branches = {{"/web", {{"/web/a/b/c", "*"}, {"/web/x", "r"}, {"/web/y", "[Audit]g"}}}};
    s.headers = {{true, true, "X-Checked", "yes"}, {false, true, "X-User", "alice"}};
    return s;
}

void handle(benchmark::State& state, const char* uri, qor_proxy_rsp_code_e expected)
{
    QORTestTransaction trans;
    trans.calls().setRecording(false);
    trans.addServer("www");
    trans.request().uri = uri;
    for (auto _ : state) {
        trans.request().headers.clear();
        trans.response().headers.clear();
        QORStatus st = g_core->handleReq(&trans);
        if (st != qor_s_ok || trans.getResult() != expected) {
            state.SkipWithError("wrong decision");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HandleReqDecidedByCache(benchmark::State& state)
{
    handle(state, "/a/b/c/d.gif", qor_continue_uninteresting);
}
BENCHMARK(BM_HandleReqDecidedByCache)->Threads(1)->Threads(2)->UseRealTime();

void BM_HandleReqAnsweredByServer(benchmark::State& state)
{
    handle(state, "/private/report.html", qor_continue);
}
BENCHMARK(BM_HandleReqAnsweredByServer)->UseRealTime();

// One question and one answer: post the other process's semaphore, wait
// for it to post ours.
void BM_TwoProcessSemaphorePingPong(benchmark::State& state)
{
    int sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
    if (sem < 0) {
        state.SkipWithError("semget failed");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct sembuf wait = {0, -1, 0}, post = {1, 1, 0};
        while (semop(sem, &wait, 1) == 0 && semop(sem, &post, 1) == 0) {
        }
        _exit(0);
    }
    struct sembuf post = {0, 1, 0}, wait = {1, -1, 0};
    for (auto _ : state) {
        if (semop(sem, &post, 1) != 0 || semop(sem, &wait, 1) != 0) {
            state.SkipWithError("semop failed");
            break;
        }
    }
    semctl(sem, 0, IPC_RMID);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoProcessSemaphorePingPong)->UseRealTime();

bool setUp()
{
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    g_dir = std::string(base && *base ? base : "/tmp") + "/core-bench-"
            + std::to_string(getpid());
    g_server = new QORTestAuthServer(g_dir, benchScript());
    if (g_server->start() != qor_s_ok)
        return false;
    g_log = new QORTestLog();
    g_core = new QORCore("core_bench");
    return g_core->initialize(g_server->name(), g_log) == qor_s_ok;
}

void tearDown()
{
    if (g_core) {
        g_core->shutdown();
        delete g_core;
    }
    delete g_server;
    delete g_log;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bool ready = setUp();
    if (ready)
        benchmark::RunSpecifiedBenchmarks();
    else
        fprintf(stderr, "core_bench: the test authorization server did not start\n");
    tearDown();
    benchmark::Shutdown();
    return ready ? 0 : 1;
}
