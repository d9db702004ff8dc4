#include "core/sundry/qorsnprintf.h"

#include <gtest/gtest.h>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/platform/qorscopedlocale.h"

namespace {

// The C library's snprintf is the oracle for every conversion both know.
template <typename... A>
void expectSameAsC(const char* fmt, A... args)
{
    char want[8192];
    char got[8192];
    int w = snprintf(want, sizeof want, fmt, args...);
    int g = qor_snprintf(got, sizeof got, fmt, args...);
    EXPECT_EQ(g, w) << fmt;
    EXPECT_STREQ(got, want) << fmt;
}

const char* const kFlags[] = {"", "-", "+", " ", "#", "0", "-0", "+0", "# 0", "-#+"};
const char* const kWidths[] = {"", "1", "7", "30", "*"};
const char* const kPrecisions[] = {"", ".", ".0", ".3", ".25", ".*"};

// Compares every format made of the flags, widths and precisions above, the
// length modifier and each conversion; each * takes 9 and then 4, or -9, -4.
template <typename T>
void expectGridSameAsC(const char* length, const char* convs, T value)
{
    for (const char* c = convs; *c != '\0'; c++)
        for (const char* f : kFlags)
            for (const char* w : kWidths)
                for (const char* p : kPrecisions) {
                    std::string fmt = std::string("[%") + f + w + p + length + *c + "]";
                    int stars = (*w == '*') + (strchr(p, '*') != nullptr);
                    if (stars == 0)
                        expectSameAsC(fmt.c_str(), value);
                    for (int sign : {1, -1}) {
                        if (stars == 1)
                            expectSameAsC(fmt.c_str(), 9 * sign, value);
                        if (stars == 2)
                            expectSameAsC(fmt.c_str(), 9 * sign, 4 * sign, value);
                    }
                }
}

const lox_unichar_t kAscii[] = {'a', 'b', 'c', 0};
const lox_unichar_t kEAcute[] = {0xe9, 0};
const lox_unichar_t kNihon[] = {0x65e5, 0x672c, 0};
const lox_unichar_t kSmiley[] = {0xd83d, 0xde00, 0};
const lox_unichar_t kLoneHigh[] = {'a', 0xd83d, 'b', 0};
const lox_unichar_t kLoneLow[] = {0xde00, 0};

// The output and, after "#", the count returned.
std::string utf8(const char* fmt, const lox_unichar_t* s)
{
    char buf[64];
    int n = qor_snprintf_utf8(buf, sizeof buf, fmt, s);
    return std::string(buf) + "#" + std::to_string(n);
}

} // namespace

TEST(QORSnprintfTest, ConversionsMatchTheCLibrary)
{
    const char* all = "diuoxX";
    for (int v : {0, 1, -1, 42, -77, INT_MAX, INT_MIN})
        expectGridSameAsC("", all, v);
    expectGridSameAsC("hh", all, 300);
    expectGridSameAsC("h", all, -70000);
    expectGridSameAsC("l", all, LONG_MIN);
    expectGridSameAsC("ll", all, LLONG_MIN);
    expectGridSameAsC("ll", all, ULLONG_MAX);
    expectGridSameAsC("z", all, SIZE_MAX);
    expectGridSameAsC("j", all, INTMAX_MIN);
    expectGridSameAsC("t", all, PTRDIFF_MIN);
    for (double v : {0.0, -0.0, 0.1, 1.5, -123.456, 1e300, -4.9e-324, HUGE_VAL,
                     -HUGE_VAL, double(NAN)})
        expectGridSameAsC("", "fFeEgGaA", v);
    expectGridSameAsC("l", "fg", 2.5);
    for (long double v : {0.0L, -1.0L / 3, LDBL_MAX})
        expectGridSameAsC("L", "feEgA", v);
    // Longer than the engine's own buffer.
    expectSameAsC("%.300f|%-400.2e|%0400g", 1e300, 1.0, -2.0);
    int x = 0;
    for (const char* f : {"", "-"})
        for (const char* w : {"", "1", "12"}) {
            std::string base = std::string("[%") + f + w;
            expectSameAsC((base + "c]").c_str(), 'q');
            expectSameAsC((base + "p]").c_str(), static_cast<void*>(&x));
            expectSameAsC((base + "p]").c_str(), static_cast<void*>(nullptr));
            for (const char* p : {"", ".0", ".2", ".40"})
                expectSameAsC((base + p + "s]").c_str(), "hello");
        }
    expectSameAsC("%%|%s%%%d", "x", 5);
    char buf[32];
    const char* none = nullptr;
    EXPECT_EQ(qor_snprintf(buf, sizeof buf, "%s|%.8s|%-7.5s|", none, none, none), 22);
    EXPECT_STREQ(buf, "(null)|(null)|       |");
}

TEST(QORSnprintfTest, TruncatesAtEverySizeAndCountsTheWhole)
{
    const char* fmt = "%-6s|%+08.3f|%#x|%5c|%S";
    char full[128];
    int n = qor_snprintf_utf8(full, sizeof full, fmt, "ab", 3.14159, 255u, 'z', kNihon);
    ASSERT_EQ(n, static_cast<int>(strlen(full)));
    EXPECT_STREQ(full, "ab    |+003.142|0xff|    z|\xe6\x97\xa5\xe6\x9c\xac");
    EXPECT_EQ(qor_snprintf_utf8(nullptr, 0, fmt, "ab", 3.14159, 255u, 'z', kNihon), n);
    for (int size = 0; size <= n + 1; size++) {
        char buf[160];
        memset(buf, '#', sizeof buf);
        int r = qor_snprintf_utf8(buf, static_cast<size_t>(size), fmt, "ab", 3.14159,
                                  255u, 'z', kNihon);
        EXPECT_EQ(r, n) << size;
        if (size > 0) {
            EXPECT_EQ(std::string(buf), std::string(full, static_cast<size_t>(size - 1)));
        }
        EXPECT_EQ(buf[size], '#') << "wrote past size " << size;
    }
}

TEST(QORSnprintfTest, RefusesInvalidFormatsAndNeverWritesThroughN)
{
    int target = 42;
    char buf[32] = "junk";
    EXPECT_EQ(qor_snprintf(buf, sizeof buf, "abc%n", &target), -1);
    EXPECT_EQ(target, 42);
    EXPECT_STREQ(buf, "");
    for (const char* fmt : {"%", "abc%", "%5", "%-", "%y", "%hhf", "%Ld", "%lc",
                            "%ls", "%1$d", "%5%", "%lp", "%zs", "%llld", "%q",
                            "%99999999999d", "%.99999999999d", "%\xe9"})
        EXPECT_EQ(qor_snprintf(buf, sizeof buf, fmt, 1, 2), -1) << fmt;
    EXPECT_EQ(qor_snprintf(buf, sizeof buf, nullptr, 1), -1);
    EXPECT_EQ(qor_snprintf(buf, sizeof buf, "%*d", INT_MIN, 1), -1);
    // The whole output must stay within INT_MAX bytes, however it is cut.
    EXPECT_EQ(qor_snprintf(nullptr, 0, "%*d%*d", INT_MAX - 2, 1, 10, 2), -1);
    EXPECT_EQ(qor_snprintf(nullptr, 0, "%*d", INT_MAX, 1), INT_MAX);
}

TEST(QORSnprintfTest, UnicodeStringsConvertIntoUtf8CountingBytesOfWholeCharacters)
{
    EXPECT_EQ(utf8("%S", kAscii), "abc#3");
    EXPECT_EQ(utf8("<%S>", kEAcute), "<\xc3\xa9>#4");
    EXPECT_EQ(utf8("%S", kNihon), "\xe6\x97\xa5\xe6\x9c\xac#6");
    EXPECT_EQ(utf8("%S", kSmiley), "\xf0\x9f\x98\x80#4");
    EXPECT_EQ(utf8("%S", nullptr), "(null)#6");
    EXPECT_EQ(utf8("[%.3S]", nullptr), "[]#2");
    EXPECT_EQ(utf8("%S", kLoneHigh), "#-1");
    EXPECT_EQ(utf8("%S", kLoneLow), "#-1");
    // Width and precision count bytes of whole characters.
    EXPECT_EQ(utf8("[%.5S]", kNihon), "[\xe6\x97\xa5]#5");
    EXPECT_EQ(utf8("[%.3S]", kNihon), "[\xe6\x97\xa5]#5");
    EXPECT_EQ(utf8("[%.2S]", kNihon), "[]#2");
    EXPECT_EQ(utf8("[%.6S]", kNihon), "[\xe6\x97\xa5\xe6\x9c\xac]#8");
    EXPECT_EQ(utf8("[%8S]", kNihon), "[  \xe6\x97\xa5\xe6\x9c\xac]#10");
    EXPECT_EQ(utf8("[%-4.3S]", kNihon), "[\xe6\x97\xa5 ]#6");
    char buf[32];
    EXPECT_EQ(qor_snprintf_utf8(buf, sizeof buf, "[%*.*S]", 5, 4, kSmiley), 7);
    EXPECT_STREQ(buf, "[ \xf0\x9f\x98\x80]");
    // Cut before the lone surrogate: it is never converted.
    EXPECT_EQ(utf8("%.1S", kLoneHigh), "a#1");
}

// The plain forms write the local code page.
TEST(QORSnprintfTest, UnicodeStringsConvertIntoTheGivenOrLocalCodeSet)
{
    lox_cs_t latin1 = lox_cs_new("ISO-8859-1");
    ASSERT_NE(latin1, nullptr);
    char buf[32];
    EXPECT_EQ(qor_snprintf_cs(latin1, buf, sizeof buf, "%S-%3S", kAscii, kEAcute), 7);
    EXPECT_STREQ(buf, "abc-  \xe9");
    EXPECT_EQ(qor_snprintf_cs(latin1, buf, sizeof buf, "x%Sy", kNihon), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(qor_snprintf_cs(latin1, buf, sizeof buf, "%S", kSmiley), -1);
    char* out = reinterpret_cast<char*>(1);
    EXPECT_EQ(qor_asprintf_cs(latin1, &out, "%S", kNihon), -1);
    EXPECT_EQ(out, nullptr);
    lox_cs_delete(latin1);
    EXPECT_EQ(qor_snprintf_cs(nullptr, buf, sizeof buf, "%S", kAscii), -1);
    EXPECT_EQ(qor_snprintf_cs(nullptr, buf, sizeof buf, "%d", 7), 1);
    {
        QORScopedCtypeLocale c("C");
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(qor_snprintf(buf, sizeof buf, "%S", kAscii), 3);
        EXPECT_EQ(qor_snprintf(buf, sizeof buf, "%S", kEAcute), -1);
        EXPECT_EQ(qor_snprintf_lcp(buf, sizeof buf, "%S", kEAcute), -1);
        EXPECT_EQ(qor_snprintf_utf8(buf, sizeof buf, "%S", kEAcute), 2);
    }
    QORScopedCtypeLocale u("C.UTF-8");
    if (!u.ok())
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(qor_snprintf(buf, sizeof buf, "%S", kEAcute), 2);
    EXPECT_STREQ(buf, "\xc3\xa9");
    EXPECT_EQ(qor_snprintf_lcp(buf, sizeof buf, "%S", kNihon), 6);
}

TEST(QORSnprintfTest, AsprintfAllocatesTheWholeOutput)
{
    char* out = nullptr;
    EXPECT_EQ(qor_asprintf(&out, "%s=%05d", "key", -42), 9);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "key=-0042");
    qor_asprintf_free(out);
    EXPECT_EQ(qor_asprintf_utf8(&out, "%3000S|", kNihon), 3001);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(strlen(out), 3001u);
    EXPECT_STREQ(out + 2994, "\xe6\x97\xa5\xe6\x9c\xac|");
    qor_asprintf_free(out);
    EXPECT_EQ(qor_asprintf_lcp(&out, "%s", ""), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "");
    qor_asprintf_free(out);
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(qor_asprintf(&out, "%n", &out), -1);
    EXPECT_EQ(out, nullptr);
    qor_asprintf_free(nullptr);
}
