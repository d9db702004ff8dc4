#include "core/buffers/qorstring.h"

#include <gtest/gtest.h>
#include <string>

#include "core/memory/qorcountingallocator.h"

TEST(QORStringTest, GrowthIsInlineTo255ThenExactOnTheHeapAndCopiesAreIndependent)
{
    QORCountingAllocator a;
    QORString s(&a);
    std::string text(255, 'x');
    ASSERT_TRUE(s.set(QORStringRef(text.c_str(), 100)));
    ASSERT_TRUE(s.append(text.c_str(), 155));
    QORString copy(s);
    QORString assigned(&a);
    assigned = copy;
    EXPECT_TRUE(assigned.isInline());
    EXPECT_EQ(assigned.length(), 255);
    EXPECT_EQ(a.allocations + a.reallocations, 0);
    ASSERT_TRUE(s.append('y'));
    EXPECT_FALSE(s.isInline());
    EXPECT_EQ(a.allocations, 1);
    EXPECT_EQ(a.lastSize, 257u);
    EXPECT_EQ(s.capacity(), 257);
    EXPECT_EQ(s.length(), 256);
    EXPECT_EQ(std::string(s.c_str()), text + "y");
    // No doubling: one more character reallocates to exactly 258.
    ASSERT_TRUE(s.append("z", 1));
    EXPECT_EQ(a.reallocations, 1);
    EXPECT_EQ(a.lastSize, 258u);
    EXPECT_EQ(s.capacity(), 258);
    // Copies of a heap string are independent of it.
    QORString heapCopy(s);
    ASSERT_TRUE(heapCopy.append('!'));
    EXPECT_EQ(s.length(), 257);
    assigned = heapCopy;
    EXPECT_TRUE(assigned == heapCopy);
    EXPECT_NE(assigned.data(), heapCopy.data());
}

// Shorter content keeps the heap buffer; a refused growth keeps the content.
TEST(QORStringTest, HeapBufferOutlivesShorterContentAndContentARefusedGrowth)
{
    QORCountingAllocator a;
    std::string big(300, 'b');
    {
        QORString s(&a);
        ASSERT_TRUE(s.set(QORStringRef("kept")));
        a.failAfter = 0;
        EXPECT_FALSE(s.append(big.c_str(), -1));
        EXPECT_STREQ(s.c_str(), "kept");
        EXPECT_FALSE(s.set(QORStringRef(big.c_str())));
        EXPECT_STREQ(s.c_str(), "kept");
        a.failAfter = -1;
        ASSERT_TRUE(s.append(big.c_str(), -1));
        a.failAfter = 0;
        EXPECT_FALSE(s.append(big.c_str(), -1));  // realloc refused
        EXPECT_EQ(s.length(), 304);
        const char* heap = s.data();
        ASSERT_TRUE(s.set(QORStringRef("short")));
        EXPECT_EQ(s.data(), heap);
        EXPECT_STREQ(s.c_str(), "short");
        ASSERT_TRUE(s.set(QORStringRef("")));
        EXPECT_EQ(s.length(), 0);
        EXPECT_EQ(s.c_str()[0], '\0');
        EXPECT_EQ(a.live(), 1);
    }
    EXPECT_EQ(a.live(), 0);
}

// Appending nothing succeeds and changes nothing; appending itself survives
// the move to the heap.
TEST(QORStringTest, AppendingNothingOrItself)
{
    QORString s("abc");
    uint32_t h = s.hash();
    EXPECT_TRUE(s.append("", -1));
    EXPECT_TRUE(s.append("zzz", 0));
    EXPECT_TRUE(s.append(nullptr, 5));
    EXPECT_STREQ(s.c_str(), "abc");
    EXPECT_EQ(s.hash(), h);
    ASSERT_TRUE(s.set(QORStringRef(std::string(200, 'a').c_str())));
    ASSERT_TRUE(s.append(s.data(), s.length()));
    EXPECT_EQ(std::string(s.c_str()), std::string(400, 'a'));
    ASSERT_TRUE(s.append(s.data() + 390, 10));
    EXPECT_EQ(s.length(), 410);
    ASSERT_TRUE(s.set(QORStringRef(s.data() + 5, 3)));
    EXPECT_STREQ(s.c_str(), "aaa");
}

TEST(QORStringTest, ComparisonUsesTheShorterLengthThenLength)
{
    QORString abc("abc");
    QORString abcd("abcd");
    EXPECT_EQ(abc.compare(abcd), -1);
    EXPECT_EQ(abcd.compare(abc), 1);
    EXPECT_LT(QORString("abb").compare(abcd), 0);
    EXPECT_GT(QORString("abd").compare(abcd), 0);
    EXPECT_EQ(abc.compare(QORStringRef("abc")), 0);
    EXPECT_TRUE(abc.equals(QORStringRef("abcd", 3)));
    EXPECT_FALSE(abc == abcd);
    QORString upper("ABC");
    upper.setComparator(&qor_icase_strcmp);
    EXPECT_TRUE(upper.equals(QORStringRef("abc")));
}

TEST(QORStringTest, HashIsCachedAndForgottenOnChange)
{
    QORString s("Key");
    EXPECT_EQ(s.hash(), qor_string_hasher.hash("Key", 3));
    ASSERT_TRUE(s.append('2'));
    EXPECT_EQ(s.hash(), qor_string_hasher.hash("Key2", 4));
    s.setHasher(&qor_icase_string_hasher);
    EXPECT_EQ(s.hash(), qor_string_hasher.hash("key2", 4));
}

TEST(QORStringTest, WideAndBinaryStringsUseTheirOwnDefaults)
{
    const lox_unichar_t w[] = {'h', 0x00e9, 0};
    QORStringT<lox_unichar_t> u(w);
    EXPECT_EQ(u.length(), 2);
    EXPECT_EQ(u.hash(), qor_unichar_t_hasher.hash(w, 2));
    QORStringT<wchar_t> sw(L"wide");
    EXPECT_EQ(sw.length(), 4);
    EXPECT_EQ(sw.compare(L"wider", 5), -1);
    const unsigned char bytes[] = {0x00, 0xff, 0x10};
    QORStringT<unsigned char> b(bytes, 3);
    EXPECT_EQ(b.length(), 3);
    EXPECT_EQ(b.data()[1], 0xff);
    EXPECT_EQ(b.compare(bytes, 2), 1);
}
