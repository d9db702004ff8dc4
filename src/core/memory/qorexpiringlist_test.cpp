// Tests of the expiring list: newest-first order, removal anywhere, owned
// and unowned entries, and the cleaner that ages entries out, oldest first,
// down to the minimum.
#include "core/memory/qorexpiringlist.h"

#include <unistd.h>
#include <atomic>
#include <memory>
#include <vector>
#include <gtest/gtest.h>
#include "core/memory/qorcountingallocator.h"
#include "qortestdir.h"

namespace {

// Counts live instances so that tests see deletions; with a delay, dying
// takes time and passes a cancellation point (usleep).
struct Tracked {
    static std::atomic<int> live;
    static std::atomic<int> delayMicros;
    explicit Tracked(int v) : value(v) { live++; }
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

unsigned lockedEntries(List& list)
{
    list.lock();
    unsigned n = list.entries();
    list.unlock();
    return n;
}

} // namespace

TEST(QORExpiringListTest, NewestFirstRemovalAnywhereClearAndNewEntries)
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
        delete first;
        EXPECT_EQ(0, t->value);
        qor_delete(t);
        list.add(entryOf(&counting, 7, 100));
        list.clear();
        EXPECT_EQ(0u, list.entries());
        EXPECT_EQ(0, Tracked::live);
        list.add(entryOf(&counting, 8, 100));
        // A new entry is stamped with the list's time, in its allocator.
        time_t before = time(nullptr);
        List::Entry* n = list.newEntry(qor_new<Tracked>(nullptr, 7), true);
        ASSERT_NE(nullptr, n);
        EXPECT_EQ(&counting, QORAllocated::allocatorOf(n));
        EXPECT_GE(n->stamp(), before);
        EXPECT_EQ(list.time(), n->stamp());
        delete n;
        counting.failAfter = 0;
        Tracked* orphan = qor_new<Tracked>(nullptr, 8);
        EXPECT_EQ(nullptr, list.newEntry(orphan, true));
        qor_delete(orphan);
    }
    // The list's destructor clears; everything went back to the allocator.
    EXPECT_EQ(0, Tracked::live);
    EXPECT_EQ(0, counting.live());

    // A list that does not own its entries only unlinks them.
    List::Entry* kept = entryOf(nullptr, 9, 1);
    {
        List list(false, nullptr);
        ASSERT_EQ(qor_s_ok, list.initialize(0, 0));
        list.add(kept);
        list.clear();
        list.add(kept);
    }
    EXPECT_EQ(9, kept->object()->value);
    delete kept;
    EXPECT_EQ(0, Tracked::live);
}

// Lists with a cleaner (timeout 1 s) and entries stamped long ago (stale)
// or far ahead (fresh), oldest first: the cleaner deletes stale entries from
// the oldest on, stops at the first fresh one and never goes below the
// minimum.
TEST(QORExpiringListTest, CleanerExpiresOldestUntilAFreshEntryOrTheMinimum)
{
    const int kStale = -100, kFresh = 3600;
    struct Case {
        unsigned minimum;
        std::vector<int> stamps;      // value i has stamps[i]
        std::vector<int> survivors;   // newest first
    } cases[] = {
        {2, {kStale, kStale, kStale, kStale, kStale}, {4, 3}},
        {3, {kStale, kFresh, kStale, kStale, kStale}, {4, 3, 2, 1}},
        {3, {kStale, kStale, kStale}, {2, 1, 0}},
    };
    std::vector<std::unique_ptr<List>> lists;
    for (const Case& c : cases) {
        lists.emplace_back(new List(true, nullptr, 1));
        List& list = *lists.back();
        ASSERT_EQ(qor_s_ok, list.initialize(1, c.minimum));
        time_t now = list.time();
        list.lock();
        for (size_t i = 0; i < c.stamps.size(); i++)
            list.add(entryOf(nullptr, int(i), now + c.stamps[i]));
        list.unlock();
    }
    for (size_t i = 0; i < lists.size(); i++)
        EXPECT_TRUE(qor_test_wait_until(
            [&] { return lockedEntries(*lists[i]) <= cases[i].survivors.size(); }));
    usleep(1200000);   // at least one more round of every cleaner
    for (size_t i = 0; i < lists.size(); i++) {
        std::vector<int> left;
        lists[i]->lock();
        for (int v; (v = takeNewest(*lists[i])) >= 0;)
            left.push_back(v);
        lists[i]->unlock();
        EXPECT_EQ(cases[i].survivors, left) << "case " << i;
    }
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
    EXPECT_TRUE(qor_test_wait_until([] { return Tracked::live < 300; }, 10));
    int atCancel = Tracked::live;
    delete list;
    Tracked::delayMicros = 0;
    EXPECT_GT(atCancel, 0);
    EXPECT_LT(atCancel, 300);
    EXPECT_EQ(0, Tracked::live);
}
