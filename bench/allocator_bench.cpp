// allocator_bench: the memory pattern of one request, served four ways in
// one run: a caching allocator taken from a QORCachingAllocatorPool and
// given back (one collection frees everything), glibc malloc/realloc/free,
// jemalloc and mimalloc. A request makes 64 allocations of 16 to 2,000 bytes
// (one fixed pseudo-random sequence), grows 4 of them and frees everything
// at the end. A second part runs 1,000,000 requests through a pool and
// reports its memory at 100k, 500k and 1M requests.
//
// jemalloc and mimalloc are loaded with dlopen(RTLD_LOCAL) and called through
// their own entry points, so that they do not replace malloc for the rest of
// the program (the glibc and caching-allocator figures would be theirs
// otherwise). jemalloc needs static TLS space that a dlopen'ed library only
// gets with the glibc.rtld.optional_static_tls tunable; main sets it and runs
// the program again when the first load fails for that reason.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/memory/qorcachingallocator.h"
#include "core/memory/qorcachingallocatorpool.h"

namespace {

const unsigned kAllocations = 64;
const unsigned kMinSize = 16;
const unsigned kMaxSize = 2000;
const unsigned kReallocEvery = 16;   // one growth after every 16 allocations
const int kMemoryType = 0x35f02f96;

// One step of a request: allocate block `index`, or grow it to `size`.
struct Step {
    bool grow;
    unsigned index;
    unsigned size;
    unsigned oldSize;
};

// The request: the same for every allocator and every run.
std::vector<Step> makeRequest()
{
    uint32_t state = 20240601u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::vector<Step> steps;
    std::vector<unsigned> sizes;
    for (unsigned i = 0; i < kAllocations; i++) {
        unsigned size = kMinSize + next() % (kMaxSize - kMinSize + 1);
        steps.push_back({false, i, size, 0});
        sizes.push_back(size);
        if ((i + 1) % kReallocEvery == 0) {
            unsigned victim = i - next() % kReallocEvery;
            unsigned grown = sizes[victim] + kMinSize + next() % 1000;
            steps.push_back({true, victim, grown, sizes[victim]});
            sizes[victim] = grown;
        }
    }
    return steps;
}

const std::vector<Step> g_request = makeRequest();

// Runs one request on a heap: begin, the allocations and growths, end (which
// gives every block back). Every block gets its first and last byte
// written, as a user would touch it. The heaps below are small concrete
// types whose calls inline here, so the measured loop holds nothing but the
// allocator's own calls.
template <class Heap>
inline void runRequest(void** blocks, Heap& heap)
{
    heap.begin();
    for (const Step& s : g_request) {
        char* p;
        if (s.grow)
            p = static_cast<char*>(heap.grow(blocks[s.index], s.oldSize, s.size));
        else
            p = static_cast<char*>(heap.alloc(s.size));
        p[0] = 1;
        p[s.size - 1] = 1;
        blocks[s.index] = p;
    }
    benchmark::ClobberMemory();
    heap.end(blocks);
}

template <class Heap>
void measureRequests(benchmark::State& state, Heap heap)
{
    void* blocks[kAllocations];
    for (auto _ : state)
        runRequest(blocks, heap);
}

// Entry points of an allocator loaded with dlopen.
struct Loaded {
    void* handle = nullptr;
    void* (*alloc)(size_t, int) = nullptr;            // jemalloc mallocx
    void* (*grow)(void*, size_t, int) = nullptr;      // jemalloc rallocx
    void (*release)(void*, int) = nullptr;            // jemalloc dallocx
    void* (*mi_alloc)(size_t) = nullptr;              // mimalloc mi_malloc
    void* (*mi_grow)(void*, size_t) = nullptr;        // mimalloc mi_realloc
    void (*mi_release)(void*) = nullptr;              // mimalloc mi_free
    std::string error;
};

Loaded g_jemalloc;
Loaded g_mimalloc;

// The file a symbol was found in.
std::string fileOf(void* symbol)
{
    Dl_info info;
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
        return "?";
    return info.dli_fname;
}

template <class F>
bool find(Loaded& l, const char* name, F* out, const char* library)
{
    *out = reinterpret_cast<F>(dlsym(l.handle, name));
    if (*out == nullptr) {
        l.error = std::string(name) + " not found";
        return false;
    }
    // The symbol must come from the library itself.
    std::string file = fileOf(reinterpret_cast<void*>(*out));
    if (file.find(library) == std::string::npos) {
        l.error = std::string(name) + " resolved to " + file;
        *out = nullptr;
        return false;
    }
    return true;
}

void loadJemalloc()
{
    g_jemalloc.handle = dlopen("libjemalloc.so.2", RTLD_NOW | RTLD_LOCAL);
    if (g_jemalloc.handle == nullptr) {
        g_jemalloc.error = dlerror();
        return;
    }
    find(g_jemalloc, "mallocx", &g_jemalloc.alloc, "libjemalloc") &&
        find(g_jemalloc, "rallocx", &g_jemalloc.grow, "libjemalloc") &&
        find(g_jemalloc, "dallocx", &g_jemalloc.release, "libjemalloc");
}

void loadMimalloc()
{
    g_mimalloc.handle = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
    if (g_mimalloc.handle == nullptr) {
        g_mimalloc.error = dlerror();
        return;
    }
    find(g_mimalloc, "mi_malloc", &g_mimalloc.mi_alloc, "libmimalloc") &&
        find(g_mimalloc, "mi_realloc", &g_mimalloc.mi_grow, "libmimalloc") &&
        find(g_mimalloc, "mi_free", &g_mimalloc.mi_release, "libmimalloc");
}

// One caching allocator emptied after each request: what the pool adds.
struct CachingHeap {
    QORCachingAllocator* a;
    void begin() {}
    void* alloc(unsigned size) { return QORAllocator::allocate(a, size); }
    void* grow(void* p, unsigned oldSize, unsigned size)
    {
        return QORAllocator::reallocate(a, p, oldSize, size);
    }
    void end(void**) { a->garbageCollect(); }
};

// A caching allocator from a pool per request, given back at the end.
struct PoolHeap : CachingHeap {
    QORCachingAllocatorPool* pool;
    explicit PoolHeap(QORCachingAllocatorPool* p) : CachingHeap{nullptr}, pool(p) {}
    void begin() { a = pool->getAllocator(); }
    void end(void**) { pool->returnAllocator(a); }
};

// General-purpose heaps free every block at the end of a request.
template <class Derived>
struct FreeEachHeap {
    void begin() {}
    void end(void** blocks)
    {
        for (unsigned i = 0; i < kAllocations; i++)
            static_cast<Derived*>(this)->release(blocks[i]);
    }
};

struct GlibcHeap : FreeEachHeap<GlibcHeap> {
    void* alloc(unsigned size) { return malloc(size); }
    void* grow(void* p, unsigned, unsigned size) { return realloc(p, size); }
    void release(void* p) { free(p); }
};

struct JemallocHeap : FreeEachHeap<JemallocHeap> {
    const Loaded* je;
    explicit JemallocHeap(const Loaded* l) : je(l) {}
    void* alloc(unsigned size) { return je->alloc(size, 0); }
    void* grow(void* p, unsigned, unsigned size) { return je->grow(p, size, 0); }
    void release(void* p) { je->release(p, 0); }
};

struct MimallocHeap : FreeEachHeap<MimallocHeap> {
    const Loaded* mi;
    explicit MimallocHeap(const Loaded* l) : mi(l) {}
    void* alloc(unsigned size) { return mi->mi_alloc(size); }
    void* grow(void* p, unsigned, unsigned size) { return mi->mi_grow(p, size); }
    void release(void* p) { mi->mi_release(p); }
};

void BM_Request_DxqorPool(benchmark::State& state)
{
    QORCachingAllocatorPool pool;
    if (pool.initialize(kMemoryType, 1, kAllocations, 256, 0) != qor_s_ok) {
        state.SkipWithError("pool initialisation failed");
        return;
    }
    measureRequests(state, PoolHeap(&pool));
    state.SetLabel("pool get, 64 allocations + 4 growths, return");
}
BENCHMARK(BM_Request_DxqorPool);

void BM_Request_DxqorAllocatorOnly(benchmark::State& state)
{
    QORCachingAllocator a;
    if (a.initialize(kMemoryType, QOR_ALLOC_NOLOCK, nullptr, kAllocations, 256) != qor_s_ok) {
        state.SkipWithError("allocator initialisation failed");
        return;
    }
    measureRequests(state, CachingHeap{&a});
    state.SetLabel("no pool: garbageCollect after each request");
}
BENCHMARK(BM_Request_DxqorAllocatorOnly);

void BM_Request_Glibc(benchmark::State& state)
{
    measureRequests(state, GlibcHeap{});
}
BENCHMARK(BM_Request_Glibc);

void BM_Request_Jemalloc(benchmark::State& state)
{
    if (g_jemalloc.release == nullptr)
        state.SkipWithError(("jemalloc not loaded: " + g_jemalloc.error).c_str());
    else
        measureRequests(state, JemallocHeap(&g_jemalloc));
}
BENCHMARK(BM_Request_Jemalloc);

void BM_Request_Mimalloc(benchmark::State& state)
{
    if (g_mimalloc.mi_release == nullptr)
        state.SkipWithError(("mimalloc not loaded: " + g_mimalloc.error).c_str());
    else
        measureRequests(state, MimallocHeap(&g_mimalloc));
}
BENCHMARK(BM_Request_Mimalloc);

// Resident set size in KiB, from /proc.
double residentKiB()
{
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return -1;
    long pages = 0, resident = 0;
    int n = fscanf(f, "%ld %ld", &pages, &resident);
    fclose(f);
    return n == 2 ? double(resident) * double(sysconf(_SC_PAGESIZE)) / 1024 : -1;
}

// Bytes of the heap in use (the block allocator takes its blocks there).
double heapInUse()
{
    return double(mallinfo2().uordblks);
}

// 1,000,000 requests through one pool; the heap the pool holds (heap in use
// minus what was in use before the pool existed, which also counts what the
// benchmark framework keeps meanwhile) and the resident size after 1, 100k,
// 500k and 1M requests, and exactly what the pool holds at the end. Steady
// state: the 100k, 500k and 1M figures are equal.
void BM_Footprint_DxqorPool(benchmark::State& state)
{
    double heapBefore = heapInUse();
    QORCachingAllocatorPool* owned = new QORCachingAllocatorPool;
    QORCachingAllocatorPool& pool = *owned;
    if (pool.initialize(kMemoryType, 1, kAllocations, 256, 0) != qor_s_ok) {
        state.SkipWithError("pool initialisation failed");
        delete owned;
        return;
    }
    void* blocks[kAllocations];
    // Sampled into locals: adding a counter allocates, which would count.
    const long kAt[] = {1, 100000, 500000, 1000000};
    const char* const kNames[] = {"1", "100k", "500k", "1M"};
    double heap[4] = {0, 0, 0, 0}, rss[4] = {0, 0, 0, 0};
    long requests = 0;
    int next = 0;
    PoolHeap request(&pool);
    for (auto _ : state) {
        runRequest(blocks, request);
        requests++;
        if (next < 4 && requests == kAt[next]) {
            state.PauseTiming();
            heap[next] = heapInUse() - heapBefore;
            rss[next] = residentKiB();
            next++;
            state.ResumeTiming();
        }
    }
    // Exactly what the pool holds at the end: the heap with it and without.
    double heapEnd = heapInUse();
    delete owned;
    double poolEnd = heapEnd - heapInUse();
    for (int i = 0; i < next; i++) {
        state.counters[std::string("pool_heap_B_") + kNames[i]] = heap[i];
        state.counters[std::string("rss_KiB_") + kNames[i]] = rss[i];
    }
    state.counters["pool_heap_B_end_exact"] = poolEnd;
}
BENCHMARK(BM_Footprint_DxqorPool)->Iterations(1000000);

// Prints where the allocators' entry points and the program's malloc come
// from, so that a run shows nothing replaced malloc.
void printOrigins()
{
    fprintf(stderr, "malloc (program, libdxqor): %s\n",
            fileOf(dlsym(RTLD_DEFAULT, "malloc")).c_str());
    fprintf(stderr, "jemalloc mallocx: %s\n",
            g_jemalloc.alloc ? fileOf(reinterpret_cast<void*>(g_jemalloc.alloc)).c_str()
                             : g_jemalloc.error.c_str());
    fprintf(stderr, "mimalloc mi_malloc: %s\n",
            g_mimalloc.mi_alloc ? fileOf(reinterpret_cast<void*>(g_mimalloc.mi_alloc)).c_str()
                                : g_mimalloc.error.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    loadJemalloc();
    if (g_jemalloc.handle == nullptr &&
        g_jemalloc.error.find("static TLS") != std::string::npos &&
        getenv("DXQOR_BENCH_REEXEC") == nullptr) {
        // Room for jemalloc's initial-exec TLS, then the same program again.
        std::string tunables = "glibc.rtld.optional_static_tls=65536";
        const char* previous = getenv("GLIBC_TUNABLES");
        if (previous != nullptr && *previous)
            tunables = std::string(previous) + ":" + tunables;
        setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
        setenv("DXQOR_BENCH_REEXEC", "1", 1);
        execv("/proc/self/exe", argv);
        perror("execv");
    }
    loadMimalloc();
    printOrigins();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
