#include "core/buffers/qorconverter.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "core/platform/qorscopedlocale.h"
#include "qorteststr.h"

TEST(QORConverterTest, PlainConvertersCopyWidenAndNarrow)
{
    QORStringConverterT<char, lox_unichar_t> widen;
    QORStringT<lox_unichar_t> w;
    ASSERT_EQ(widen.convert(w, "ab\xe9", -1), qor_s_ok);
    ASSERT_EQ(w.length(), 3);
    EXPECT_EQ(w.data()[2], static_cast<lox_unichar_t>(static_cast<char>('\xe9')));
    QORStringConverterT<wchar_t, char> narrow;
    QORString n;
    ASSERT_EQ(narrow.convert(n, L"xyz", 2), qor_s_ok);
    EXPECT_EQ(qor_test_str(n), "xy");
    // Appending keeps what was there.
    QORByteConverter copy;
    ASSERT_EQ(copy.append(n, "123", -1), qor_s_ok);
    EXPECT_EQ(qor_test_str(n), "xy123");
    EXPECT_EQ(copy.append(n, "x", -2), qor_s_invalid_argument);
}

TEST(QORConverterTest, IconvConvertsBetweenNamedSetsOrGivesTheFailuresStatus)
{
    QORCPiConvConverter toUtf8("ISO-8859-1", "UTF-8"), back("UTF-8", "ISO-8859-1");
    ASSERT_TRUE(toUtf8.isUsable());
    QORString out, latin;
    ASSERT_EQ(toUtf8.convert(out, "caf\xe9", -1), qor_s_ok);
    EXPECT_EQ(qor_test_str(out), "caf\xc3\xa9");
    ASSERT_EQ(back.convert(latin, out.data(), out.length()), qor_s_ok);
    EXPECT_EQ(qor_test_str(latin), "caf\xe9");
    QORCPiConvConverter bad("NO-SUCH-CHARSET", "UTF-8");
    EXPECT_FALSE(bad.isUsable());
    ASSERT_TRUE(out.set(QORStringRef("kept")));
    EXPECT_EQ(bad.append(out, "abc", 3), qor_s_conversion_failed);
    EXPECT_EQ(qor_test_str(out), "kept");
    // A truncated character at the end converts nothing more: refused.
    EXPECT_EQ(back.convert(out, "ab\xc3", 3), qor_s_invalid_argument);
    EXPECT_EQ(qor_test_str(out), "");
    // Invalid input, and a character the target cannot hold, fail to convert.
    EXPECT_EQ(back.convert(out, "ab\xff", 3), qor_s_conversion_failed);
    EXPECT_EQ(back.convert(out, "\xe6\x97\xa5", 3), qor_s_conversion_failed);
}

// A refused allocation leaves the output as it was.
TEST(QORConverterTest, LowerCasingConverters)
{
    QORCountingAllocator a;
    QORString out(&a);
    ASSERT_EQ(qor_us_ascii_to_lower_conv.convert(out, "MiXeD-\xc3\x89", -1), qor_s_ok);
    EXPECT_EQ(qor_test_str(out), "mixed-\xc3\x89");
    ASSERT_EQ(qor_utf8_to_lower_conv.convert(out, "ABC", -1), qor_s_ok);
    EXPECT_EQ(qor_test_str(out), "abc");
    EXPECT_EQ(qor_utf8_to_lower_conv.convert(out, "AB\xc3", 3), qor_s_bad_utf8);
    ASSERT_TRUE(out.set(QORStringRef("start")));
    a.failAfter = 0;
    std::string big(300, 'A');
    EXPECT_EQ(qor_us_ascii_to_lower_conv.append(out, big.c_str(), -1), qor_s_no_memory);
    EXPECT_EQ(qor_test_str(out), "start");
}

TEST(QORConverterTest, Base64RoundTripAndRefusals)
{
    const unsigned char data[] = {'f', 'o', 'o', 'b', 'a', 'r', 0x00, 0xff};
    QORString b64;
    ASSERT_EQ(qor_to_base64_conv.convert(b64, data, 6), qor_s_ok);
    EXPECT_EQ(qor_test_str(b64), "Zm9vYmFy");
    ASSERT_EQ(qor_to_base64_conv.convert(b64, data, 8), qor_s_ok);
    EXPECT_EQ(b64.length(), 12);
    QORString refused("kept");
    EXPECT_EQ(qor_to_base64_conv.append(refused, data, -1), qor_s_invalid_argument);
    EXPECT_EQ(qor_test_str(refused), "kept");
    QORStringT<unsigned char> bin;
    ASSERT_EQ(qor_from_base64_conv.convert(bin, b64.data(), b64.length()), qor_s_ok);
    ASSERT_EQ(bin.length(), 8);
    EXPECT_EQ(memcmp(bin.data(), data, 8), 0);
    EXPECT_NE(qor_from_base64_conv.convert(bin, "Zm9v!mFy", 8), qor_s_ok);
}

// The sys-wide converters follow the process locale.
TEST(QORConverterTest, WideConvertersRoundTripUtf8)
{
    const char text[] = "h\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80";  // é, 日, an emoji
    QORStringT<lox_unichar_t> wide;
    ASSERT_EQ(qor_utf8_mb_to_unichar_t_conv.convert(wide, text, -1), qor_s_ok);
    ASSERT_EQ(wide.length(), 7);  // the emoji takes a surrogate pair
    EXPECT_EQ(wide.data()[1], 0x00e9);
    EXPECT_EQ(wide.data()[3], 0x65e5);
    QORString back;
    ASSERT_EQ(qor_utf8_unichar_t_to_mb_conv.convert(back, wide.data(), wide.length()),
              qor_s_ok);
    EXPECT_EQ(qor_test_str(back), text);
    EXPECT_EQ(qor_utf8_mb_to_unichar_t_conv.convert(wide, "a\xc3", 2),
              qor_s_mb_to_wc_failed);
    const lox_unichar_t lone[] = {0xd800, 'x'};
    EXPECT_EQ(qor_utf8_unichar_t_to_mb_conv.convert(back, lone, 2), qor_s_wc_to_mb_failed);
    QORScopedCtypeLocale loc("C.UTF-8");
    ASSERT_TRUE(loc.ok());
    QORStringT<wchar_t> w;
    ASSERT_EQ(qor_lc_mb_to_wchar_t_conv.convert(w, "\xc3\xa9t\xc3\xa9", -1), qor_s_ok);
    EXPECT_EQ(w.length(), 3);
    ASSERT_EQ(qor_lc_wchar_t_to_mb_conv.convert(back, w.data(), w.length()), qor_s_ok);
    EXPECT_EQ(qor_test_str(back), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(qor_lc_mb_to_wchar_t_conv.convert(w, "\xc3", 1), qor_s_mb_to_wc_failed);
}
