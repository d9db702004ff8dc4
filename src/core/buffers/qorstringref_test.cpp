#include "core/buffers/qorstringref.h"

#include <gtest/gtest.h>

#include "core/buffers/qorstring.h"
#include "core/memory/qorcountingallocator.h"

TEST(QORStringRefTest, LengthIsCountedOnFirstUse)
{
    const char text[] = "view";
    QORStringRef r(text);
    EXPECT_TRUE(r.isTerminated());
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(r.c_str(), text);
    // A view of a string shares its data.
    QORString s("shared");
    QORStringRef v(s);
    EXPECT_EQ(v.data(), s.data());
    EXPECT_EQ(v.c_str(), s.data());
    EXPECT_EQ(v.hash(), s.hash());
    EXPECT_EQ(v.compare(s), 0);
}

TEST(QORStringRefTest, TerminatedCopyIsMadeOnceAndReused)
{
    QORCountingAllocator a;
    const char text[] = "abcdefgh";
    {
        QORStringRef r(text, 3, &a);
        const char* c = r.c_str();
        ASSERT_NE(c, nullptr);
        EXPECT_NE(c, text);
        EXPECT_STREQ(c, "abc");
        EXPECT_EQ(r.c_str(), c);
        EXPECT_EQ(a.allocations, 1);
        // New data forgets the cached form; a copy of the same size is reused.
        r.set(text + 4, 2);
        EXPECT_STREQ(r.c_str(), "ef");
        EXPECT_EQ(a.allocations, 1);
        r.set(text, 8);
        EXPECT_STREQ(r.c_str(), "abcdefgh");
        EXPECT_EQ(a.reallocations, 1);
        a.failAfter = 0;
        QORStringRef failing(text, 5, &a);
        EXPECT_EQ(failing.c_str(), nullptr);
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORStringRefTest, PrefixTestRespectsLengthAndComparator)
{
    QORStringRef pre("/Docs");
    EXPECT_TRUE(pre.isPrefixOf(QORStringRef("/Docs/index.html")));
    EXPECT_FALSE(pre.isPrefixOf(QORStringRef("/docs/index.html")));
    EXPECT_TRUE(pre.isPrefixOf(QORStringRef("/docs/index.html"), &qor_icase_strcmp));
    EXPECT_FALSE(pre.isPrefixOf(QORStringRef("/Doc")));
    EXPECT_TRUE(QORStringRef("").isPrefixOf(QORStringRef("x")));
}
