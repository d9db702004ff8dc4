#include "core/html/qorhtml.h"

#include <gtest/gtest.h>
#include <string>

#include "core/memory/qorcountingallocator.h"

namespace {

std::string escape(const std::string& in, bool numeric)
{
    QORString out;
    EXPECT_EQ(QORHTML::escape(QORStringRef(in.data(), static_cast<int>(in.size())), &out, numeric),
              qor_s_ok);
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

std::string unescape(const std::string& in)
{
    QORString out;
    EXPECT_EQ(QORHTML::unescape(QORStringRef(in.data(), static_cast<int>(in.size())), &out),
              qor_s_ok);
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

} // namespace

TEST(QORHTMLTest, TaintedOnlyByAngleBracketsAndQuote)
{
    EXPECT_FALSE(QORHTML::tainted(QORStringRef("fish & chips")));
    for (const char* tainted : {"a<b", "a>b", "say \"hi\""})
        EXPECT_TRUE(QORHTML::tainted(QORStringRef(tainted))) << tainted;
    // The length counts, not the terminator.
    EXPECT_FALSE(QORHTML::tainted(QORStringRef("ab<", 2)));
}

TEST(QORHTMLTest, EscapeUnescapeAndRoundTripOfEveryByte)
{
    EXPECT_EQ(escape("\"a&b<c>d'e:f", false), "&quot;a&amp;b&lt;c&gt;d'e:f");
    EXPECT_EQ(escape("\"&<>", true), "&quot;&amp;&lt;&gt;");
    EXPECT_EQ(escape("a:b\tc'\\", true), "a&#58;b&#9;c&#39;&#92;");
    EXPECT_EQ(escape(std::string("\0\x1f", 2), true), "&#0;&#31;");
    // UTF-8 is copied whole either way.
    EXPECT_EQ(escape("gr\xc3\xbc\xc3\x9f", true), "gr\xc3\xbc\xc3\x9f");
    // Unescaping undoes one level, case-sensitively.
    EXPECT_EQ(unescape("&amp;lt;"), "&lt;");
    EXPECT_EQ(unescape("&AMP;&Lt;"), "&AMP;&Lt;");
    EXPECT_EQ(unescape("&quot;x&gt;&lt;"), "\"x><");
    EXPECT_EQ(unescape("&#58;&"), "&#58;&");
    EXPECT_EQ(unescape("a&am"), "a&am");
    std::string all;
    for (int c = 0; c < 256; c++)
        all.push_back(static_cast<char>(c));
    EXPECT_EQ(unescape(escape(all, false)), all);
}

TEST(QORHTMLTest, EscapeAppendsAndFailsCleanly)
{
    QORCountingAllocator a;
    QORString out(&a);
    out.set("x:", 2);
    std::string big(300, '<');
    ASSERT_EQ(QORHTML::escape(QORStringRef(big.data(), 300), &out, false), qor_s_ok);
    EXPECT_EQ(out.length(), 2 + 300 * 4);
    EXPECT_EQ(std::string(out.data(), 6), "x:&lt;");
    EXPECT_EQ(a.allocations + a.reallocations, 1);
    QORString small(&a);
    small.set("keep", 4);
    a.failAfter = 0;
    EXPECT_EQ(QORHTML::escape(QORStringRef(big.data(), 300), &small, false), qor_s_no_memory);
    EXPECT_STREQ(small.c_str(), "keep");
    EXPECT_EQ(QORHTML::unescape(QORStringRef(big.data(), 300), &small), qor_s_no_memory);
    EXPECT_STREQ(small.c_str(), "keep");
}

