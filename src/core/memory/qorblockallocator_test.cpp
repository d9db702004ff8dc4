// qorblockallocator_test.cpp: block lists, growth, garbage collection,
// statistics and the debugging modes of the block allocator; faults it
// raises on purpose are checked in death tests.
#include "core/memory/qorblockallocator.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include "core/svc/qorsvcroute.h"
#include "qortestalloc.h"
#include "qortestdir.h"

namespace {

const unsigned kUrc = 0x35f02fa9;        // "plugin.urc"
const unsigned kNoText = 0x35f02ffe;     // no catalogue text

qor_allocator_t make(unsigned flags, unsigned blockSize, unsigned blocks,
                     unsigned memoryType = kUrc, const char* name = nullptr,
                     const void* pattern = nullptr, unsigned patternLength = 0)
{
    qor_allocator_t a = nullptr;
    QORStatus st = 1;
    qor_allocator_new(flags, memoryType, name, blockSize, blocks, &a, &st, pattern, patternLength);
    EXPECT_EQ(st, qor_s_ok);
    return a;
}

void destroy(qor_allocator_t a)
{
    QORStatus st = 1;
    qor_allocator_delete(a, &st);
    EXPECT_EQ(st, qor_s_ok);
}

// The twelve lines of qor_allocator_dump_stats, by label; each value starts
// in the same column.
std::map<std::string, long> dumpStats(qor_allocator_t a)
{
    std::istringstream in(qor_test_alloc_stats(a));
    std::map<std::string, long> values;
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        EXPECT_EQ(line.find_first_not_of(' ', colon + 1), 20u) << line;
        values[line.substr(0, colon)] = std::stol(line.substr(colon + 1));
    }
    return values;
}

// A fault the allocator raises on purpose kills the process with SIGSEGV.
// The child puts the default action back first: a sanitizer build installs
// its own handler that would turn the signal into an exit code.
#define EXPECT_SEGV(statements, message)                                     \
    EXPECT_EXIT(                                                             \
        {                                                                    \
            signal(SIGSEGV, SIG_DFL);                                        \
            statements;                                                      \
            _exit(0);                                                        \
        },                                                                   \
        testing::KilledBySignal(SIGSEGV), message)
// The end of a child's output. Under the 32-bit build's emulator the
// emulator reports the child's signal on a line of its own after it.
#define DEATH_OUTPUT_END "(qemu: [^\n]*\n)?$"

class BlockAllocatorTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { qor_allocator_stats_shutdown(); }
};

using BlockAllocatorDeathTest = BlockAllocatorTest;

TEST_F(BlockAllocatorTest, BlocksNameTheirAllocatorInTheWordBeforeThem)
{
    qor_allocator_t fixed = make(QOR_ALLOC_NOLOCK, 24, 2);
    qor_allocator_t var = make(QOR_ALLOC_VARIABLE, 24, 2);
    void* f = qor_alloc(fixed);
    void* v = qor_alloc_var(var, 10);
    ASSERT_TRUE(f && v);
    EXPECT_EQ(qor_test_allocator_word(f), fixed);
    EXPECT_EQ(qor_test_allocator_word(v), var);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % alignof(void*), 0u);
    qor_free(f);
    qor_free(v);
    destroy(fixed);
    destroy(var);
    // A null handle: heap blocks with a zero allocator word.
    void* h = qor_alloc_var(nullptr, 40);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qor_test_allocator_word(h), nullptr);
    memset(h, 7, 40);
    h = qor_realloc_var(h, 4000);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(h)[39], 7);
    void* hd = qor_alloc_dup(h);
    EXPECT_EQ(memcmp(hd, h, 4000), 0);
    for (void* block : {hd, h, (void*)nullptr})
        qor_free(block);
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
        {QOR_ALLOC_CUSTOM_PATTERN, QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_END_GUARD},
        {QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_NOLOCK, QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_END_GUARD},
        {QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_END_GUARD,
         QOR_ALLOC_PAGE_GUARD},
        {QOR_ALLOC_NOLOCK | QOR_ALLOC_STATS, QOR_ALLOC_NOLOCK | QOR_ALLOC_STATS},
    };
    for (auto& c : cases) {
        qor_allocator_t a = make(c.given, 8, 1);
        EXPECT_EQ(qor_allocator_flags(a), c.applied) << std::hex << c.given;
        destroy(a);
    }
}

// Without GROW an allocator serves exactly its blocks, the last one freed
// first; a collection frees them all and the same blocks serve again.
TEST_F(BlockAllocatorTest, FreedAndCollectedBlocksAreReusedWithoutTheHeap)
{
    for (unsigned flags : {QOR_ALLOC_VARIABLE | QOR_ALLOC_NOLOCK,
                           QOR_ALLOC_VARIABLE | QOR_ALLOC_STATS,
                           QOR_ALLOC_VARIABLE | QOR_ALLOC_END_GUARD, QOR_ALLOC_NOLOCK}) {
        qor_allocator_t a = make(flags, 48, 6);
        auto take = [a, flags] {
            return (flags & QOR_ALLOC_VARIABLE) ? qor_alloc_var(a, 48) : qor_alloc(a);
        };
        std::vector<void*> first;
        for (int i = 0; i < 6; i++) {
            first.push_back(take());
            ASSERT_NE(first.back(), nullptr);
            memset(first.back(), i, 48);
        }
        EXPECT_EQ(take(), nullptr);
        qor_free(first[2]);
        qor_free(first[4]);
        EXPECT_EQ(take(), first[4]) << std::hex << flags;
        EXPECT_EQ(take(), first[2]);
        qor_allocator_gc(a);
        std::set<void*> again;
        for (int i = 0; i < 6; i++)
            again.insert(take());
        EXPECT_EQ(again, std::set<void*>(first.begin(), first.end()));
        qor_allocator_gc(a);
        destroy(a);
    }
}

// CHECK_EMPTY refuses the deletion while the block is out, and the
// allocator stays usable.
TEST_F(BlockAllocatorTest, VariableBlockGrowsForALargerRequest)
{
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_NOLOCK | QOR_ALLOC_CHECK_EMPTY, 16, 1);
    char* p = static_cast<char*>(qor_alloc_var(a, 1000));
    ASSERT_NE(p, nullptr);
    memset(p, 'x', 1000);
    EXPECT_EQ(qor_alloc_dup(p), nullptr);   // the only block is taken, no GROW
    QORStatus st = 0;
    qor_allocator_delete(a, &st);
    EXPECT_EQ(st, qor_s_alloc_outstanding);
    qor_free(p);
    // The enlarged block serves a smaller request again, all of it usable.
    char* q = static_cast<char*>(qor_alloc_var(a, 900));
    EXPECT_EQ(q, p);
    memset(q, 'y', 1000);
    qor_free(q);
    destroy(a);
}

TEST_F(BlockAllocatorTest, ReallocKeepsLargeEnoughBlocksAndGrowsOthers)
{
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_END_GUARD, 64, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 64));
    memset(p, 'a', 64);
    EXPECT_EQ(qor_realloc_var(p, 10), p);
    char* q = static_cast<char*>(qor_realloc_var(p, 5000));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::string(q, 64), std::string(64, 'a'));
    memset(q, 'b', 5000);   // the end guard must follow the new size
    char* d = static_cast<char*>(qor_alloc_dup(q));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(qor_test_allocator_word(d), a);
    EXPECT_EQ(memcmp(d, q, 5000), 0);
    EXPECT_EQ(qor_realloc_var(d, 0), nullptr);
    qor_free(q);
    destroy(a);
}

// The third allocation finds no free block and grows the allocator by ten.
TEST_F(BlockAllocatorTest, StatisticsFollowAllocationGrowthFreeAndGc)
{
    qor_allocator_t a = make(QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_STATS, 32, 2);
    void* p = qor_alloc_var(a, 10);
    void* q = qor_alloc_var(a, 100);   // enlarged to 100
    void* r = qor_alloc_var(a, 20);
    ASSERT_TRUE(p && q && r);
    EXPECT_EQ(dumpStats(a)["blocks available"], 2 + 10 - 3);
    qor_free(p);
    qor_allocator_gc(a);
    std::map<std::string, long> expected = {
        {"min block size", 32},   {"max block size", 100},     {"blocks available", 12},
        {"blocks allocated", 3},  {"blocks freed", 1},         {"blocks gced", 2},
        {"blocks outstanding", 0}, {"bytes available", 32 * 11 + 100},
        {"bytes allocated", 164}, {"bytes freed", 32},         {"bytes gced", 132},
        {"bytes outstanding", 0}};
    EXPECT_EQ(dumpStats(a), expected);
    destroy(a);
}

TEST_F(BlockAllocatorTest, ReporterWritesTwelveLinesPerAllocator)
{
    QORTestDir dir("memtypes");
    ASSERT_TRUE(dir.ok());
    std::string log = dir.file("memtypes.log");
    dx_svc_shutdown();
    QORStatus st;
    dx_svc_debug_routing(("pic:UTF8FILE:" + log).c_str(), &st);
    ASSERT_EQ(st, qor_s_ok);

    // Blank and '!' become '-', '_' stays, other bytes are spelt in hex.
    qor_allocator_t named = make(QOR_ALLOC_STATS | QOR_ALLOC_NAMED, 16, 3, kUrc, "a b!c_d\x01");
    qor_allocator_t anon = make(QOR_ALLOC_STATS, 8, 1, kNoText);
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_memory_types), 1u);
    qor_alloc(named);
    const char* const expected[] = {
        "plugin.urc.a-b-c_dx01: blocks outstanding: 1", "plugin.urc.a-b-c_dx01: bytes available:    32",
        "<unknown>: min block size:     0", "<unknown>: bytes outstanding:  0"};
    auto allWritten = [&] {
        dx_svc_flush();
        return qor_test_file_holds(log, expected);
    };
    qor_allocator_set_stats_period(1);
    EXPECT_TRUE(qor_test_wait_until(allWritten)) << qor_test_read_file(log);
    qor_allocator_stats_shutdown();
    qor_allocator_gc(named);
    destroy(named);
    destroy(anon);
    dx_svc_shutdown();
}

// Threads allocate, check, grow and free blocks of their own; CHECK_EMPTY
// makes the deletion fail if any block was lost.
TEST_F(BlockAllocatorTest, LockingAllocatorServesManyThreads)
{
    qor_allocator_t a = make(
        QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_CHECK_EMPTY | QOR_ALLOC_STATS, 32, 4);
    std::vector<std::thread> threads;
    std::vector<int> damaged(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([a, t, &damaged] {
            std::vector<unsigned char*> held;
            for (int i = 0; i < 2000; i++) {
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
                    damaged[t] += old[0] != t || old[7] != t;
                    old = static_cast<unsigned char*>(qor_realloc_var(old, 200));
                    damaged[t] += old == nullptr || old[0] != t;
                    qor_free(old);
                }
            }
            for (unsigned char* p : held)
                qor_free(p);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(damaged, std::vector<int>(4, 0));
    auto s = dumpStats(a);
    EXPECT_EQ(s["blocks outstanding"], 0);
    EXPECT_EQ(s["blocks allocated"], s["blocks freed"]);
    destroy(a);
}

TEST_F(BlockAllocatorTest, GuardCheckerStopsPromptlyOnDelete)
{
    qor_allocator_t a = make(QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_NOLOCK | QOR_ALLOC_GROW, 16, 2);
    qor_alloc(a);
    qor_alloc_set_guard_checker_period(a, 0, 20000000);
    usleep(100000);   // a few clean passes
    time_t before = time(nullptr);
    qor_allocator_gc(a);
    destroy(a);
    // The checker sleeps 20 s between passes: a delete that waited for the
    // next pass would take that long. 10 s leaves a loaded machine room.
    EXPECT_LE(time(nullptr) - before, 10);
}

// Page-guarded data ends at a page boundary (reached through the header,
// not the allocator word) for every size it is given; past it, and in a
// free block, the process faults.
TEST_F(BlockAllocatorDeathTest, PageGuardedBlocksEndAtAnInaccessiblePage)
{
    long page = sysconf(_SC_PAGESIZE);
    auto endsOnPage = [page](char* p, size_t size) {
        return reinterpret_cast<uintptr_t>(p + size) % page == 0;
    };
    qor_allocator_t a = make(QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 64, 2);
    char* p = static_cast<char*>(qor_alloc_var(a, 64));
    ASSERT_NE(p, nullptr);
    EXPECT_NE(qor_test_allocator_word(p), static_cast<void*>(a));
    memset(p, 'p', 64);
    EXPECT_TRUE(endsOnPage(p, 64));
    char* q = static_cast<char*>(qor_realloc_var(p, 10000));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::string(q, 64), std::string(64, 'p'));
    memset(q, 'q', 10000);
    EXPECT_TRUE(endsOnPage(q, 10000));
    char* d = static_cast<char*>(qor_alloc_dup(q));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(memcmp(d, q, 10000), 0);
    qor_free(d);
    qor_allocator_gc(a);
    char* r = static_cast<char*>(qor_alloc_var(a, 48));   // a reused block
    memset(r, 'r', 48);
    EXPECT_TRUE(endsOnPage(r, 48));
    EXPECT_SEGV(r[47] = 1; fprintf(stderr, "last byte written\n"); r[48] = 1,
                "last byte written\n" DEATH_OUTPUT_END);

    qor_allocator_t f = make(QOR_ALLOC_PAGE_GUARD, 100, 1);
    char* b = static_cast<char*>(qor_alloc(f));
    memset(b, 1, 100);
    EXPECT_EQ(qor_alloc(f), nullptr);
    qor_free(b);
    EXPECT_SEGV(fprintf(stderr, "reading a free block\n"); volatile char c = b[0]; (void)c,
                "reading a free block\n" DEATH_OUTPUT_END);
    qor_allocator_gc(a);
    destroy(f);
    destroy(a);
}

// The next allocation, a free, a garbage collection and the guard thread
// each look at every allocated block; a custom pattern is the one compared.
TEST_F(BlockAllocatorDeathTest, DamagedEndGuardIsCaught)
{
    const char* kDamaged = "Damaged end guard of 0x[0-9a-f]+ for allocator plugin.urc\n";
    qor_allocator_t a = make(QOR_ALLOC_END_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 32, 4);
    char* p = static_cast<char*>(qor_alloc_var(a, 32));
    char* q = static_cast<char*>(qor_alloc_var(a, 32));
    EXPECT_SEGV(p[32] ^= 1; qor_alloc_var(a, 8), kDamaged);
    EXPECT_SEGV(p[35] = 0; qor_free(q), kDamaged);
    EXPECT_SEGV(p[40] = 0; qor_allocator_gc(a), kDamaged);
    EXPECT_SEGV(p[47] = 0; qor_realloc_var(q, 100), kDamaged);
    qor_allocator_t f = make(QOR_ALLOC_END_GUARD | QOR_ALLOC_NOLOCK, 20, 2, kNoText);
    char* b = static_cast<char*>(qor_alloc(f));
    EXPECT_SEGV(b[20] = 0; qor_alloc(f), "Damaged end guard of .* for allocator <unknown>\n");

    const char pattern[] = "QORZ";
    qor_allocator_t c = make(QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW,
                             16, 2, kUrc, nullptr, pattern, 4);
    char* r = static_cast<char*>(qor_alloc_var(c, 16));
    memcpy(r + 16, pattern, 4);   // the pattern's own bytes are no damage
    qor_free(qor_alloc_var(c, 16));
    EXPECT_SEGV(r[19] = 'Y'; qor_alloc_var(c, 16), kDamaged);

    qor_allocator_t t = make(QOR_ALLOC_GUARD_THREAD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 16, 2);
    char* g = static_cast<char*>(qor_alloc_var(t, 16));
    // Shortening the default 30 s period wakes the thread, which then
    // passes every 20 ms.
    EXPECT_SEGV(g[16] = 0; qor_alloc_set_guard_checker_period(t, 0, 20000000); sleep(20),
                "Damaged end guard");
    // Untouched, nothing is reported.
    for (void* block : {(void*)q, (void*)p, (void*)b, (void*)r, (void*)g})
        qor_free(block);
    for (qor_allocator_t x : {a, f, c, t})
        destroy(x);
}

// A forged header: one naming the allocator that was never its block, one
// whose word leads to an allocator (through a pointer to it) but is not
// that allocator itself.
TEST_F(BlockAllocatorDeathTest, DoubleFreeAndForgedHeadersAreFatal)
{
    qor_allocator_t a = make(QOR_ALLOC_END_GUARD | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW, 16, 2);
    void* p = qor_alloc_var(a, 16);
    qor_free(p);
    EXPECT_SEGV(qor_free(p), "Double free of 0x[0-9a-f]+ for allocator plugin.urc\n");
    std::vector<void*> forged(8 + 16 / sizeof(void*), nullptr);
    forged[3] = a;
    EXPECT_SEGV(qor_free(&forged[4]),
                "Freeing memory of wrong type 0x[0-9a-f]+ for allocator plugin.urc\n");
    void* indirect = a;
    forged[3] = &indirect;
    EXPECT_DEATH(qor_free(&forged[4]), "Assertion failed at .*qorblockallocator.cpp:[0-9]+: "
                                       "allocator == \\(\\(qor_alloc_header_t\\*\\)alloc\\)"
                                       "->allocator\n");
    // Statistics alone also make frees check; a collected block is free.
    qor_allocator_t s = make(QOR_ALLOC_STATS | QOR_ALLOC_NOLOCK, 16, 2, kNoText);
    void* b = qor_alloc(s);
    qor_allocator_gc(s);
    EXPECT_SEGV(qor_free(b), "Double free of 0x[0-9a-f]+ for allocator <unknown>\n");
    destroy(a);
    destroy(s);
}

}  // namespace
