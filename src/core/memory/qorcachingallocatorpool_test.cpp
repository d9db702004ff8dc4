// Tests of the allocator pool; the ASan build checks the threaded ones for
// leaks and use after free.
#include "core/memory/qorcachingallocatorpool.h"

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "qortestdir.h"
#include "qortestthreads.h"
#include "core/memory/qormemtypeflags.h"
#include "core/svc/qorsvcroute.h"

namespace {

const int kMemoryType = 0x35f02f96;   // plugin.core.rsp-parser

struct Random {
    uint32_t state;
    unsigned between(unsigned low, unsigned high)
    {
        state = state * 1103515245u + 12345u;
        return low + (state >> 8) % (high - low + 1);
    }
};

// Ends a test that hangs instead of hanging the run.
struct Deadline {
    explicit Deadline(unsigned seconds) { alarm(seconds); }
    ~Deadline() { alarm(0); }
};

// Gives every new allocator statistics, reported each second into a file
// (or nowhere); restores provider, reporter and routes however a test ends.
struct StatsScope {
    explicit StatsScope(const std::string& file = "")
    {
        QORStatus st;
        m_routes = dx_svc_routes_show("pic", &st);
        std::string spec = file.empty() ? "pic:DISCARD:" : "pic:TEXTFILE:" + file;
        dx_svc_debug_routing(spec.c_str(), &st);
        qor_set_memtype_flags_provider([](unsigned) { return QOR_ALLOC_STATS; });
        qor_allocator_set_stats_period(1);
    }
    ~StatsScope()
    {
        qor_set_memtype_flags_provider(nullptr);
        qor_allocator_stats_shutdown();
        QORStatus st;
        if (m_routes != nullptr)
            dx_svc_debug_routing((std::string("pic:") + m_routes).c_str(), &st);
        free(m_routes);
    }
    char* m_routes = nullptr;
};

// One user's request: allocations of random sizes, every fifth grown,
// written with mark and checked. False when memory failed or was
// overwritten by someone else.
bool useAllocator(QORCachingAllocator* a, Random& random, unsigned char mark)
{
    std::vector<std::pair<unsigned char*, unsigned>> blocks;
    for (int n = random.between(8, 48); n > 0; n--) {
        unsigned size = random.between(16, 2000);
        auto* p = static_cast<unsigned char*>(QORAllocator::allocate(a, size));
        if (p == nullptr)
            return false;
        memset(p, mark, size);
        blocks.emplace_back(p, size);
    }
    for (size_t i = 0; i < blocks.size(); i += 5) {
        unsigned old = blocks[i].second;
        auto* p = static_cast<unsigned char*>(
            QORAllocator::reallocate(a, blocks[i].first, old, old * 2));
        if (p == nullptr)
            return false;
        memset(p + old, mark, old);
        blocks[i] = {p, old * 2};
    }
    for (auto& b : blocks)
        for (unsigned i = 0; i < b.second; i++)
            if (b.first[i] != mark)
                return false;
    return true;
}

} // namespace

// Without a timeout no cleaner thread runs (only the list's clock), so idle
// allocators stay until the pool goes.
TEST(QORCachingAllocatorPoolTest, MinimumIsMadeAtOnceReusedNewestFirstAndKept)
{
    int before = qor_test_settled_thread_count();
    QORCachingAllocatorPool pool(1);
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 3, 4, 64, 0));
    EXPECT_EQ(3u, pool.idle());
    QORCachingAllocator* a[4];
    std::set<QORCachingAllocator*> seen;
    for (QORCachingAllocator*& x : a) {
        x = pool.getAllocator();   // the fourth is new
        ASSERT_NE(nullptr, x);
        ASSERT_NE(nullptr, x->handle());
        seen.insert(x);
    }
    EXPECT_EQ(4u, seen.size());
    for (QORCachingAllocator* x : a)
        pool.returnAllocator(x);
    EXPECT_EQ(a[3], pool.getAllocator());
    EXPECT_EQ(a[2], pool.getAllocator());
    pool.returnAllocator(a[2]);
    pool.returnAllocator(a[3]);
    // initialize(n) tops up to n idle allocators.
    EXPECT_EQ(qor_s_ok, pool.initialize(2u));
    EXPECT_EQ(4u, pool.idle());
    EXPECT_EQ(qor_s_ok, pool.initialize(6u));
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    EXPECT_EQ(6u, pool.idle());
}

// The names, "1", "2" and "3" (and no fourth), show in the allocators'
// statistics lines.
TEST(QORCachingAllocatorPoolTest, AllocatorsAreNamedByACounter)
{
    Deadline deadline(60);
    QORTestDir dir("poolstats");
    ASSERT_TRUE(dir.ok());
    std::string file = dir.file("stats.log");
    const char* const names[] = {"rsp-parser.1: min block size:", "rsp-parser.2: min block size:",
                                 "rsp-parser.3: bytes outstanding:"};
    auto allWritten = [&] {
        dx_svc_flush();
        return qor_test_file_holds(file, names);
    };
    {
        StatsScope stats(file);
        QORCachingAllocatorPool pool;
        ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 3, 1, 16, 0));
        EXPECT_TRUE(qor_test_wait_until(allWritten)) << qor_test_read_file(file);
    }
    dx_svc_flush();
    EXPECT_EQ(std::string::npos, qor_test_read_file(file).find("rsp-parser.4:"));
}

TEST(QORCachingAllocatorPoolTest, ReturnedAllocatorComesBackEmptied)
{
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 1, 2, 32, 0));
    QORCachingAllocator* a = pool.getAllocator();
    // More blocks than it started with, most larger than its block size;
    // once it is back, the same requests take the same blocks.
    std::set<void*> first, second;
    for (std::set<void*>* blocks : {&first, &second}) {
        for (unsigned i = 0; i < 40; i++)
            blocks->insert(QORAllocator::allocate(a, 16 + i * 7));
        pool.returnAllocator(a);
        ASSERT_EQ(a, pool.getAllocator());
    }
    EXPECT_EQ(40u, first.size());
    EXPECT_EQ(first, second);
    pool.returnAllocator(a);
}

// Eight threads take allocators (a fifth of the time two at once), use them
// and give them back, pausing now and then, while the cleaner (timeout 1 s,
// clock refreshed every second) deletes allocators that went idle. Then,
// quiet, the idle allocators fall back to the minimum and never below it.
TEST(QORCachingAllocatorPoolTest, ThreadsShareThePoolWhileTheCleanerExpires)
{
    Deadline deadline(120);
    const unsigned kMinimum = 2;
    QORCachingAllocatorPool pool(1);
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, kMinimum, 8, 128, 1));
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::atomic<int> failures{0};
    auto worker = [&](int id) {
        Random random{uint32_t(id * 7919 + 1)};
        while (!stop) {
            QORCachingAllocator* a[2] = {pool.getAllocator(), nullptr};
            if (random.between(1, 5) == 1)
                a[1] = pool.getAllocator();
            for (int h = 0; h < 2; h++)
                if (a[h] != nullptr && !useAllocator(a[h], random, (unsigned char)(id * 2 + h + 1)))
                    failures++;
            if (a[0] == nullptr)
                failures++;
            for (QORCachingAllocator* x : a)
                if (x != nullptr)
                    pool.returnAllocator(x);
            requests++;
            if (random.between(1, 100) <= 3)
                usleep(random.between(1000, 20000));
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++)
        threads.emplace_back(worker, i);
    // The first expiries come 2 to 3 s after initialize, while the threads run.
    sleep(3);
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(requests.load(), 100);

    unsigned lowest = pool.idle();
    EXPECT_TRUE(qor_test_wait_until([&] { return pool.idle() <= kMinimum; }));
    // Another cleaner round, watched.
    for (int i = 0; i < 60; i++, usleep(20000))
        lowest = std::min(lowest, pool.idle());
    EXPECT_EQ(kMinimum, lowest);
    EXPECT_EQ(kMinimum, pool.idle());
    QORCachingAllocator* a = pool.getAllocator();
    Random random{7};
    EXPECT_TRUE(useAllocator(a, random, 0x77));
    pool.returnAllocator(a);
}

// Pools destroyed at random points of their cleaner's and clock's one-second
// sleeps, with the statistics reporter running for their allocators, stop
// their threads at once and free everything.
TEST(QORCachingAllocatorPoolTest, DestroyedWithCleanerAndReporterRunning)
{
    Deadline deadline(120);
    StatsScope stats;
    int before = qor_test_settled_thread_count();
    Random random{42};
    for (int round = 0; round < 5; round++) {
        auto start = std::chrono::steady_clock::now();
        {
            QORCachingAllocatorPool pool(1);
            ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 1, 2, 64, 1));
            std::vector<QORCachingAllocator*> taken;
            for (int i = 0; i < 6; i++) {
                taken.push_back(pool.getAllocator());
                ASSERT_NE(nullptr, QORAllocator::allocate(taken.back(), 300));
            }
            for (QORCachingAllocator* a : taken)
                pool.returnAllocator(a);
            usleep(random.between(0, 1200) * 1000);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    // The reporter is the only thread left; shutting it down joins it.
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    qor_allocator_stats_shutdown();
    EXPECT_TRUE(qor_test_threads_reach(before, 5));
}
