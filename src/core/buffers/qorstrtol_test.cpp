#include "core/buffers/qorstrtol.h"
#include "core/buffers/qorformatstring.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <string>

TEST(QORStrtolTest, BlanksSignAndEndIndex)
{
    int end = -1;
    EXPECT_EQ(qor_strtol(QORStringRef("  -12a"), &end, 10), -12);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(qor_strtol(QORStringRef("abc"), &end, 10), 0);
    EXPECT_EQ(end, 0);
    EXPECT_EQ(qor_strtol(QORStringRef("\t+7"), &end, 10), 7);
    EXPECT_EQ(end, 3);
    // Counted: digits past the view's length are not read.
    EXPECT_EQ(qor_strtol(QORStringRef("12345", 3), &end, 10), 123);
    EXPECT_EQ(end, 3);
}

TEST(QORStrtolTest, BaseZeroChoosesFromThePrefix)
{
    int end;
    EXPECT_EQ(qor_strtol(QORStringRef("0x1F"), &end, 0), 31);
    EXPECT_EQ(end, 4);
    EXPECT_EQ(qor_strtol(QORStringRef("-0X10"), &end, 0), -16);
    EXPECT_EQ(qor_strtol(QORStringRef("017"), &end, 0), 15);
    EXPECT_EQ(qor_strtol(QORStringRef("0"), &end, 0), 0);
    EXPECT_EQ(end, 1);
    EXPECT_EQ(qor_strtol(QORStringRef("9"), &end, 0), 9);
    EXPECT_EQ(qor_strtol(QORStringRef("0x"), &end, 0), 0);
    EXPECT_EQ(end, 1);
    EXPECT_EQ(qor_strtol(QORStringRef("zz"), &end, 36), 35 * 36 + 35);
    EXPECT_EQ(qor_strtol(QORStringRef("ff"), &end, 16), 255);
}

TEST(QORStrtolTest, BadBaseAndOverflow)
{
    int end = 9;
    errno = 0;
    EXPECT_EQ(qor_strtol(QORStringRef("10"), &end, 1), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(end, 0);
    errno = 0;
    EXPECT_EQ(qor_strtol(QORStringRef("10"), &end, 37), 0);
    EXPECT_EQ(errno, EINVAL);

    errno = 0;
    EXPECT_EQ(qor_strtol(QORStringRef("2147483647"), &end, 10), 2147483647L);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qor_strtol(QORStringRef("-2147483648"), &end, 10), -2147483647L - 1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qor_strtol(QORStringRef("2147483648x"), &end, 10), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(end, 10);
    errno = 0;
    EXPECT_EQ(qor_strtol(QORStringRef("-99999999999999999999"), &end, 10), -2147483647L - 1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(end, 21);
}

TEST(QORStrtolTest, UnsignedClampsAndNegates)
{
    int end;
    errno = 0;
    EXPECT_EQ(qor_strtoul(QORStringRef("4294967295"), &end, 10), 4294967295UL);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qor_strtoul(QORStringRef("4294967296"), &end, 10), 4294967295UL);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(qor_strtoul(QORStringRef("-1"), &end, 10), 4294967295UL);
    EXPECT_EQ(qor_strtoul(QORStringRef("-0x10"), &end, 0), 4294967280UL);
}

TEST(QORStrtolTest, WideElementTypes)
{
    int end;
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
    QORString out;
    ASSERT_TRUE(qor_format_string(QORStringRef("%a-%%-%z"), "a", values, &out));
    EXPECT_STREQ(out.c_str(), "first-%-z");

    QORString out2;
    ASSERT_TRUE(qor_format_string(QORStringRef("<%b%a>%"), "ab", values, &out2));
    EXPECT_STREQ(out2.c_str(), "<secondfirst>%");

    // A multi-byte key character counts as one position among the keys.
    QORString out3;
    ASSERT_TRUE(qor_format_string(QORStringRef("%\xc3\xa9!"), "\xc3\xa9x", values, &out3));
    EXPECT_STREQ(out3.c_str(), "first!");
    QORString out4;
    ASSERT_TRUE(qor_format_string(QORStringRef("%x"), "\xc3\xa9x", values, &out4));
    EXPECT_STREQ(out4.c_str(), "second");
}
