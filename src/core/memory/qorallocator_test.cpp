#include "core/memory/qorallocator.h"

#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/memory/qorcountingallocator.h"

namespace {

// Records which default operation ran so the base-class rules can be seen.
class RecordingAllocator : public QORAllocator {
public:
    std::vector<unsigned> allocated;
    int deallocated = 0;

protected:
    void* do_allocate(unsigned size) override
    {
        allocated.push_back(size);
        return malloc(size ? size : 1);
    }
    void do_deallocate(void* p) override
    {
        deallocated++;
        free(p);
    }
};

struct Tracked : public QORAllocated {
    explicit Tracked(int* destroyed) : m_destroyed(destroyed) {}
    virtual ~Tracked() { ++*m_destroyed; }
    int* m_destroyed;
    double payload = 1.5;
};

} // namespace

TEST(QORAllocatorTest, DefaultReallocateAndDuplicate)
{
    RecordingAllocator a;
    // Old size zero (or no block): a fresh allocation.
    char* p = static_cast<char*>(QORAllocator::reallocate(&a, nullptr, 0, 8));
    ASSERT_NE(p, nullptr);
    memcpy(p, "abcdefg", 8);
    // Same or smaller: the same block, nothing allocated.
    EXPECT_EQ(QORAllocator::reallocate(&a, p, 8, 8), p);
    EXPECT_EQ(QORAllocator::reallocate(&a, p, 8, 3), p);
    EXPECT_EQ(a.allocated, std::vector<unsigned>{8});
    // Larger: allocate, copy the old size, free the old block.
    char* q = static_cast<char*>(QORAllocator::reallocate(&a, p, 8, 100));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(a.allocated.back(), 100u);
    EXPECT_EQ(a.deallocated, 1);
    EXPECT_STREQ(q, "abcdefg");
    // New size zero: freed, null returned.
    EXPECT_EQ(QORAllocator::reallocate(&a, q, 100, 0), nullptr);
    EXPECT_EQ(a.deallocated, 2);
    // Duplicates copy; a zero size gives null, from an allocator or the heap.
    const char text[] = "duplicate me";
    for (QORAllocator* which : {static_cast<QORAllocator*>(&a), static_cast<QORAllocator*>(nullptr)}) {
        char* d = static_cast<char*>(QORAllocator::duplicate(which, text, sizeof text));
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d, text);
        EXPECT_EQ(QORAllocator::duplicate(which, text, 0), nullptr);
        QORAllocator::deallocate(which, d);
    }
    EXPECT_EQ(a.allocated.size(), 3u);
    EXPECT_EQ(a.deallocated, 3);
}

TEST(QORAllocatorTest, ObjectsGoBackToTheAllocatorTheyCameFrom)
{
    QORCountingAllocator a;
    QORCountingAllocator b;
    int destroyed = 0;
    Tracked* x = new (&a) Tracked(&destroyed);
    Tracked* y = new (&b) Tracked(&destroyed);
    Tracked* z = new (static_cast<QORAllocator*>(nullptr)) Tracked(&destroyed);
    ASSERT_TRUE(x && y && z);
    EXPECT_EQ(QORAllocated::allocatorOf(x), &a);
    EXPECT_EQ(QORAllocated::allocatorOf(y), &b);
    EXPECT_EQ(QORAllocated::allocatorOf(z), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(x) % alignof(double), 0u);
    delete y;
    delete x;
    delete z;
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(a.live(), 0);
    EXPECT_EQ(b.live(), 0);
    EXPECT_EQ(a.allocations, 1);
    // qor_new serves any type the same way, and fails cleanly.
    Tracked* t = qor_new<Tracked>(&a, &destroyed);
    ASSERT_NE(t, nullptr);
    qor_delete(t);
    EXPECT_EQ(destroyed, 4);
    EXPECT_EQ(a.live(), 0);
    a.failAfter = 0;
    EXPECT_EQ(qor_new<Tracked>(&a, &destroyed), nullptr);
    EXPECT_EQ(new (&a) Tracked(&destroyed), nullptr);
    EXPECT_EQ(destroyed, 4);
}

// An object from plain new handed to qor_delete stops the process with a
// message naming the mistake instead of freeing a bad pointer; so does a
// second qor_delete of the same object.
TEST(QORAllocatedDeathTest, ForeignPointerStopsWithAClearMessage)
{
    EXPECT_DEATH(
        {
            int* p = new int[4]();
            qor_delete(p);
        },
        "did not make \\(plain new\\?\\)");
    EXPECT_DEATH(
        {
            int* p = qor_new<int>(nullptr, 1);
            qor_delete(p);
            qor_delete(p);
        },
        "plain new");
}

