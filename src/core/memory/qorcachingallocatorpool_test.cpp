// Tests of the allocator pool: pre-made allocators, reuse of emptied
// allocators, the minimum kept against the cleaner, many threads sharing a
// pool while its cleaner expires idle allocators, and shutdown while the
// cleaner and the statistics reporter run.
#include "core/memory/qorcachingallocatorpool.h"

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "qortestthreads.h"
#include "core/memory/qorblockallocator.h"
#include "core/memory/qormemtypeflags.h"
#include "core/svc/qorsvc.h"
#include "core/svc/qorsvcroute.h"

namespace {

const int kMemoryType = 0x35f02f96;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A small deterministic generator, one per thread.
struct Random {
    uint32_t state;
    uint32_t next()
    {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    }
    unsigned between(unsigned low, unsigned high) { return low + next() % (high - low + 1); }
};

// Ends a test that hangs instead of hanging the run.
struct Deadline {
    explicit Deadline(unsigned seconds) { alarm(seconds); }
    ~Deadline() { alarm(0); }
};

unsigned statsFlags(unsigned)
{
    return QOR_ALLOC_STATS;
}

// Gives every allocator statistics, reported each second into a file (or
// nowhere); restores the provider, the reporter and the routes however the
// test ends.
struct StatsScope {
    explicit StatsScope(const std::string& file = "")
    {
        QORStatus st;
        m_routes = dx_svc_routes_show("pic", &st);
        std::string spec = file.empty() ? "pic:DISCARD:" : "pic:TEXTFILE:" + file;
        dx_svc_debug_routing(spec.c_str(), &st);
        qor_set_memtype_flags_provider(statsFlags);
        qor_allocator_set_stats_period(1);
    }
    ~StatsScope()
    {
        qor_set_memtype_flags_provider(nullptr);
        qor_allocator_stats_shutdown();
        qor_allocator_set_stats_period(300);
        QORStatus st;
        if (m_routes != nullptr)
            dx_svc_debug_routing((std::string("pic:") + m_routes).c_str(), &st);
        free(m_routes);
    }
    char* m_routes = nullptr;
};

std::string readFile(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text;
}

} // namespace

TEST(QORCachingAllocatorPoolTest, InitializeMakesTheMinimumIdle)
{
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 3, 4, 64, 0));
    EXPECT_EQ(3u, pool.idle());
    // The three are distinct; a fourth request makes a new one.
    std::set<QORCachingAllocator*> seen;
    QORCachingAllocator* a[4];
    for (int i = 0; i < 4; i++) {
        a[i] = pool.getAllocator();
        ASSERT_NE(nullptr, a[i]);
        ASSERT_NE(nullptr, a[i]->handle());
        seen.insert(a[i]);
    }
    EXPECT_EQ(4u, seen.size());
    EXPECT_EQ(0u, pool.idle());
    for (QORCachingAllocator* x : a)
        pool.returnAllocator(x);
    EXPECT_EQ(4u, pool.idle());
    // initialize(n) only tops up to n.
    EXPECT_EQ(qor_s_ok, pool.initialize(2u));
    EXPECT_EQ(4u, pool.idle());
    EXPECT_EQ(qor_s_ok, pool.initialize(6u));
    EXPECT_EQ(6u, pool.idle());
    EXPECT_EQ(qor_s_ok, pool.initialize(0u));
}

// The allocators are named by a counter; the names show in their statistics.
TEST(QORCachingAllocatorPoolTest, AllocatorsAreNamedByACounter)
{
    Deadline deadline(60);
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    std::string dir = base && *base ? base : "/tmp";
    mkdir(dir.c_str(), 0700);
    std::string file = dir + "/poolstats" + std::to_string(getpid()) + ".log";
    unlink(file.c_str());
    {
        StatsScope stats(file);
        QORCachingAllocatorPool pool;
        ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 3, 1, 16, 0));
        std::string text;
        auto start = std::chrono::steady_clock::now();
        while (secondsSince(start) < 10 &&
               (text = readFile(file)).find(".3: bytes outstanding") == std::string::npos) {
            usleep(50000);
            dx_svc_flush();
        }
        for (const char* name : {"rsp-parser.1: min block size:",
                                 "rsp-parser.2: min block size:",
                                 "rsp-parser.3: bytes outstanding:"})
            EXPECT_NE(std::string::npos, text.find(name)) << name;
        EXPECT_EQ(std::string::npos, text.find("rsp-parser.4:"));
    }
    unlink(file.c_str());
}

TEST(QORCachingAllocatorPoolTest, ReturnedAllocatorComesBackEmptied)
{
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 1, 2, 32, 0));
    QORCachingAllocator* a = pool.getAllocator();
    ASSERT_NE(nullptr, a);
    // More blocks than it started with, some larger than its block size.
    std::set<void*> first;
    for (unsigned i = 0; i < 40; i++) {
        void* p = QORAllocator::allocate(a, 16 + i * 7);
        ASSERT_NE(nullptr, p);
        memset(p, 0x5a, 16 + i * 7);
        first.insert(p);
    }
    pool.returnAllocator(a);
    QORCachingAllocator* b = pool.getAllocator();
    EXPECT_EQ(a, b);
    // Everything is free again: the same requests are served from the same
    // blocks, without new ones.
    std::set<void*> second;
    for (unsigned i = 0; i < 40; i++)
        second.insert(QORAllocator::allocate(b, 16 + i * 7));
    EXPECT_EQ(first, second);
    pool.returnAllocator(b);
    EXPECT_EQ(1u, pool.idle());
}

TEST(QORCachingAllocatorPoolTest, MostRecentlyReturnedIsHandedOutFirst)
{
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 0, 1, 16, 0));
    EXPECT_EQ(0u, pool.idle());
    QORCachingAllocator* a = pool.getAllocator();
    QORCachingAllocator* b = pool.getAllocator();
    ASSERT_TRUE(a && b && a != b);
    pool.returnAllocator(a);
    pool.returnAllocator(b);
    EXPECT_EQ(b, pool.getAllocator());
    EXPECT_EQ(a, pool.getAllocator());
    pool.returnAllocator(a);
    pool.returnAllocator(b);
}

TEST(QORCachingAllocatorPoolTest, WithoutTimeoutIdleAllocatorsStay)
{
    int before = qor_test_settled_thread_count();
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 1, 1, 16, 0));
    std::vector<QORCachingAllocator*> taken;
    for (int i = 0; i < 5; i++)
        taken.push_back(pool.getAllocator());
    for (QORCachingAllocator* a : taken)
        pool.returnAllocator(a);
    // No cleaner: only the clock's thread was added.
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    sleep(2);
    EXPECT_EQ(5u, pool.idle());
}

// Eight threads take allocators, allocate, write and check, reallocate and
// give them back, sometimes holding two at once or pausing, while the
// cleaner (timeout 1 s) deletes allocators that went idle. Afterwards the
// idle allocators fall back to the minimum and never below it. The ASan
// build checks for leaks and for use after free.
TEST(QORCachingAllocatorPoolTest, ThreadsShareThePoolWhileTheCleanerExpires)
{
    Deadline deadline(120);
    const unsigned kMinimum = 2;
    QORCachingAllocatorPool pool;
    ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, kMinimum, 8, 128, 1));
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::atomic<int> failures{0};

    auto worker = [&](int id) {
        Random random{uint32_t(id * 7919 + 1)};
        while (!stop.load()) {
            int held = random.between(1, 100) <= 20 ? 2 : 1;
            QORCachingAllocator* a[2] = {nullptr, nullptr};
            for (int h = 0; h < held; h++) {
                a[h] = pool.getAllocator();
                if (a[h] == nullptr)
                    failures++;
            }
            for (int h = 0; h < held && a[h] != nullptr; h++) {
                unsigned char mark = (unsigned char)(id * 16 + h + 1);
                std::vector<std::pair<unsigned char*, unsigned>> blocks;
                for (int n = random.between(8, 48); n > 0; n--) {
                    unsigned size = random.between(16, 2000);
                    auto* p = static_cast<unsigned char*>(QORAllocator::allocate(a[h], size));
                    if (p == nullptr) {
                        failures++;
                        break;
                    }
                    memset(p, mark, size);
                    blocks.emplace_back(p, size);
                }
                for (size_t i = 0; i < blocks.size(); i += 5) {
                    unsigned size = blocks[i].second * 2;
                    auto* p = static_cast<unsigned char*>(QORAllocator::reallocate(
                        a[h], blocks[i].first, blocks[i].second, size));
                    if (p == nullptr) {
                        failures++;
                        blocks[i].second = 0;
                        continue;
                    }
                    memset(p + blocks[i].second, mark, size - blocks[i].second);
                    blocks[i] = {p, size};
                }
                for (auto& b : blocks)
                    for (unsigned i = 0; i < b.second; i++)
                        if (b.first[i] != mark) {
                            failures++;
                            break;
                        }
            }
            for (int h = held - 1; h >= 0; h--)
                if (a[h] != nullptr)
                    pool.returnAllocator(a[h]);
            requests++;
            if (random.between(1, 100) <= 3)
                usleep(random.between(1000, 20000));
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++)
        threads.emplace_back(worker, i);
    // Entries are stamped with the list's clock, which moves every 5 s: the
    // first expiries come 5 to 6 s after initialize, while the threads run.
    sleep(7);
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(requests.load(), 100);

    // Quiet now: every allocator is idle, and the cleaner takes the pool
    // back to the minimum without ever going below it.
    unsigned lowest = pool.idle();
    EXPECT_GE(lowest, kMinimum);
    auto start = std::chrono::steady_clock::now();
    for (unsigned n; secondsSince(start) < 20 && (n = pool.idle()) > kMinimum;) {
        lowest = std::min(lowest, n);
        usleep(20000);
    }
    EXPECT_EQ(kMinimum, pool.idle());
    for (int i = 0; i < 100; i++) {   // two more cleaner rounds
        lowest = std::min(lowest, pool.idle());
        usleep(20000);
    }
    EXPECT_EQ(kMinimum, lowest);
    EXPECT_EQ(kMinimum, pool.idle());

    // The kept allocators still work.
    QORCachingAllocator* a = pool.getAllocator();
    ASSERT_NE(nullptr, a);
    EXPECT_NE(nullptr, QORAllocator::allocate(a, 100));
    pool.returnAllocator(a);
}

// Pools destroyed at random points of their cleaner's cycle, some while it
// is deleting, and with the statistics reporter running for their
// allocators, stop their threads and free everything.
TEST(QORCachingAllocatorPoolTest, DestroyedWithCleanerAndReporterRunning)
{
    Deadline deadline(120);
    StatsScope stats;
    int before = qor_test_settled_thread_count();
    Random random{42};
    for (int round = 0; round < 6; round++) {
        auto start = std::chrono::steady_clock::now();
        {
            QORCachingAllocatorPool pool;
            ASSERT_EQ(qor_s_ok, pool.initialize(kMemoryType, 1, 2, 64, 1));
            std::vector<QORCachingAllocator*> taken;
            for (int i = 0; i < 6; i++) {
                taken.push_back(pool.getAllocator());
                ASSERT_NE(nullptr, taken.back());
                ASSERT_NE(nullptr, QORAllocator::allocate(taken.back(), 300));
            }
            for (QORCachingAllocator* a : taken)
                pool.returnAllocator(a);
            usleep(random.between(0, 1500) * 1000);
        }
        // Cancelling a sleeping cleaner and clock takes no time; one that is
        // deleting finishes first.
        EXPECT_LT(secondsSince(start), 3.0);
    }
    // The reporter is the only thread left; shutting it down joins it.
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    qor_allocator_stats_shutdown();
    EXPECT_TRUE(qor_test_threads_reach(before, 5));
}
