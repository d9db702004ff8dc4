#include "config_mgr/qorconfigdata.h"

#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "config_mgr/qorconfigschemaentry.h"

namespace {

typedef std::vector<std::string> Strings;

template <class MV>
Strings values(MV& mv)
{
    Strings out;
    QORStringRef r;
    mv.resetIterator();
    while (mv.next(&r))
        out.emplace_back(r.data(), static_cast<size_t>(r.length()));
    return out;
}

} // namespace

TEST(QORConfigBooleanTest, AcceptsTheFourWordsInLowerCaseOnly)
{
    const struct {
        const char* text;
        bool value;
    } good[] = {{"yes", true}, {"true", true}, {"no", false}, {"false", false}};
    for (const auto& g : good) {
        QORConfigBoolean b;
        ASSERT_EQ(qor_s_ok, b.setLCPValue(QORLCPStringRef(g.text))) << g.text;
        EXPECT_EQ(g.value, b.getValue()) << g.text;
        EXPECT_TRUE(b.isSet());
    }
    for (const char* bad : {"Yes", "TRUE", "No", "False", "y", "1", "", "yes "}) {
        QORConfigBoolean b;
        EXPECT_EQ(qor_s_config_value_invalid, b.setValue(QORStringRef(bad))) << bad;
        EXPECT_FALSE(b.isSet()) << bad;
    }
    // A refused value keeps the previous one.
    QORConfigBoolean b;
    ASSERT_EQ(qor_s_ok, b.setValue(QORStringRef("true")));
    EXPECT_EQ(qor_s_config_value_invalid, b.setValue(QORStringRef("maybe")));
    EXPECT_TRUE(b.isSet());
    EXPECT_TRUE(b.getValue());
}

TEST(QORConfigEnumTest, MatchesWholeWordsAndGivesTheirPosition)
{
    const char* const words[] = {"low", "medium", "high", nullptr};
    QORConfigEnum e(words);
    ASSERT_EQ(qor_s_ok, e.setValue(QORStringRef("high")));
    EXPECT_STREQ("high", e.getValue());
    // A prefix, a longer word and a counted view that is not terminated.
    EXPECT_EQ(qor_s_config_value_invalid, e.setValue(QORStringRef("hig")));
    EXPECT_EQ(qor_s_config_value_invalid, e.setValue(QORStringRef("highest")));
    ASSERT_EQ(qor_s_ok, e.setValue(QORStringRef("lowest", 3)));
    EXPECT_EQ(0, e.getIndex());
}

// Decimal, hex and octal with blanks around; no trailing text, nothing
// out of range.
TEST(QORConfigIntTest, Parsing)
{
    const struct {
        const char* text;
        bool ok;
        int value;
    } rows[] = {
        {"0x10", true, 16}, {"0X1f", true, 31}, {"010", true, 8}, {"  42  ", true, 42},
        {"\t-7\n", true, -7}, {"+5", true, 5}, {"", true, 0}, {"   ", true, 0},
        {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"42abc", false, 0}, {"12 3", false, 0}, {"0x", false, 0}, {"08", false, 0},
        {"2147483648", false, 0}, {"-2147483649", false, 0},
        {"99999999999999999999", false, 0}, {"4e2", false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        QORConfigInt i;
        // The refused texts go through the other code page's setter.
        if (row.ok) {
            EXPECT_EQ(qor_s_ok, i.setLCPValue(QORLCPStringRef(row.text)));
        } else {
            EXPECT_EQ(qor_s_config_value_invalid, i.setValue(QORStringRef(row.text)));
        }
        EXPECT_EQ(row.ok, i.isSet());
        if (row.ok) {
            EXPECT_EQ(row.value, i.getValue());
        }
    }
    char buf[64];
    EXPECT_STREQ("-2147483648", QORConfigInt::toString(-2147483647 - 1, buf));
}

TEST(QORConfigMultiValueTest, SplitsAtCommasSkippingLeadingBlanks)
{
    QORConfigMVString mv;
    ASSERT_EQ(qor_s_ok, mv.setLCPValue(QORLCPStringRef("a, b")));
    ASSERT_EQ(qor_s_ok, mv.setValue(QORStringRef("c")));
    EXPECT_EQ((Strings{"a", "b", "c"}), values(mv));
    EXPECT_EQ(3, mv.entries());
    EXPECT_STREQ("a, b,c", mv.getValue());
}

TEST(QORConfigMultiValueTest, EmptyPiecesAndBlankTexts)
{
    const struct {
        const char* text;
        Strings pieces;
    } cases[] = {
        {"a ,  b  ", {"a ", "b  "}},
        {"   ", {}},
        {"a, ", {"a", ""}},
    };
    for (const auto& c : cases) {
        QORConfigMVString mv;
        ASSERT_EQ(qor_s_ok, mv.setValue(QORStringRef(c.text))) << c.text;
        EXPECT_EQ(c.pieces, values(mv)) << '"' << c.text << '"';
    }
}

TEST(QORConfigMVIntTest, AllValuesMustParse)
{
    QORConfigMVInt mv;
    ASSERT_EQ(qor_s_ok, mv.setValue(QORStringRef("1, 0x10,010")));
    std::vector<int> got;
    int v;
    while (mv.next(&v))
        got.push_back(v);
    EXPECT_EQ((std::vector<int>{1, 16, 8}), got);
    EXPECT_TRUE(mv.isSet());
    EXPECT_EQ(qor_s_invalid_argument, mv.setValue(QORStringRef("4,x5,6")));
    EXPECT_FALSE(mv.isSet());
    EXPECT_TRUE(mv.isInvalid());
    // The bad value is still walked over, so the list stays readable.
    int n = 0;
    while (mv.next(&v))
        n++;
    EXPECT_EQ(6, n);
}

TEST(QORConfigMVEnumTest, OneEnumerationPerValueAcrossTexts)
{
    const char* const words[] = {"get", "put", "post", nullptr};
    QORConfigMVEnum mv(words);
    ASSERT_EQ(qor_s_ok, mv.setValue(QORStringRef("get,post")));
    ASSERT_EQ(qor_s_ok, mv.setLCPValue(QORLCPStringRef("put")));
    std::vector<int> indexes;
    QORConfigEnum* e;
    while (mv.next(&e))
        indexes.push_back(e->getIndex());
    EXPECT_EQ((std::vector<int>{0, 2, 1}), indexes);
    EXPECT_EQ(qor_s_config_value_invalid, mv.setValue(QORStringRef("GET")));
    EXPECT_FALSE(mv.isSet());
}

TEST(QORConfigSchemaEntryTest, DefaultsAndMatching)
{
    QORConfigSchemaEntry a;
    ASSERT_EQ(qor_s_ok, a.set("debug", "memory-stats", true, "false"));
    QORConfigSchemaEntry empty;
    EXPECT_EQ(qor_s_ok, empty.set("s", "n", false, ""));
    EXPECT_EQ(nullptr, empty.getDefaultValue());
    QORConfigSchemaEntry none;
    EXPECT_EQ(qor_s_ok, none.set("s", "n", false, nullptr));
    EXPECT_TRUE(empty.matches(none));
    QORConfigSchemaEntry b;
    EXPECT_EQ(qor_s_ok, b.set("debug", "memory-stats", true, "true"));
    EXPECT_FALSE(a.matches(b));
    EXPECT_EQ(qor_s_ok, b.set("debug", "memory-stats", false, "false"));
    EXPECT_FALSE(a.matches(b));
    EXPECT_EQ(qor_s_ok, b.set("debug", "memory-stats", true, "false"));
    EXPECT_TRUE(a.matches(b));
    EXPECT_TRUE(a.matches("debug", "memory-stats", true));
    EXPECT_FALSE(a.matches("Debug", "memory-stats", false));
    EXPECT_FALSE(a.matches("debug", "memory-stat", false));
    EXPECT_TRUE(none.matches("s", "n", false));
    EXPECT_FALSE(none.matches("s", "n", true));
}
