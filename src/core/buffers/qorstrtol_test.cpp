#include "core/buffers/qorstrtol.h"
#include "core/buffers/qorformatstring.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <string>

// Blanks and a sign lead; base 0 chooses from the prefix; the end index
// stops at the first byte not read, and never past a counted view.
TEST(QORStrtolTest, ValuesEndIndexAndErrors)
{
    const long kMax = 2147483647L, kMin = -2147483647L - 1;
    const struct {
        const char* text;
        int length;   // -1: the whole text
        int base;
        long value;
        int end;
        int error;
    } cases[] = {
        {"  -12a", -1, 10, -12, 5, 0}, {"abc", -1, 10, 0, 0, 0}, {"\t+7", -1, 10, 7, 3, 0},
        {"12345", 3, 10, 123, 3, 0}, {"0x1F", -1, 0, 31, 4, 0}, {"-0X10", -1, 0, -16, 5, 0},
        {"017", -1, 0, 15, 3, 0}, {"0", -1, 0, 0, 1, 0}, {"9", -1, 0, 9, 1, 0},
        {"0x", -1, 0, 0, 1, 0}, {"zz", -1, 36, 35 * 36 + 35, 2, 0}, {"ff", -1, 16, 255, 2, 0},
        {"10", -1, 1, 0, 0, EINVAL}, {"10", -1, 37, 0, 0, EINVAL},
        {"2147483647", -1, 10, kMax, 10, 0}, {"-2147483648", -1, 10, kMin, 11, 0},
        {"2147483648x", -1, 10, kMax, 10, ERANGE},
        {"-99999999999999999999", -1, 10, kMin, 21, ERANGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int end = -1;
        errno = 0;
        QORStringRef text = c.length < 0 ? QORStringRef(c.text) : QORStringRef(c.text, c.length);
        EXPECT_EQ(qor_strtol(text, &end, c.base), c.value);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(errno, c.error);
    }
}

TEST(QORStrtolTest, UnsignedClampsAndWideElementTypes)
{
    int end;
    errno = 0;
    EXPECT_EQ(qor_strtoul(QORStringRef("4294967295"), &end, 10), 4294967295UL);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qor_strtoul(QORStringRef("4294967296"), &end, 10), 4294967295UL);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(qor_strtoul(QORStringRef("-1"), &end, 10), 4294967295UL);
    EXPECT_EQ(qor_strtoul(QORStringRef("-0x10"), &end, 0), 4294967280UL);
    const lox_unichar_t u[] = {' ', '4', '2', 'x', 0};
    EXPECT_EQ(qor_strtol(QORStringRefT<lox_unichar_t>(u), &end, 10), 42);
    EXPECT_EQ(end, 3);
    // A unit whose low byte looks like a digit is not a digit.
    const lox_unichar_t tricky[] = {'1', 0x0132, 0};
    EXPECT_EQ(qor_strtol(QORStringRefT<lox_unichar_t>(tricky), &end, 10), 1);
    EXPECT_EQ(end, 1);
    QORStringT<wchar_t> w(L"-0x7fffffff");
    EXPECT_EQ(qor_strtol(w, &end, 16), -2147483647L);
    EXPECT_EQ(qor_strtoul(w, &end, 16), 2147483649UL);
}

TEST(QORFormatStringTest, KeysValuesPercentAndUnknownKeys)
{
    QORStringRef values[] = {QORStringRef("first"), QORStringRef("second")};
    // A multi-byte key character counts as one position among the keys.
    const struct { const char* format; const char* keys; const char* out; } cases[] = {
        {"%a-%%-%z", "a", "first-%-z"}, {"<%b%a>%", "ab", "<secondfirst>%"},
        {"%\xc3\xa9!", "\xc3\xa9x", "first!"}, {"%x", "\xc3\xa9x", "second"},
    };
    for (const auto& c : cases) {
        QORString out;
        ASSERT_TRUE(qor_format_string(QORStringRef(c.format), c.keys, values, &out)) << c.format;
        EXPECT_STREQ(out.c_str(), c.out);
    }
}
