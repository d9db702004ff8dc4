// qorcachingallocator_test.cpp: QORCachingAllocator through the allocator
// interface, and the memory-type flags it takes at initialisation. Its
// collection is seen through the pool's reuse of returned allocators.
#include "core/memory/qorcachingallocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include "core/memory/qormemtypeflags.h"
#include "qortestalloc.h"

namespace {

const unsigned kRspParser = 0x35f02f96;   // "plugin.core.rsp-parser"
const unsigned kUrc = 0x35f02fa9;         // "plugin.urc"

class QORCachingAllocatorTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        qor_set_memtype_flags_provider(nullptr);
        qor_allocator_stats_shutdown();
    }
};

TEST_F(QORCachingAllocatorTest, InitializeAddsVariableGrowNamedAndTypeFlags)
{
    QORCachingAllocator plain;
    ASSERT_EQ(plain.initialize(kUrc, QOR_ALLOC_NOLOCK, nullptr, 1, 8), 0u);
    EXPECT_EQ(qor_allocator_flags(plain.handle()),
              QOR_ALLOC_NOLOCK | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW);
    qor_set_memtype_flags_provider(
        [](unsigned type) { return type == kRspParser ? QOR_ALLOC_PAGE_GUARD : 0u; });
    QORCachingAllocator guarded;
    ASSERT_EQ(guarded.initialize(kRspParser, QOR_ALLOC_CHECK_EMPTY, "7", 2, 44), 0u);
    EXPECT_EQ(qor_allocator_flags(guarded.handle()),
              QOR_ALLOC_CHECK_EMPTY | QOR_ALLOC_VARIABLE | QOR_ALLOC_GROW | QOR_ALLOC_NAMED |
                  QOR_ALLOC_PAGE_GUARD);
    char* p = static_cast<char*>(QORAllocator::allocate(&guarded, 44));
    memset(p, 0, 44);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p + 44) % sysconf(_SC_PAGESIZE), 0u);
    QORCachingAllocator other;
    ASSERT_EQ(other.initialize(kUrc, 0, nullptr, 1, 8), 0u);
    EXPECT_EQ(qor_allocator_flags(other.handle()) & QOR_ALLOC_PAGE_GUARD, 0u);
    // Destruction collects first, so CHECK_EMPTY does not stop it.
}

TEST_F(QORCachingAllocatorTest, ReallocateDuplicateAndObjects)
{
    QORCachingAllocator a;
    // Until initialized it serves from the heap.
    void* heap = QORAllocator::allocate(&a, 30);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(qor_test_allocator_word(heap), nullptr);
    heap = QORAllocator::reallocate(&a, heap, 30, 3000);
    memset(heap, 1, 3000);
    a.garbageCollect();   // nothing to collect
    QORAllocator::deallocate(&a, heap);
    ASSERT_EQ(a.initialize(kUrc, QOR_ALLOC_STATS, nullptr, 2, 32), 0u);
    // Objects live in its memory.
    struct Pair {
        int a;
        int b;
    };
    Pair* pair = qor_new<Pair>(&a, Pair{1, 2});
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->b, 2);
    qor_delete(pair);
    std::string out = qor_test_alloc_stats(a.handle());
    EXPECT_NE(out.find("blocks freed:       1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("blocks outstanding: 0\n"), std::string::npos);
    char* p = static_cast<char*>(QORAllocator::reallocate(&a, nullptr, 0, 20));
    ASSERT_NE(p, nullptr);
    strcpy(p, "nineteen characters");
    EXPECT_EQ(QORAllocator::reallocate(&a, p, 20, 8), p);
    char* q = static_cast<char*>(QORAllocator::reallocate(&a, p, 20, 500));
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "nineteen characters");
    EXPECT_EQ(QORAllocator::reallocate(&a, q, 500, 0), nullptr);
    // Duplicating memory that is no block of ours.
    static const char kText[] = "a literal";
    char* d = static_cast<char*>(QORAllocator::duplicate(&a, kText, sizeof kText));
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, kText);
    EXPECT_EQ(qor_test_allocator_word(d), a.handle());
    EXPECT_EQ(QORAllocator::duplicate(&a, kText, 0), nullptr);
    QORAllocator::deallocate(&a, d);
}

}  // namespace

// With a thread cache: what each step must give back, on one thread and
// across a collection and another thread.
TEST_F(QORCachingAllocatorTest, ThreadCacheReusesOnlyWhatItMay)
{
    QORCachingAllocator a;
    ASSERT_EQ(a.initialize(kUrc, 0, nullptr, 4, 64), qor_s_ok);
    a.enableThreadCache(64);

    // Freed and asked again on the same thread: the same block.
    void* p = QORAllocator::allocate(&a, 40);
    ASSERT_NE(p, nullptr);
    memset(p, 1, 64);   // every block holds the object size
    QORAllocator::deallocate(&a, p);
    EXPECT_EQ(QORAllocator::allocate(&a, 64), p);

    // A larger request never gets the kept block.
    QORAllocator::deallocate(&a, p);
    void* big = QORAllocator::allocate(&a, 500);
    ASSERT_NE(big, nullptr);
    EXPECT_NE(big, p);
    EXPECT_EQ(QORAllocator::allocate(&a, 8), p);

    // A block kept before a collection is never handed out after it: two
    // allocations after the collection must differ.
    QORAllocator::deallocate(&a, p);
    a.garbageCollect();
    void* x = QORAllocator::allocate(&a, 64);
    void* y = QORAllocator::allocate(&a, 64);
    ASSERT_NE(x, nullptr);
    EXPECT_NE(x, y);

    // Another thread does not get this thread's kept block.
    QORAllocator::deallocate(&a, x);
    void* other = nullptr;
    std::thread([&] {
        other = QORAllocator::allocate(&a, 64);
        QORAllocator::deallocate(&a, other);
    }).join();
    EXPECT_NE(other, x);
    EXPECT_EQ(QORAllocator::allocate(&a, 64), x);
}

// The block a thread kept goes back to the allocator when the thread ends.
TEST_F(QORCachingAllocatorTest, ThreadEndGivesItsKeptBlockBack)
{
    QORCachingAllocator a;
    ASSERT_EQ(a.initialize(kUrc, QOR_ALLOC_STATS, nullptr, 2, 64), qor_s_ok);
    a.enableThreadCache(64);
    std::thread([&] { QORAllocator::deallocate(&a, QORAllocator::allocate(&a, 64)); }).join();
    std::string out = qor_test_alloc_stats(a.handle());
    EXPECT_NE(out.find("blocks outstanding: 0\n"), std::string::npos) << out;
}
