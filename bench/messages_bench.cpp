// messages_bench: the two message paths of every protected request. The
// web request question for a browser request (15 headers, a cookie header,
// a query, over HTTPS with a server part) marshalled into a request area,
// and a typical answer (result qor_continue, three header commands) applied
// to the transaction. Reported per operation: time, bytes of the request
// area used, and heap allocations of the whole process (a counting malloc
// interposed below), which must be 0 on both paths; the transaction's own
// allocator is a counting one too.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "msg/server/qorwebtransanswerwriter.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "qortesttransaction.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t n, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);
extern "C" void __libc_free(void* p);

namespace {

std::atomic<long> g_mallocs{0};

} // namespace

// Every heap allocation of the process, the library's included, passes
// through these.
extern "C" void* malloc(size_t size)
{
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t n, size_t size)
{
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}

extern "C" void* realloc(void* p, size_t size)
{
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}

extern "C" void free(void* p)
{
    __libc_free(p);
}

namespace {

typedef QORWebTransAnswerBase B;

// Whether the interposed malloc sees the allocations of this process (a
// zero count means nothing otherwise).
bool mallocsCounted()
{
    long before = g_mallocs.load();
    void* p = std::malloc(64);
    benchmark::DoNotOptimize(p);
    std::free(p);
    std::string* s = new std::string(100, 'x');
    benchmark::DoNotOptimize(s);
    delete s;
    return g_mallocs.load() - before >= 2;
}

const char kRawRequest[] =
    "GET /shop/catalog/item.jsp?id=48213&variant=blue&ref=home%2Fbanner HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "Connection: keep-alive\r\n"
    "Cache-Control: max-age=0\r\n"
    "sec-ch-ua: \"Chromium\";v=\"118\", \"Google Chrome\";v=\"118\", \"Not=A?Brand\";v=\"99\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/118.0.0.0 Safari/537.36\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
    "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7\r\n"
    "Sec-Fetch-Site: same-origin\r\n"
    "Sec-Fetch-Mode: navigate\r\n"
    "Sec-Fetch-User: ?1\r\n"
    "Sec-Fetch-Dest: document\r\n"
    "Referer: https://www.example.com/\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Cookie: _ga=GA1.2.1234567890.1600000000; session=eyJ1c2VyIjoiYWxpY2UifQ; theme=dark; "
    "csrftoken=4f1c2a9be07d4c1f8a3e5b6d7c8e9f01; cart=%7B%22items%22%3A3%7D\r\n"
    "\r\n";

// The browser request as the web server gives it.
void fillRequest(QORTestTransaction& t)
{
    QORTestRequest& r = t.request();
    r.httpBuffer = kRawRequest;
    r.clientIP = "198.51.100.23";
    r.uri = "/shop/catalog/item.jsp";
    r.query = "id=48213&variant=blue&ref=home%2Fbanner";
    r.hasQuery = true;
    r.connectionID = "conn-7f3a";
    r.security = 1;
    t.addServer("www-example-443", "www.example.com", 443);
    QORTestSSLSession* ssl = t.addSSLSession();
    ssl->id = std::string(32, '\x5a');
    t.calls().setRecording(false);
}

struct Area {
    Area()
        : shm(words, sizeof words)
    {
        alloc.initialize(shm, 0, sizeof words);
    }
    uint32_t words[16384] = {};
    QORLocalSharedMem shm;
    QORSharedMemAllocator alloc;
};

void BM_MarshalWebRequestQuestion(benchmark::State& state)
{
    if (!mallocsCounted()) {
        state.SkipWithError("malloc is not interposed");
        return;
    }
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    fillRequest(t);
    Area* area = new Area();
    unsigned int used = 0;
    long before = g_mallocs.load();
    for (auto _ : state) {
        area->alloc.reset();
        QORWebReqQuestionMarshaller q(&t);
        if (q.marshal(area->alloc) != qor_s_ok) {
            state.SkipWithError("marshal failed");
            break;
        }
        used = area->alloc.usedLength();
        benchmark::DoNotOptimize(area->words);
    }
    long mallocs = g_mallocs.load() - before;
    state.counters["area_bytes"] = used;
    state.counters["mallocs_per_op"] =
        benchmark::Counter(static_cast<double>(mallocs) / static_cast<double>(state.iterations()));
    state.counters["txn_allocs"] = counting.allocations;
    delete area;
}
BENCHMARK(BM_MarshalWebRequestQuestion);

// The answer both apply benchmarks read: continue with three header
// commands, as a server lets a signed-in user through.
bool writeTypicalAnswer(Area* area)
{
    QORWebTransAnswerWriter w(area->alloc);
    return w.begin(qor_continue) == qor_s_ok &&
           w.addNameValue(B::qor_req_set_header, QORStringRef("X-Authenticated-User"),
                          QORStringRef("alice")) == qor_s_ok &&
           w.addNameValue(B::qor_req_set_header, QORStringRef("X-Authenticated-Groups"),
                          QORStringRef("staff,buyers")) == qor_s_ok &&
           w.addNameValue(B::qor_rsp_set_header, QORStringRef("X-Frame-Options"),
                          QORStringRef("SAMEORIGIN")) == qor_s_ok;
}

void BM_ApplyWebTransAnswer(benchmark::State& state)
{
    if (!mallocsCounted()) {
        state.SkipWithError("malloc is not interposed");
        return;
    }
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    fillRequest(t);
    Area* area = new Area();
    if (!writeTypicalAnswer(area)) {
        state.SkipWithError("answer not written");
        delete area;
        return;
    }
    QORWebTransAnswerUnmarshaller answer;
    QORSharedMemIterator it;
    // One pass first, so that the test adapter has made room for the
    // headers it keeps (its own memory, not the library's).
    it.initialize(&area->alloc);
    answer.unmarshal(it, &t);
    long before = g_mallocs.load();
    for (auto _ : state) {
        it.initialize(&area->alloc);
        if (answer.unmarshal(it, &t) != qor_s_ok || answer.getRspCode() != qor_continue) {
            state.SkipWithError("answer not applied");
            break;
        }
    }
    long mallocs = g_mallocs.load() - before;
    state.counters["mallocs_per_op"] =
        benchmark::Counter(static_cast<double>(mallocs) / static_cast<double>(state.iterations()));
    state.counters["txn_allocs"] = counting.allocations;
    state.counters["answer_bytes"] = area->alloc.usedLength();
    delete area;
}
BENCHMARK(BM_ApplyWebTransAnswer);

// The same answer applied from a private copy of the result area taken once
// after the wait (what the plug-in does, so that the server cannot change
// bytes while they are read). Both ways are timed here, alternately, and
// copy_ratio is the time with the copy over the time without it.
void BM_ApplyWebTransAnswerFromCopy(benchmark::State& state)
{
    if (!mallocsCounted()) {
        state.SkipWithError("malloc is not interposed");
        return;
    }
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    fillRequest(t);
    Area* area = new Area();
    Area* copy = new Area();
    if (!writeTypicalAnswer(area)) {
        state.SkipWithError("answer not written");
        delete area;
        delete copy;
        return;
    }
    unsigned int used = area->alloc.usedLength();
    QORWebTransAnswerUnmarshaller answer;
    QORSharedMemIterator it;
    it.initialize(&area->alloc);
    answer.unmarshal(it, &t);
    auto applyInPlace = [&] {
        it.initialize(&area->alloc);
        return answer.unmarshal(it, &t) == qor_s_ok;
    };
    auto applyFromCopy = [&] {
        memcpy(copy->words, area->words, used);
        it.initializeCopy(copy->shm, 0, used);
        return answer.unmarshal(it, &t) == qor_s_ok;
    };
    long before = g_mallocs.load();
    for (auto _ : state) {
        if (!applyFromCopy() || answer.getRspCode() != qor_continue) {
            state.SkipWithError("answer not applied");
            break;
        }
    }
    long mallocs = g_mallocs.load() - before;
    // Alternating rounds, so that both ways see the same machine load.
    const int kRounds = 20, kPerRound = 2000;
    double inPlace = 0, fromCopy = 0;
    for (int r = 0; r < kRounds; r++) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kPerRound; i++)
            applyInPlace();
        auto t1 = std::chrono::steady_clock::now();
        for (int i = 0; i < kPerRound; i++)
            applyFromCopy();
        auto t2 = std::chrono::steady_clock::now();
        inPlace += std::chrono::duration<double>(t1 - t0).count();
        fromCopy += std::chrono::duration<double>(t2 - t1).count();
    }
    state.counters["mallocs_per_op"] =
        benchmark::Counter(static_cast<double>(mallocs) / static_cast<double>(state.iterations()));
    state.counters["answer_bytes"] = used;
    state.counters["copy_ratio"] = inPlace > 0 ? fromCopy / inPlace : 0;
    delete area;
    delete copy;
}
BENCHMARK(BM_ApplyWebTransAnswerFromCopy);

} // namespace

BENCHMARK_MAIN();
