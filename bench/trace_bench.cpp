// trace_bench: what a trace line costs when its component's level drops it
// (the common case on the request path) and when it is written to a file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/trace/qorfilelog.h"
#include "core/trace/qortrace.h"

namespace {

// The floor: a call the compiler may not inline or drop.
__attribute__((noinline)) void emptyCall(QORTrace* trace, unsigned level,
                                         const char* text)
{
    benchmark::DoNotOptimize(trace);
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(text);
}

void BM_EmptyCall(benchmark::State& state)
{
    QORTrace trace(0, "bench", nullptr);
    for (auto _ : state)
        emptyCall(&trace, 5, "request line");
}
BENCHMARK(BM_EmptyCall);

void BM_TraceDroppedByLevel(benchmark::State& state)
{
    QORLog log(true);
    QORTrace trace(2, "bench", &log);
    QORTrace* t = &trace;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t);
        t->trace(5, __FILE__, __LINE__, "request line", -1);
    }
}
BENCHMARK(BM_TraceDroppedByLevel);

void BM_TraceDroppedNoLog(benchmark::State& state)
{
    QORTrace trace(9, "bench", nullptr);
    QORTrace* t = &trace;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t);
        t->trace(5, __FILE__, __LINE__, "request line", -1);
    }
}
BENCHMARK(BM_TraceDroppedNoLog);

void BM_FtraceDroppedByLevel(benchmark::State& state)
{
    QORLog log(true);
    QORTrace trace(2, "bench", &log);
    QORTrace* t = &trace;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t);
        t->ftrace(5, __FILE__, __LINE__, "uri %s status %d", "/index.html", 200);
    }
}
BENCHMARK(BM_FtraceDroppedByLevel);

void BM_TraceToFile(benchmark::State& state)
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") +
                          "/trace_bench.XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    close(fd);
    {
        QORFileLog log(pattern.c_str());
        QORTrace trace(9, "bench", &log);
        QORTrace::setThreadIP("192.0.2.10");
        QORTrace::setThreadVH("www.example.com");
        for (auto _ : state)
            trace.trace(5, __FILE__, __LINE__, "request line", -1);
        QORTrace::setThreadIP(nullptr);
        QORTrace::setThreadVH(nullptr);
    }
    unlink(pattern.c_str());
}
BENCHMARK(BM_TraceToFile);

} // namespace

BENCHMARK_MAIN();
