#include "core/list/qorhashtable.h"
#include "core/list/qorprotectedhashtable.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "core/buffers/qorstring.h"
#include "core/memory/qorcountingallocator.h"

typedef QORHashTable<QORString, int> Table;

TEST(QORHashTableTest, BucketMixingDependsOnTheBucketCount)
{
    const uint32_t h = 0x12345678;
    uint32_t small = h ^ ((h >> 24) ^ ((h >> 8) & 0xFF) ^ ((h >> 16) & 0xFF));
    EXPECT_EQ(Table::bucketFor(h, 15), small % 15);
    EXPECT_EQ(Table::bucketFor(h, 255), small % 255);
    EXPECT_EQ(Table::bucketFor(h, 256), (h ^ (h >> 16)) % 256);
    EXPECT_EQ(Table::bucketFor(h, 65535), (h ^ (h >> 16)) % 65535);
    EXPECT_EQ(Table::bucketFor(h, 65536), (h ^ ((h >> 24) << 4)) % 65536);
    EXPECT_EQ(Table::bucketFor(h, 0xFFFFFF),
              (h ^ ((h >> 24) << 4)) % 0xFFFFFF);
    EXPECT_EQ(Table::bucketFor(h, 0x1000000), h % 0x1000000);
}

TEST(QORHashTableTest, InsertFindRemoveWithViewsAsKeys)
{
    QORCountingAllocator a;
    {
        Table table(&a, true);
        ASSERT_EQ(table.initialize(15), qor_s_ok);
        for (int i = 0; i < 100; i++) {
            std::string k = "key" + std::to_string(i);
            ASSERT_EQ(table.insert(qor_new<QORString>(&a, k.c_str()), i), qor_s_ok);
        }
        EXPECT_EQ(table.entries(), 100u);
        EXPECT_EQ(table.find(QORStringRef("key42")), 42);
        EXPECT_EQ(table.find(QORString("key99")), 99);
        EXPECT_EQ(table.find(QORStringRef("key4")), 4);
        EXPECT_EQ(table.find(QORStringRef("key100")), 0);
        EXPECT_FALSE(table.contains(QORStringRef("key42x", 6)));
        EXPECT_TRUE(table.contains(QORStringRef("key42x", 5)));
        // A newer equal key shadows the older one until it is removed.
        ASSERT_EQ(table.insert(qor_new<QORString>(&a, "key7"), 700), qor_s_ok);
        EXPECT_EQ(table.find(QORStringRef("key7")), 700);
        EXPECT_TRUE(table.remove(QORStringRef("key7")));
        EXPECT_EQ(table.find(QORStringRef("key7")), 7);
        EXPECT_FALSE(table.remove(QORStringRef("nope")));
        int seen = 0;
        table.forEach([&](const QORString&, int) { seen++; });
        EXPECT_EQ(seen, 100);
        // A case-insensitive key is found by a probe with the matching hasher.
        QORString* key = qor_new<QORString>(&a, "Content-Type");
        key->setHasher(&qor_icase_string_hasher);
        key->setComparator(&qor_icase_strcmp);
        ASSERT_EQ(table.insert(key, 1000), qor_s_ok);
        QORStringRef probe("content-type");
        probe.setHasher(&qor_icase_string_hasher);
        probe.setComparator(&qor_icase_strcmp);
        EXPECT_EQ(table.find(probe), 1000);
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORHashTableTest, OwnedPointerValuesAreDestroyedAndShutdownAllowsANewStart)
{
    QORCountingAllocator a;
    {
        QORHashTable<QORString, QORString*> table(&a, true);
        ASSERT_EQ(table.initialize(4), qor_s_ok);
        ASSERT_EQ(table.insert(qor_new<QORString>(&a, "k"), qor_new<QORString>(&a, "v")),
                  qor_s_ok);
        EXPECT_STREQ(table.find(QORStringRef("k"))->c_str(), "v");
        EXPECT_EQ(table.find(QORStringRef("missing")), nullptr);
        // Shutdown releases entries and buckets for a new start.
        table.shutdown();
        EXPECT_EQ(a.live(), 0);
        EXPECT_EQ(table.bucketCount(), 0u);
        EXPECT_EQ(table.entries(), 0u);
        EXPECT_FALSE(table.contains(QORStringRef("k")));
        ASSERT_EQ(table.initialize(20), qor_s_ok);
        ASSERT_EQ(table.insert(qor_new<QORString>(&a, "k"), qor_new<QORString>(&a, "w")),
                  qor_s_ok);
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORHashTableTest, SetUpAndInsertFailures)
{
    QORCountingAllocator a;
    Table table(&a);
    QORString k("k");
    EXPECT_EQ(table.insert(&k, 1), qor_s_invalid_argument);
    EXPECT_EQ(table.initialize(0), qor_s_invalid_argument);
    a.failAfter = 0;
    EXPECT_EQ(table.initialize(8), qor_s_no_memory);
    a.failAfter = 1;
    EXPECT_EQ(table.initialize(8), qor_s_ok);
    EXPECT_EQ(table.initialize(8), qor_s_invalid_argument);
    EXPECT_EQ(table.insert(&k, 1), qor_s_no_memory);
    EXPECT_EQ(table.entries(), 0u);
}

namespace {

// Asks from another thread whether a writer could get in right now.
bool writerCouldEnter(const QORProtectedHashTable<QORString, int>& table)
{
    bool entered = false;
    std::thread t([&] {
        entered = table.tryWriteLock();
        if (entered)
            table.unlock();
    });
    t.join();
    return entered;
}

} // namespace

TEST(QORProtectedHashTableTest, LockedFindHoldsTheReadLockUntilReleased)
{
    QORProtectedHashTable<QORString, int> table(nullptr, true);
    ASSERT_EQ(table.initialize(8), qor_s_ok);
    table.writeLock();
    ASSERT_EQ(table.insert(qor_new<QORString>(nullptr, "flag"), 5), qor_s_ok);
    table.unlock();
    {
        QORProtectedHashTable<QORString, int>::Lock lock;
        EXPECT_EQ(table.lockedFind(QORStringRef("flag"), &lock), 5);
        EXPECT_FALSE(writerCouldEnter(table));
        // A second lookup through the same Lock does not stack read locks.
        EXPECT_EQ(table.lockedFind(QORStringRef("other"), &lock), 0);
        EXPECT_FALSE(writerCouldEnter(table));
        lock.release();
        EXPECT_TRUE(writerCouldEnter(table));
        EXPECT_EQ(table.lockedFind(QORStringRef("flag"), &lock), 5);
    }
    EXPECT_TRUE(writerCouldEnter(table));
}
