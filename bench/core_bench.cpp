// core_bench: QORCore::handleReq answered by a test authorization server in
// another process, against a bare two-process semaphore ping-pong measured
// in the same rounds (the floor of any exchange with the server), free and
// pinned to one CPU; and handleReq decided by the unprotected resource
// cache: its cost on one thread and the throughput of two threads at once
// against one, beside the same ratio for work that shares nothing. Each
// figure of a round is the best of a few short chunks
// (testsupport/qorbenchrounds.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>
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

// Work of the cache's kind (building a path, a hash lookup by name, a
// scan) that shares nothing between threads: what two threads at once can
// reach on this machine in the same rounds. Each thread has its own table.
bool shareNothing(long n)
{
    std::unordered_map<std::string, int> table;
    for (int i = 0; i < 64; i++)
        table["/web/a/b/c/" + std::to_string(i)] = i;
    const char* names[4] = {"/web/a/b/c/17", "/web/a/b/c/d.gif", "/web/x", "/web/a/b/c/63"};
    long found = 0;
    for (long i = 0; i < n; i++) {
        std::string name = names[i & 3];
        auto at = table.find(name);
        found += at == table.end() ? memchr(name.data(), '%', name.size()) == nullptr
                                   : at->second;
    }
    volatile long sink = found;
    (void)sink;
    return true;
}

// The best rates of each op on one thread and on two, over chunks that
// alternate between the ops and the thread counts: this machine's speed
// changes by up to half from one second to the next, and alternating
// chunks see the same changes.
struct QORBestRates {
    double one = 0;
    double two = 0;
};

bool bestRates(const std::vector<QORBenchOp>& ops, const std::vector<long>& n,
               std::vector<QORBestRates>* best)
{
    const int kChunks = 40;
    best->assign(ops.size(), QORBestRates());
    for (int c = 0; c < kChunks; c++) {
        for (size_t i = 0; i < ops.size(); i++) {
            double one = qor_bench_rate(ops[i], n[i] / kChunks + 1, 1);
            double two = qor_bench_rate(ops[i], n[i] / kChunks + 1, 2);
            if (one <= 0 || two <= 0)
                return false;
            QORBestRates& b = (*best)[i];
            b.one = one > b.one ? one : b.one;
            b.two = two > b.two ? two : b.two;
        }
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
    std::vector<QORBenchOp> ops = {cached, shareNothing};
    std::vector<long> n = {qor_bench_calibrate(cached, 100),
                           qor_bench_calibrate(shareNothing, 100)};
    if (n[0] == 0 || n[1] == 0)
        return false;
    std::vector<double> ns, ratios, ceilings;
    for (int r = 0; r < kRounds; r++) {
        // Many short chunks: two threads are measured only when both got
        // a CPU at once, which on a busy machine few chunks see.
        std::vector<QORBestRates> best;
        if (!bestRates(ops, n, &best))
            return false;
        ns.push_back(1e9 / best[0].one);
        ratios.push_back(best[0].two / best[0].one);
        ceilings.push_back(best[1].two / best[1].one);
    }
    qor_bench_print("handleReq decided by the cache, 1 thread", ns, " ns");
    qor_bench_print("handleReq decided by the cache, 2 threads / 1 thread throughput", ratios,
                    "x");
    qor_bench_print("  work sharing nothing, 2 threads / 1 thread (the machine's ceiling)",
                    ceilings, "x");
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
