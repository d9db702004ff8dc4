// Tests of the expiring list: newest-first order, removal anywhere, owned
// and unowned entries, and the cleaner that ages entries out down to the
// minimum.
#include "core/memory/qorexpiringlist.h"

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <gtest/gtest.h>
#include "core/memory/qorcountingallocator.h"

namespace {

// Counts live instances so that tests can see deletions.
struct Tracked {
    static std::atomic<int> live;
    explicit Tracked(int v)
        : value(v)
    {
        live++;
    }
    ~Tracked() { live--; }
    int value;
};
std::atomic<int> Tracked::live{0};

typedef QORExpiringList<Tracked> List;

// An entry owning a new Tracked, stamped as given.
List::Entry* entryOf(QORAllocator* a, int value, time_t stamp)
{
    return new (a) List::Entry(qor_new<Tracked>(a, value), true, stamp);
}

// Removes the newest entry, deletes it and returns its value (-1: none).
int takeNewest(List& list)
{
    List::Entry* e = list.remove();
    if (e == nullptr)
        return -1;
    int value = e->object()->value;
    delete e;
    return value;
}

// Polls cond every 20 ms for up to seconds; true once it holds.
template <class Cond>
bool eventually(Cond cond, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        usleep(20000);
    }
    return cond();
}

} // namespace

TEST(QORExpiringListTest, AddAndRemoveAreNewestFirst)
{
    QORCountingAllocator counting;
    {
        List list(true, &counting);
        ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
        EXPECT_EQ(nullptr, list.remove());
        for (int i = 1; i <= 3; i++)
            list.add(entryOf(&counting, i, 100));
        EXPECT_EQ(3u, list.entries());
        List::Entry* e = list.remove();
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(3, e->object()->value);
        Tracked* t = e->detach();
        EXPECT_EQ(nullptr, e->object());
        delete e;   // detached: the object survives
        EXPECT_EQ(3, t->value);
        qor_delete(t);
        list.add(entryOf(&counting, 4, 100));
        List::Entry* four = list.remove();
        ASSERT_NE(nullptr, four);
        EXPECT_EQ(4, four->object()->value);
        EXPECT_EQ(3, Tracked::live);   // removed, not deleted
        EXPECT_EQ(2u, list.entries());
        delete four;
        EXPECT_EQ(2, Tracked::live);
        list.add(entryOf(&counting, 5, 100));
    }
    // Entries 1, 2 and 5 died with the list, back into their allocator.
    EXPECT_EQ(0, Tracked::live);
    EXPECT_EQ(0, counting.live());
}

TEST(QORExpiringListTest, RemoveEntryFromHeadMiddleAndTail)
{
    QORCountingAllocator counting;
    List list(true, &counting);
    ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
    List::Entry* e[5];
    for (int i = 0; i < 5; i++) {
        e[i] = entryOf(&counting, i, 100);
        list.add(e[i]);
    }
    list.removeEntry(e[2]);   // middle
    list.removeEntry(e[4]);   // head (newest)
    list.removeEntry(e[0]);   // tail (oldest)
    EXPECT_EQ(2u, list.entries());
    EXPECT_EQ(3, takeNewest(list));
    EXPECT_EQ(1, takeNewest(list));
    EXPECT_EQ(-1, takeNewest(list));
    // The list is usable again after running empty.
    list.add(e[2]);
    EXPECT_EQ(e[2], list.remove());
    delete e[0];
    delete e[2];
    delete e[4];
    EXPECT_EQ(0, counting.live());
    EXPECT_EQ(0, Tracked::live);
}

TEST(QORExpiringListTest, ClearDeletesOwnedEntriesOnly)
{
    QORCountingAllocator counting;
    List owning(true, &counting);
    ASSERT_EQ(qor_s_ok, owning.initialize(0, 0));
    for (int i = 0; i < 4; i++)
        owning.add(entryOf(&counting, i, 1));
    owning.clear();
    EXPECT_EQ(0u, owning.entries());
    EXPECT_EQ(nullptr, owning.remove());
    EXPECT_EQ(0, counting.live());
    EXPECT_EQ(0, Tracked::live);

    List::Entry* kept = entryOf(&counting, 9, 1);
    {
        List unowning(false, &counting);
        ASSERT_EQ(qor_s_ok, unowning.initialize(0, 0));
        unowning.add(kept);
        unowning.clear();
        EXPECT_EQ(0u, unowning.entries());
        unowning.add(kept);
    }
    EXPECT_EQ(9, kept->object()->value);
    delete kept;
    EXPECT_EQ(0, counting.live());
}

TEST(QORExpiringListTest, NewEntryIsStampedWithTheListTimeInItsAllocator)
{
    QORCountingAllocator counting;
    List list(true, &counting);
    ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
    time_t before = time(nullptr);
    List::Entry* e = list.newEntry(qor_new<Tracked>(nullptr, 7), true);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(1, counting.allocations);
    EXPECT_EQ(&counting, QORAllocated::allocatorOf(e));
    EXPECT_GE(e->stamp(), before);
    EXPECT_LE(e->stamp(), time(nullptr));
    EXPECT_EQ(list.time(), e->stamp());
    list.add(e);
    list.clear();
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
    // Five stale entries, then two fresh ones far in the future.
    list.lock();
    for (int i = 0; i < 5; i++)
        list.add(entryOf(nullptr, i, now - 100 + i));
    list.add(entryOf(nullptr, 10, now + 3600));
    list.add(entryOf(nullptr, 11, now + 3600));
    list.unlock();
    EXPECT_TRUE(eventually([&] { return Tracked::live == 2; }, 10));
    list.lock();
    EXPECT_EQ(2u, list.entries());
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
    list.add(entryOf(nullptr, 2, now - 100));    // stale but behind a fresh one
    list.add(entryOf(nullptr, 3, now - 100));
    list.add(entryOf(nullptr, 4, now - 100));
    list.unlock();
    EXPECT_TRUE(eventually([&] { return Tracked::live == 4; }, 10));
    // Several more rounds change nothing.
    sleep(2);
    EXPECT_EQ(4, Tracked::live);
    list.lock();
    EXPECT_EQ(4u, list.entries());
    list.unlock();

    // All stale and only the minimum left: nothing goes.
    List small(true, nullptr);
    ASSERT_EQ(qor_s_ok, small.initialize(1, 3));
    small.lock();
    for (int i = 0; i < 3; i++)
        small.add(entryOf(nullptr, 20 + i, now - 1000));
    small.unlock();
    sleep(2);
    EXPECT_EQ(7, Tracked::live);
}

TEST(QORExpiringListTest, WithoutTimeoutNothingExpires)
{
    {
        List list(true, nullptr);
        ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
        list.add(entryOf(nullptr, 1, 0));
        sleep(1);
        EXPECT_EQ(1u, list.entries());
        EXPECT_EQ(1, Tracked::live);
    }
    EXPECT_EQ(0, Tracked::live);
}

TEST(QORExpiringListTest, DestroyingStopsASleepingCleanerAtOnce)
{
    auto started = std::chrono::steady_clock::now();
    {
        List list(true, nullptr);
        ASSERT_EQ(qor_s_ok, list.initialize(3600, 0));
        list.lock();
        list.add(entryOf(nullptr, 1, list.time()));
        list.unlock();
        usleep(100000);   // let the cleaner reach its sleep
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(0, Tracked::live);
}
