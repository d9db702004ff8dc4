// Tests of the expiring list: newest-first order, removal anywhere, owned
// and unowned entries, and the cleaner that ages entries out, oldest first,
// down to the minimum.
#include "core/memory/qorexpiringlist.h"

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include "core/memory/qorcountingallocator.h"

namespace {

// Counts live instances so that tests see deletions; with a delay, dying
// takes time and passes a cancellation point (usleep).
struct Tracked {
    static std::atomic<int> live;
    static std::atomic<int> delayMicros;
    explicit Tracked(int v)
        : value(v)
    {
        live++;
    }
    ~Tracked()
    {
        if (delayMicros > 0)
            usleep(delayMicros);
        live--;
    }
    int value;
};
std::atomic<int> Tracked::live{0};
std::atomic<int> Tracked::delayMicros{0};

typedef QORExpiringList<Tracked> List;

List::Entry* entryOf(QORAllocator* a, int value, time_t stamp)
{
    return new (a) List::Entry(qor_new<Tracked>(a, value), true, stamp);
}

// Removes the newest entry, deletes it and returns its value (-1: none).
int takeNewest(List& list)
{
    List::Entry* e = list.remove();
    int value = e ? e->object()->value : -1;
    delete e;
    return value;
}

bool liveBecomes(int n, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (Tracked::live != n && std::chrono::steady_clock::now() < end)
        usleep(20000);
    return Tracked::live == n;
}

} // namespace

TEST(QORExpiringListTest, NewestFirstRemovalAnywhereAndClear)
{
    QORCountingAllocator counting;
    {
        List list(true, &counting);
        ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
        EXPECT_EQ(-1, takeNewest(list));
        List::Entry* e[5];
        for (int i = 0; i < 5; i++)
            list.add(e[i] = entryOf(&counting, i, 100));
        list.removeEntry(e[2]);   // middle
        list.removeEntry(e[4]);   // newest
        list.removeEntry(e[0]);   // oldest
        EXPECT_EQ(2u, list.entries());
        delete e[2];
        delete e[4];
        EXPECT_EQ(3, takeNewest(list));
        list.add(e[0]);   // usable again after an unlink at either end
        EXPECT_EQ(2u, list.entries());
        // A detached object outlives its entry.
        List::Entry* first = list.remove();
        Tracked* t = first->detach();
        EXPECT_EQ(nullptr, first->object());
        delete first;
        EXPECT_EQ(0, t->value);
        qor_delete(t);
        list.add(entryOf(&counting, 7, 100));
        list.clear();
        EXPECT_EQ(0u, list.entries());
        EXPECT_EQ(0, Tracked::live);
        list.add(entryOf(&counting, 8, 100));
    }
    // The list's destructor clears; everything went back to the allocator.
    EXPECT_EQ(0, Tracked::live);
    EXPECT_EQ(0, counting.live());
}

TEST(QORExpiringListTest, UnownedEntriesAreOnlyUnlinked)
{
    List::Entry* kept = entryOf(nullptr, 9, 1);
    {
        List list(false, nullptr);
        ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
        list.add(kept);
        list.clear();
        EXPECT_EQ(0u, list.entries());
        list.add(kept);
    }
    EXPECT_EQ(9, kept->object()->value);
    delete kept;
    EXPECT_EQ(0, Tracked::live);
}

TEST(QORExpiringListTest, NewEntryIsStampedWithTheListTimeInItsAllocator)
{
    QORCountingAllocator counting;
    List list(true, &counting);
    ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
    time_t before = time(nullptr);
    List::Entry* e = list.newEntry(qor_new<Tracked>(nullptr, 7), true);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(&counting, QORAllocated::allocatorOf(e));
    EXPECT_GE(e->stamp(), before);
    EXPECT_EQ(list.time(), e->stamp());
    delete e;
    EXPECT_EQ(0, counting.live());
    EXPECT_EQ(0, Tracked::live);
    counting.failAfter = 0;
    Tracked* orphan = qor_new<Tracked>(nullptr, 8);
    EXPECT_EQ(nullptr, list.newEntry(orphan, true));
    qor_delete(orphan);
}

TEST(QORExpiringListTest, CleanerExpiresOldestDownToTheMinimum)
{
    List list(true, nullptr);
    ASSERT_EQ(qor_s_ok, list.initialize(1, 2));
    time_t now = list.time();
    list.lock();
    for (int i = 0; i < 5; i++)
        list.add(entryOf(nullptr, i, now - 100 + i));
    list.add(entryOf(nullptr, 10, now + 3600));
    list.add(entryOf(nullptr, 11, now + 3600));
    list.unlock();
    EXPECT_TRUE(liveBecomes(2, 10));
    list.lock();
    EXPECT_EQ(11, takeNewest(list));
    EXPECT_EQ(10, takeNewest(list));
    list.unlock();
}

TEST(QORExpiringListTest, CleanerStopsAtTheFirstFreshEntryAndKeepsTheMinimum)
{
    List list(true, nullptr);
    ASSERT_EQ(qor_s_ok, list.initialize(1, 3));
    time_t now = list.time();
    list.lock();
    list.add(entryOf(nullptr, 0, now - 100));    // oldest, stale
    list.add(entryOf(nullptr, 1, now + 3600));   // fresh: the cleaner stops here
    for (int i = 2; i < 5; i++)
        list.add(entryOf(nullptr, i, now - 100));   // stale, behind a fresh one
    list.unlock();
    EXPECT_TRUE(liveBecomes(4, 10));

    // All stale and only the minimum left: nothing goes.
    List small(true, nullptr);
    ASSERT_EQ(qor_s_ok, small.initialize(1, 3));
    small.lock();
    for (int i = 0; i < 3; i++)
        small.add(entryOf(nullptr, 20 + i, now - 1000));
    small.unlock();
    sleep(2);   // two more rounds of both cleaners
    EXPECT_EQ(7, Tracked::live);
    list.lock();
    EXPECT_EQ(4u, list.entries());
    list.unlock();
}

// Destroying the list while the cleaner deletes: the cancellation waits for
// the end of the round (an object's destructor is not cut short), then the
// list deletes what is left; nothing is deleted twice or leaked.
TEST(QORExpiringListTest, DestroyedWhileTheCleanerDeletes)
{
    Tracked::delayMicros = 2000;
    List* list = new List(true, nullptr);
    ASSERT_EQ(qor_s_ok, list->initialize(1, 0));
    time_t now = list->time();
    list->lock();
    for (int i = 0; i < 300; i++)
        list->add(entryOf(nullptr, i, now - 100));
    list->unlock();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Tracked::live == 300 && std::chrono::steady_clock::now() < end)
        usleep(5000);
    int atCancel = Tracked::live;
    delete list;
    Tracked::delayMicros = 0;
    EXPECT_GT(atCancel, 0);
    EXPECT_LT(atCancel, 300);
    EXPECT_EQ(0, Tracked::live);
}
