// core_bench: QORCore::handleReq answered by a test authorization server in
// another process, against a bare two-process semaphore ping-pong measured
// in the same rounds (the floor of any exchange with the server), free and
// pinned to one CPU; and handleReq decided by the unprotected resource
// cache: its cost on one thread and the throughput of two threads at once
// against one. Each figure of a round is the best of a few short chunks
// (testsupport/qorbenchrounds.h).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "plugin/core/qorcore.h"
#include "qorbenchrounds.h"
#include "qortestauthserver.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

namespace {

const int kRounds = 7;

QORTestAuthScript benchScript()
{
    QORTestAuthScript s = qor_test_auth_script("www", "/web", {{"GET", "r"}});
    // /web/a/b/c/d.gif is four levels deep; its parent is in the database.
    s.branches = {{"/web", {{"/web/a/b/c", "*"}, {"/web/x", "r"}, {"/web/y", "[Audit]g"}}}};
    s.headers = {{true, true, "X-Checked", "yes"}, {false, true, "X-User", "alice"}};
    return s;
}

// n requests for uri, each of which must end in expected.
bool handle(QORCore& core, const char* uri, qor_proxy_rsp_code_e expected, long n)
{
    QORTestTransaction trans;
    trans.calls().setRecording(false);
    trans.addServer("www");
    trans.request().uri = uri;
    for (long i = 0; i < n; i++) {
        trans.request().headers.clear();
        trans.response().headers.clear();
        if (core.handleReq(&trans) != qor_s_ok || trans.getResult() != expected)
            return false;
    }
    return true;
}

bool run(QORCore& core, QORTestAuthServer& server)
{
    QORBenchOp answered = [&](long n) {
        return handle(core, "/private/report.html", qor_continue, n);
    };
    if (!qor_bench_ratio_rounds("handleReq answered by the server", answered, {server.pid()},
                                kRounds))
        return false;

    QORBenchOp cached = [&](long n) {
        return handle(core, "/a/b/c/d.gif", qor_continue_uninteresting, n);
    };
    long n = qor_bench_calibrate(cached, 100);
    if (n == 0)
        return false;
    std::vector<double> ns, ratios;
    for (int r = 0; r < kRounds; r++) {
        // Many short chunks: two threads are measured only when both got
        // a CPU at once, which on a busy machine few chunks see.
        double one = qor_bench_best_rate(cached, n, 1, 40);
        double two = qor_bench_best_rate(cached, n, 2, 40);
        if (one <= 0 || two <= 0)
            return false;
        ns.push_back(1e9 / one);
        ratios.push_back(two / one);
    }
    qor_bench_print("handleReq decided by the cache, 1 thread", ns, " ns");
    qor_bench_print("handleReq decided by the cache, 2 threads / 1 thread throughput", ratios,
                    "x");
    return true;
}

} // namespace

// With "--profile n server|cache": n requests of that kind and no timing,
// for counting instructions under a profiler.
int main(int argc, char** argv)
{
    long profile = argc == 4 && std::string(argv[1]) == "--profile" ? atol(argv[2]) : 0;
    bool profileCache = profile > 0 && std::string(argv[3]) == "cache";
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/core-bench-"
                      + std::to_string(getpid());
    QORTestAuthServer server(dir, benchScript());
    if (server.start() != qor_s_ok) {
        fprintf(stderr, "core_bench: the test authorization server did not start\n");
        return 1;
    }
    QORTestLog log;
    QORCore core("core_bench");
    bool ok = core.initialize(server.name(), &log) == qor_s_ok;
    if (ok && profile > 0)
        ok = profileCache ? handle(core, "/a/b/c/d.gif", qor_continue_uninteresting, profile)
                          : handle(core, "/private/report.html", qor_continue, profile);
    else if (ok)
        ok = run(core, server);
    if (!ok)
        fprintf(stderr, "core_bench: a request failed\n");
    core.shutdown();
    return ok ? 0 : 1;
}
