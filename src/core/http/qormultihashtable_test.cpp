#include "core/http/qormultihashtable.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "core/memory/qorcountingallocator.h"

namespace {

typedef QORMultiHashTable<QORStringRef, QORString, 3> Table;

std::vector<std::string> contents(Table& t)
{
    std::vector<std::string> out;
    for (Table::Iterator it = t.begin(); it.valid(); it.next())
        out.push_back(std::string(it.key().data(), static_cast<size_t>(it.key().length())) +
                      "=" + it.value().c_str());
    return out;
}

} // namespace

TEST(QORMultiHashTableTest, KeepsEveryValueInInsertionOrderPerBucket)
{
    QORCountingAllocator a;
    Table t(&a);
    const char* keys[] = {"k", "k", "other", "k"};
    const char* values[] = {"1", "2", "x", "3"};
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(t.add(QORStringRef(keys[i]), QORString(values[i])), qor_s_ok);
    EXPECT_EQ(t.count(), 4);
    Table::Entry* e = t.find(QORStringRef("k"));
    std::vector<std::string> ks;
    for (; e != nullptr; e = t.findNext(e))
        ks.push_back(e->value.c_str());
    EXPECT_EQ(ks, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(t.find(QORStringRef("K")), nullptr);
    // The first value of each bucket lives in its record; only the others
    // take entries.
    bool shared = t.bucketOf(QORStringRef("other")) == t.bucketOf(QORStringRef("k"));
    EXPECT_EQ(a.allocations, shared ? 3 : 2);
}

// A value added is re-homed to the table's allocator, and freed through it.
TEST(QORMultiHashTableTest, ClearRecyclesEntriesAndOwnedValuesLiveInTheTablesAllocator)
{
    QORCountingAllocator a;
    {
        Table t(&a);
        for (int round = 0; round < 3; round++) {
            for (int i = 0; i < 5; i++)
                ASSERT_EQ(t.add(QORStringRef("same"), QORString("v")), qor_s_ok);
            EXPECT_EQ(t.count(), 5);
            t.clear();
            EXPECT_TRUE(t.isEmpty());
            EXPECT_FALSE(t.begin().valid());
        }
        EXPECT_EQ(a.allocations, 4);
        std::string big(300, 'b');
        ASSERT_EQ(t.add(QORStringRef("k"), QORString(big.c_str())), qor_s_ok);
        EXPECT_EQ(a.allocations, 5) << "the bucket record's string grew in a";
        EXPECT_EQ(t.find(QORStringRef("k"))->value.allocator(), &a);
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORMultiHashTableTest, MemoryFailureLeavesTheTableAsItWas)
{
    QORCountingAllocator a;
    Table t(&a);
    ASSERT_EQ(t.add(QORStringRef("k"), QORString("1")), qor_s_ok);
    a.failAfter = 0;
    EXPECT_EQ(t.add(QORStringRef("k"), QORString("2")), qor_s_no_memory);
    std::string big(300, 'b');
    EXPECT_EQ(t.add(QORStringRef("new"), QORString(big.c_str())), qor_s_no_memory);
    EXPECT_EQ(contents(t), (std::vector<std::string>{"k=1"}));
    EXPECT_EQ(t.count(), 1);
    a.failAfter = -1;
    ASSERT_EQ(t.add(QORStringRef("k"), QORString("2")), qor_s_ok);
    EXPECT_EQ(t.count(), 2);
}
