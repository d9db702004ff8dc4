// qorblockallocator_test.cpp: block lists, growth, garbage collection,
// statistics and the debugging modes of the block allocator. Faults the
// allocator raises on purpose are checked in death tests; each child puts
// the default SIGSEGV action back first, because a sanitizer build installs
// its own handler that would turn the signal into an exit code.
#include "core/memory/qorblockallocator.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include "core/svc/qorsvcroute.h"

namespace {

const unsigned kUrc = 0x35f02fa9;        // "plugin.urc"
const unsigned kNoText = 0x35f02ffe;     // no catalogue text

qor_allocator_t make(unsigned flags, unsigned blockSize, unsigned blocks,
                     unsigned memoryType = kUrc, const char* name = nullptr,
                     const void* pattern = nullptr, unsigned patternLength = 0)
{
    qor_allocator_t a = nullptr;
    QORStatus st = 1;
    qor_allocator_new(flags, memoryType, name, blockSize, blocks, &a, &st,
                      pattern, patternLength);
    EXPECT_EQ(st, qor_s_ok);
    return a;
}

void destroy(qor_allocator_t a)
{
    QORStatus st = 1;
    qor_allocator_delete(a, &st);
    EXPECT_EQ(st, qor_s_ok);
}

void* allocator_word(void* p)
{
    return static_cast<void**>(p)[-1];
}

// The twelve lines of qor_allocator_dump_stats, by label.
std::map<std::string, long> dumpStats(qor_allocator_t a)
{
    testing::internal::CaptureStdout();
    qor_allocator_dump_stats(a);
    std::istringstream in(testing::internal::GetCapturedStdout());
    std::map<std::string, long> values;
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        values[line.substr(0, colon)] = std::stol(line.substr(colon + 1));
    }
    return values;
}

void defaultSegv()
{
    signal(SIGSEGV, SIG_DFL);
}

class BlockAllocatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { qor_allocator_stats_shutdown(); }
};

using BlockAllocatorDeathTest = BlockAllocatorTest;

TEST_F(BlockAllocatorTest, BlocksNameTheirAllocatorInTheWordBeforeThem)
{
    qor_allocator_t fixed = make(QOR_ALLOC_NOLOCK, 24, 2);
    qor_allocator_t var = make(QOR_ALLOC_VARIABLE, 24, 2);
    void* f = qor_alloc(fixed);
    void* v = qor_alloc_var(var, 10);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(allocator_word(f), fixed);
    EXPECT_EQ(allocator_word(v), var);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % alignof(void*), 0u);

    void* h = qor_alloc_var(nullptr, 40);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(allocator_word(h), nullptr);
    memset(h, 7, 40);
    h = qor_realloc_var(h, 4000);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(h)[39], 7);
    void* hd = qor_alloc_dup(h);
    EXPECT_EQ(memcmp(hd, h, 4000), 0);
    qor_free(hd);
    qor_free(h);
    qor_free(nullptr);

    qor_free(f);
    qor_free(v);
    destroy(fixed);
    destroy(var);
    QORStatus st = 1;
    qor_allocator_delete(nullptr, &st);
    EXPECT_EQ(st, qor_s_ok);
}

TEST_F(BlockAllocatorTest, DebugFlagsImplyAndExcludeEachOther)
{
    struct {
        unsigned given;
        unsigned applied;
    } cases[] = {
        {QOR_ALLOC_CUSTOM_PATTERN,
         QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_END_GUARD},
        {QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_NOLOCK,
         QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_END_GUARD},
        {QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_END_GUARD,
         QOR_ALLOC_PAGE_GUARD},
        {QOR_ALLOC_NOLOCK | QOR_ALLOC_STATS,
         QOR_ALLOC_NOLOCK | QOR_ALLOC_STATS},
    };
    for (auto& c : cases) {
        qor_allocator_t a = make(c.given, 8, 1);
        EXPECT_EQ(qor_allocator_flags(a), c.applied) << std::hex << c.given;
        destroy(a);
    }
}

TEST_F(BlockAllocatorTest, FreedBlockIsHandedOutNext)
{
    qor_allocator_t a = make(QOR_ALLOC_NOLOCK | QOR_ALLOC_GROW, 32, 4);
    void* p = qor_alloc(a);
    void* q = qor_alloc(a);
    qor_free(p);
    EXPECT_EQ(qor_alloc(a), p);
    qor_free(q);
    EXPECT_EQ(qor_alloc(a), q);
    destroy(a);
}

TEST_F(BlockAllocatorTest, GcFreesEverythingAndReusesBlocksWithoutTheHeap)
{
    for (unsigned flags : {QOR_ALLOC_VARIABLE | QOR_ALLOC_NOLOCK,
                           QOR_ALLOC_VARIABLE | QOR_ALLOC_STATS,
                           QOR_ALLOC_VARIABLE | QOR_ALLOC_END_GUARD,
                           QOR_ALLOC_NOLOCK}) {
        qor_allocator_t a = make(flags, 48, 6);
        std::set<void*> first;
        for (int i = 0; i < 6; i++) {
            void* p = (flags & QOR_ALLOC_VARIABLE) ? qor_alloc_var(a, 48)
                                                   : qor_alloc(a);
            ASSERT_NE(p, nullptr);
            memset(p, i, 48);
            first.insert(p);
        }
        // No GROW: the allocator is exhausted.
        EXPECT_EQ((flags & QOR_ALLOC_VARIABLE) ? qor_alloc_var(a, 1)
                                               : qor_alloc(a),
                  nullptr);
        qor_allocator_gc(a);
        for (int i = 0; i < 6; i++) {
            void* p = (flags & QOR_ALLOC_VARIABLE) ? qor_alloc_var(a, 48)
                                                   : qor_alloc(a);
            EXPECT_EQ(first.count(p), 1u) << std::hex << flags;
        }
        qor_allocator_gc(a);
        destroy(a);
    }
}

TEST_F(BlockAllocatorTest, GrowsByTenOnlyWithGrow)
{
    qor_allocator_t a = make(QOR_ALLOC_GROW | QOR_ALLOC_STATS, 16, 2);
    for (int i = 0; i < 3; i++)
        ASSERT_NE(qor_alloc(a), nullptr);
    auto s = dumpStats(a);
    EXPECT_EQ(s["blocks available"], 2 + 10 - 3);
    EXPECT_EQ(s["blocks outstanding"], 3);
    qor_allocator_gc(a);
    destroy(a);

    qor_allocator_t b = make(QOR_ALLOC_VARIABLE, 16, 1);
    EXPECT_NE(qor_alloc_var(b, 16), nullptr);
    EXPECT_EQ(qor_alloc_var(b, 16), nullptr);
    destroy(b);
}

TEST_F(BlockAllocatorTest, VariableBlockGrowsForALargerRequest)
{
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_NOLOCK, 16, 1);
    char* p = static_cast<char*>(qor_alloc_var(a, 1000));
    ASSERT_NE(p, nullptr);
    memset(p, 'x', 1000);
    char* d = static_cast<char*>(qor_alloc_dup(p));
    ASSERT_EQ(d, nullptr);   // the only block is taken and there is no GROW
    qor_free(p);
    // The enlarged block serves a smaller request again.
    char* q = static_cast<char*>(qor_alloc_var(a, 900));
    EXPECT_EQ(q, p);
    memset(q, 'y', 1000);
    qor_free(q);
    destroy(a);
}

TEST_F(BlockAllocatorTest, ReallocKeepsLargeEnoughBlocksAndGrowsOthers)
{
    qor_allocator_t a =
        make(QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_END_GUARD, 64, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 64));
    memset(p, 'a', 64);
    EXPECT_EQ(qor_realloc_var(p, 10), p);
    char* q = static_cast<char*>(qor_realloc_var(p, 5000));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::string(q, 64), std::string(64, 'a'));
    memset(q, 'b', 5000);   // the end guard must follow the new size
    char* d = static_cast<char*>(qor_alloc_dup(q));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(allocator_word(d), a);
    EXPECT_EQ(memcmp(d, q, 5000), 0);
    EXPECT_EQ(qor_realloc_var(d, 0), nullptr);
    qor_free(q);
    QORStatus st;
    qor_allocator_delete(a, &st);
    EXPECT_EQ(st, qor_s_ok);
}

TEST_F(BlockAllocatorTest, CheckEmptyRefusesDeletionWhileBlocksAreOut)
{
    qor_allocator_t a = make(QOR_ALLOC_CHECK_EMPTY | QOR_ALLOC_GROW, 8, 1);
    void* p = qor_alloc(a);
    QORStatus st = 0;
    qor_allocator_delete(a, &st);
    EXPECT_EQ(st, 0x35f0200du);
    // Still whole and usable.
    void* q = qor_alloc(a);
    EXPECT_NE(q, nullptr);
    qor_free(p);
    qor_free(q);
    destroy(a);
}

TEST_F(BlockAllocatorTest, StatisticsFollowAllocationFreeAndGc)
{
    qor_allocator_t a =
        make(QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_STATS, 32, 4);
    void* p = qor_alloc_var(a, 10);
    void* q = qor_alloc_var(a, 100);   // enlarged to 100
    void* r = qor_alloc_var(a, 20);
    ASSERT_TRUE(p && q && r);
    qor_free(p);
    qor_allocator_gc(a);
    auto s = dumpStats(a);
    ASSERT_EQ(s.size(), 12u);
    EXPECT_EQ(s["min block size"], 32);
    EXPECT_EQ(s["max block size"], 100);
    EXPECT_EQ(s["blocks available"], 4);
    EXPECT_EQ(s["blocks allocated"], 3);
    EXPECT_EQ(s["blocks freed"], 1);
    EXPECT_EQ(s["blocks gced"], 2);
    EXPECT_EQ(s["blocks outstanding"], 0);
    EXPECT_EQ(s["bytes available"], 32 * 3 + 100);
    EXPECT_EQ(s["bytes allocated"], 32 + 100 + 32);
    EXPECT_EQ(s["bytes freed"], 32);
    EXPECT_EQ(s["bytes gced"], 132);
    EXPECT_EQ(s["bytes outstanding"], 0);

    testing::internal::CaptureStdout();
    qor_allocator_dump_stats(a);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find('\n')), "min block size:     32");
    destroy(a);
}

TEST_F(BlockAllocatorTest, ReporterWritesTwelveLinesPerAllocator)
{
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    std::string dir = base && *base ? base : "/tmp";
    mkdir(dir.c_str(), 0777);
    std::string log = dir + "/memtypes-" + std::to_string(getpid()) + ".log";
    unlink(log.c_str());
    dx_svc_shutdown();
    QORStatus st;
    dx_svc_debug_routing(("pic:UTF8FILE:" + log).c_str(), &st);
    ASSERT_EQ(st, qor_s_ok);

    // Blank and '!' become '-', '_' stays, other bytes are spelt in hex.
    qor_allocator_t named = make(QOR_ALLOC_STATS | QOR_ALLOC_NAMED, 16, 3,
                                 kUrc, "a b!c_d\x01");
    qor_allocator_t anon = make(QOR_ALLOC_STATS, 8, 1, kNoText);
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_memory_types),
              1u);
    qor_alloc(named);
    qor_allocator_set_stats_period(1);

    std::string text;
    for (int i = 0; i < 200 && text.find("<unknown>: bytes outstanding") ==
                                   std::string::npos; i++) {
        usleep(50000);
        dx_svc_flush();
        std::ifstream in(log);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    qor_allocator_stats_shutdown();
    EXPECT_NE(text.find("plugin.urc.a-b-c_dx01: blocks outstanding: 1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("plugin.urc.a-b-c_dx01: bytes available:    32"),
              std::string::npos);
    EXPECT_NE(text.find("<unknown>: min block size:     0"),
              std::string::npos);
    EXPECT_NE(text.find("<unknown>: bytes outstanding:  0"),
              std::string::npos);

    qor_allocator_gc(named);
    destroy(named);
    destroy(anon);
    dx_svc_shutdown();
    unlink(log.c_str());
}

TEST_F(BlockAllocatorTest, LockingAllocatorServesManyThreads)
{
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW |
                                 QOR_ALLOC_CHECK_EMPTY | QOR_ALLOC_STATS,
                             32, 4);
    const int kThreads = 4;
    const int kRounds = 2000;
    std::vector<std::thread> threads;
    std::vector<int> damaged(kThreads, 0);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([a, t, &damaged] {
            std::vector<unsigned char*> held;
            for (int i = 0; i < kRounds; i++) {
                unsigned size = 8 + (i * 7 + t) % 120;
                auto* p = static_cast<unsigned char*>(qor_alloc_var(a, size));
                if (p == nullptr) {
                    damaged[t]++;
                    continue;
                }
                memset(p, t, size);
                held.push_back(p);
                if (held.size() > 8 || i % 3 == 0) {
                    unsigned char* old = held.front();
                    held.erase(held.begin());
                    if (old[0] != t || old[7] != t)
                        damaged[t]++;
                    old = static_cast<unsigned char*>(
                        qor_realloc_var(old, 200));
                    if (old == nullptr || old[0] != t)
                        damaged[t]++;
                    qor_free(old);
                }
            }
            for (unsigned char* p : held)
                qor_free(p);
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(damaged[t], 0) << "thread " << t;
    auto s = dumpStats(a);
    EXPECT_EQ(s["blocks outstanding"], 0);
    EXPECT_EQ(s["blocks allocated"], s["blocks freed"]);
    destroy(a);   // CHECK_EMPTY: fails if any block was lost
}

TEST_F(BlockAllocatorTest, GuardCheckerStopsPromptlyOnDelete)
{
    qor_allocator_t a = make(QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_NOLOCK |
                                 QOR_ALLOC_GROW,
                             16, 2);
    qor_alloc(a);
    qor_alloc_set_guard_checker_period(a, 0, 20000000);
    usleep(100000);   // a few clean passes
    time_t before = time(nullptr);
    qor_allocator_gc(a);
    destroy(a);
    EXPECT_LE(time(nullptr) - before, 2);
}

TEST_F(BlockAllocatorTest, CustomPatternIsTheOneCompared)
{
    const char pattern[] = "QORZ";
    qor_allocator_t a = make(QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_VARIABLE |
                                 QOR_ALLOC_GROW,
                             16, 2, kUrc, nullptr, pattern, 4);
    char* p = static_cast<char*>(qor_alloc_var(a, 16));
    // Rewriting the pattern's own bytes is no damage.
    memcpy(p + 16, pattern, 4);
    void* q = qor_alloc_var(a, 16);
    EXPECT_NE(q, nullptr);
    qor_free(q);
    qor_free(p);
    destroy(a);
}

TEST_F(BlockAllocatorTest, PageGuardedBlocksHoldTheirDataAndResize)
{
    qor_allocator_t a =
        make(QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 64, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 64));
    ASSERT_NE(p, nullptr);
    EXPECT_NE(allocator_word(p), static_cast<void*>(a));   // via the header
    memset(p, 'p', 64);
    long page = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p + 64) % page, 0u);
    char* q = static_cast<char*>(qor_realloc_var(p, 10000));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::string(q, 64), std::string(64, 'p'));
    memset(q, 'q', 10000);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q + 10000) % page, 0u);
    char* d = static_cast<char*>(qor_alloc_dup(q));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(memcmp(d, q, 10000), 0);
    qor_free(d);
    qor_allocator_gc(a);
    // A reused block of another size is laid out for the new size.
    char* r = static_cast<char*>(qor_alloc_var(a, 32));
    memset(r, 'r', 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r + 32) % page, 0u);
    qor_free(r);

    qor_allocator_t f = make(QOR_ALLOC_PAGE_GUARD, 100, 1);
    char* b = static_cast<char*>(qor_alloc(f));
    memset(b, 1, 100);
    EXPECT_EQ(qor_alloc(f), nullptr);
    qor_free(b);
    destroy(f);
    destroy(a);
}

TEST_F(BlockAllocatorDeathTest, WriteOnePastAPageGuardedBlockFaultsAtOnce)
{
    qor_allocator_t a =
        make(QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 48, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 48));
    EXPECT_EXIT(
        {
            defaultSegv();
            p[47] = 1;
            fprintf(stderr, "last byte written\n");
            p[48] = 1;
            fprintf(stderr, "past the end written\n");
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), "last byte written\n$");
    qor_allocator_t f = make(QOR_ALLOC_PAGE_GUARD, 20, 2);
    char* b = static_cast<char*>(qor_alloc(f));
    qor_free(b);
    EXPECT_EXIT(
        {
            defaultSegv();
            fprintf(stderr, "reading a free block\n");
            volatile char c = b[0];
            (void)c;
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), "reading a free block\n$");
    qor_allocator_gc(a);
    destroy(a);
    destroy(f);
}

// The three checkpoints of an end guard: the next allocation, a free and a
// garbage collection each look at every allocated block.
TEST_F(BlockAllocatorDeathTest, DamagedEndGuardIsCaught)
{
    const char* kDamaged = "Damaged end guard of 0x[0-9a-f]+ for allocator "
                           "plugin.urc\n";
    qor_allocator_t a =
        make(QOR_ALLOC_END_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 32, 4);
    char* p = static_cast<char*>(qor_alloc_var(a, 32));
    char* q = static_cast<char*>(qor_alloc_var(a, 32));
    EXPECT_EXIT(
        {
            defaultSegv();
            p[32] ^= 1;
            qor_alloc_var(a, 8);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), kDamaged);
    EXPECT_EXIT(
        {
            defaultSegv();
            p[35] = 0;
            qor_free(q);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), kDamaged);
    EXPECT_EXIT(
        {
            defaultSegv();
            p[40] = 0;
            qor_allocator_gc(a);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), kDamaged);
    qor_allocator_t f =
        make(QOR_ALLOC_END_GUARD | QOR_ALLOC_NOLOCK, 20, 2, kNoText);
    char* b = static_cast<char*>(qor_alloc(f));
    EXPECT_EXIT(
        {
            defaultSegv();
            b[20] = 0;
            qor_alloc(f);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV),
        "Damaged end guard of .* for allocator <unknown>\n");
    // Untouched, nothing is reported.
    qor_free(q);
    qor_free(p);
    qor_free(b);
    destroy(a);
    destroy(f);
}

TEST_F(BlockAllocatorDeathTest, GuardCheckerThreadFindsDamage)
{
    qor_allocator_t a = make(
        QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 16, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 16));
    EXPECT_EXIT(
        {
            defaultSegv();
            // The default period is 30 seconds: shortening it wakes the
            // thread, which then passes every 20 ms.
            p[16] = 0;
            qor_alloc_set_guard_checker_period(a, 0, 20000000);
            sleep(20);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), "Damaged end guard");
    qor_free(p);
    destroy(a);
}

TEST_F(BlockAllocatorDeathTest, DoubleFreeAndForeignBlocksAreReported)
{
    qor_allocator_t a =
        make(QOR_ALLOC_END_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 16, 2);
    void* p = qor_alloc_var(a, 16);
    qor_free(p);
    EXPECT_EXIT(
        {
            defaultSegv();
            qor_free(p);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV),
        "Double free of 0x[0-9a-f]+ for allocator plugin.urc\n");

    // A block that names the allocator but was never one of its blocks.
    std::vector<void*> forged(8 + 16 / sizeof(void*), nullptr);
    forged[3] = a;
    void* f = &forged[4];
    EXPECT_EXIT(
        {
            defaultSegv();
            qor_free(f);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV),
        "Freeing memory of wrong type 0x[0-9a-f]+ for allocator plugin.urc\n");

    qor_allocator_t s = make(QOR_ALLOC_STATS | QOR_ALLOC_NOLOCK, 16, 2,
                             kNoText);
    void* b = qor_alloc(s);
    qor_allocator_gc(s);
    EXPECT_EXIT(
        {
            defaultSegv();
            qor_free(b);
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV),
        "Double free of 0x[0-9a-f]+ for allocator <unknown>\n");
    destroy(a);
    destroy(s);
}

TEST_F(BlockAllocatorDeathTest, HeaderNamingAnotherAllocatorIsFatal)
{
    // The word before the block leads to an allocator (through a pointer to
    // it) but is not that allocator itself.
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_NOLOCK, 16, 1);
    void* indirect = a;
    std::vector<void*> forged(8, nullptr);
    forged[3] = &indirect;
    void* f = &forged[4];
    EXPECT_DEATH(qor_free(f),
                 "Assertion failed at .*qorblockallocator.cpp:[0-9]+: "
                 "allocator == \\(\\(qor_alloc_header_t\\*\\)alloc\\)"
                 "->allocator\n");
    destroy(a);
}

}  // namespace
