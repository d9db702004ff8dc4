#include "core/list/qorlist.h"
#include "core/list/qorsearchablelist.h"
#include "core/list/qorset.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/buffers/qorstring.h"
#include "core/memory/qorcountingallocator.h"

namespace {

std::vector<std::string> contents(const QORList<QORString>& list)
{
    std::vector<std::string> out;
    for (QORString* s : list)
        out.push_back(s->c_str());
    return out;
}

} // namespace

TEST(QORListTest, AppendsIteratesAndRemoves)
{
    QORCountingAllocator a;
    {
        QORList<QORString> list(&a, true);
        for (const char* t : {"one", "two", "three"})
            ASSERT_EQ(list.add(qor_new<QORString>(&a, t)), qor_s_ok);
        EXPECT_EQ(list.entries(), 3);
        EXPECT_EQ(contents(list), (std::vector<std::string>{"one", "two", "three"}));

        auto it = list.begin();
        it.next();
        EXPECT_EQ(it.index(), 1);
        QORString* removed = list.remove(it);
        EXPECT_STREQ(removed->c_str(), "two");
        EXPECT_STREQ(it.get()->c_str(), "three");
        EXPECT_EQ(it.index(), 1);
        qor_delete(removed);
        EXPECT_EQ(contents(list), (std::vector<std::string>{"one", "three"}));
        EXPECT_STREQ(list.tail()->c_str(), "three");

        it = list.begin();
        qor_delete(list.remove(it));
        it = list.begin();
        qor_delete(list.remove(it));
        EXPECT_TRUE(list.isEmpty());
        EXPECT_EQ(list.head(), nullptr);
        EXPECT_EQ(list.tail(), nullptr);
        ASSERT_EQ(list.add(qor_new<QORString>(&a, "again")), qor_s_ok);
        EXPECT_EQ(contents(list), (std::vector<std::string>{"again"}));

        // A node that cannot be allocated is reported; the list is unchanged.
        QORString s("x");
        a.failAfter = 0;
        EXPECT_EQ(list.add(&s), qor_s_no_memory);
        EXPECT_EQ(list.entries(), 1);
        a.failAfter = -1;
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORSearchableListTest, FindsByContentWithTheKeysComparator)
{
    QORSearchableList<QORString, QORStringRef> list(nullptr, true);
    ASSERT_EQ(list.add(qor_new<QORString>(nullptr, "Alpha")), qor_s_ok);
    ASSERT_EQ(list.add(qor_new<QORString>(nullptr, "beta")), qor_s_ok);
    EXPECT_EQ(list.find(QORStringRef("beta")).index(), 1);
    EXPECT_FALSE(list.find(QORStringRef("alpha")).isValid());
    EXPECT_FALSE(list.find(QORStringRef("bet")).isValid());
    QORStringRef icase("ALPHA");
    icase.setComparator(&qor_icase_strcmp);
    auto it = list.find(icase);
    ASSERT_TRUE(it.isValid());
    EXPECT_STREQ(it.get()->c_str(), "Alpha");
}

TEST(QORSetTest, DuplicatesAreRefusedAndDestroyedWhenOwned)
{
    QORCountingAllocator a;
    {
        QORSet<QORString> set(&a, true);
        for (const char* text : {"x", "y", "x"})
            EXPECT_EQ(set.add(qor_new<QORString>(&a, text)), qor_s_ok);
        EXPECT_EQ(set.entries(), 2);
        // Two entries and two nodes live; the duplicate was destroyed.
        EXPECT_EQ(a.live(), 4);
    }
    EXPECT_EQ(a.live(), 0);
    QORSet<QORString> borrowing(nullptr, false);
    QORString one("1");
    QORString again("1");
    EXPECT_EQ(borrowing.add(&one), qor_s_ok);
    EXPECT_EQ(borrowing.add(&again), qor_s_ok);
    EXPECT_EQ(borrowing.entries(), 1);
    EXPECT_STREQ(again.c_str(), "1");
}
