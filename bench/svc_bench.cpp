// svc_bench: what a serviceability debug record costs when its level drops
// it (the common case on the request path) and when it is written to a
// text-file route, next to an empty out-of-line call for scale.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/svc/qorsvcroute.h"

namespace {

__attribute__((noinline)) void emptyCall(int level, const char* format, ...)
{
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(format);
}

void BM_EmptyVariadicCall(benchmark::State& state)
{
    for (auto _ : state)
        emptyCall(3, "request %s took %d ms", "/index.html", 12);
}
BENCHMARK(BM_EmptyVariadicCall);

void BM_DebugDropped_Call(benchmark::State& state)
{
    QORStatus st;
    dx_svc_debug_set_levels_nocb("pic:HTTP Parser.2", &st);
    for (auto _ : state)
        dx_svc__debug_withfile(dx_svc_pic_handle, __FILE__, __LINE__,
                               qor_svc_http_parser, 3,
                               "request %s took %d ms", "/index.html", 12);
    dx_svc_shutdown();
}
BENCHMARK(BM_DebugDropped_Call);

void BM_DebugDropped_InlineCheck(benchmark::State& state)
{
    QORStatus st;
    dx_svc_debug_set_levels_nocb("pic:HTTP Parser.2", &st);
    for (auto _ : state)
        DX_SVC_DEBUG(dx_svc_pic_handle, qor_svc_http_parser, 3,
                     "request %s took %d ms", "/index.html", 12);
    dx_svc_shutdown();
}
BENCHMARK(BM_DebugDropped_InlineCheck);

// One record per iteration to a fresh text file (flushed per record, as
// the route does), prefix and formatting included.
void BM_DebugToTextFile(benchmark::State& state)
{
    char dir[] = "/tmp/svcbenchXXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string log = std::string(dir) + "/bench.log";
    QORStatus st;
    dx_svc_debug_routing(("pic:TEXTFILE:" + log).c_str(), &st);
    dx_svc_debug_set_levels_nocb("pic:HTTP Parser.9", &st);
    for (auto _ : state)
        dx_svc__debug_withfile(dx_svc_pic_handle, __FILE__, __LINE__,
                               qor_svc_http_parser, 3,
                               "request %s took %d ms", "/index.html", 12);
    dx_svc_shutdown();
    unlink(log.c_str());
    rmdir(dir);
}
BENCHMARK(BM_DebugToTextFile);

void BM_MessageToTextFile(benchmark::State& state)
{
    char dir[] = "/tmp/svcbenchXXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string log = std::string(dir) + "/bench.log";
    QORStatus st;
    dx_svc_routing(("ERROR:TEXTFILE:" + log).c_str(), &st);
    for (auto _ : state)
        dx_svc_printf_withfile(dx_svc_pic_handle, __FILE__, __LINE__,
                               "%s%s%d", qor_svc_common, dx_svc_c_sev_error,
                               0x35f02037, "open", "No such file", 2);
    dx_svc_shutdown();
    unlink(log.c_str());
    rmdir(dir);
}
BENCHMARK(BM_MessageToTextFile);

} // namespace

BENCHMARK_MAIN();
