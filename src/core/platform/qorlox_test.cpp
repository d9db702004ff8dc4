#include "core/platform/qorlox.h"
#include "core/platform/qorscopedlocale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs a test under C.UTF-8 case rules and gives the process its locale back.
class LoxLocaleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_locale.ok())
            GTEST_SKIP() << "C.UTF-8 locale not installed";
    }
    QORScopedCtypeLocale m_locale{"C.UTF-8"};
};

typedef std::pair<int, lox_unichar_t> Decoded;

// What lox_mbtowc returns and stores (0xFFFF: nothing stored).
Decoded decode(lox_cs_t cs, const char* s, size_t n)
{
    lox_unichar_t wc = 0xFFFF;
    int r = lox_mbtowc(cs, &wc, s, n);
    return {r, wc};
}

// The bytes lox_wctomb writes, or what it returns when it refuses.
std::string encode(lox_cs_t cs, lox_unichar_t wc)
{
    char b[LOX_MB_LEN_MAX];
    int n = lox_wctomb(cs, b, wc);
    return n < 0 ? std::to_string(n) : std::string(b, n);
}

// What converting a whole string into 16 bytes returns, then the output.
std::string convert(int (*f)(lox_cs_t, const char*, int, char*, int), lox_cs_t cs, const char* in)
{
    char out[16];
    int n = f(cs, in, -1, out, sizeof out);
    return std::to_string(n) + (n < 0 ? "" : " " + std::string(out));
}

} // namespace

TEST(LoxUtf8, DecodesShortestFormsAndRejectsTheRest)
{
    lox_cs_t u = lox_cs_utf8();
    EXPECT_EQ(decode(u, "A", 1), Decoded(1, 'A'));
    EXPECT_EQ(decode(u, "", 1), Decoded(1, 0));
    EXPECT_EQ(decode(u, "\xC3\xA9", 2), Decoded(2, 0xE9));
    EXPECT_EQ(decode(u, "\xEF\xBF\xBD", 3), Decoded(3, 0xFFFD));
    const char* bad[] = {"\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF",
                         "\xF0\x80\x80\x80", "\xED\xA0\x80", "\xED\xBF\xBF",
                         "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80",
                         "\xC3\x41", "\xE2\x82\x41", "\xF0\x9F\x98\x80"};
    for (const char* s : bad)
        EXPECT_EQ(-1, decode(u, s, strlen(s)).first) << s;
    // Truncated by the count although the bytes are there.
    EXPECT_EQ(-1, decode(u, "\xE2\x82\xAC", 2).first);
    EXPECT_EQ(-1, decode(u, "A", 0).first);
    EXPECT_EQ(encode(u, 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(encode(u, 0xD800), "-1");
    EXPECT_EQ(4, lox_cs_mb_max(u));
}

TEST(LoxCodeSet, NamesAliasesAndRefusals)
{
    const char* aliases[] = {"UTF-8", "utf8", "UTF8", "utf_8"};
    for (const char* name : aliases) {
        lox_cs_t cs = lox_cs_new(name);
        ASSERT_NE(nullptr, cs) << name;
        EXPECT_TRUE(lox_cs_is_utf8(cs));
        EXPECT_STREQ("UTF-8", lox_cs_name(cs));
        lox_cs_delete(cs);
    }
    const char* refused[] = {"NO-SUCH-CODESET", "", "UTF-16", "ISO-2022-JP", "UTF-8//IGNORE"};
    for (const char* name : refused)
        EXPECT_EQ(nullptr, lox_cs_new(name)) << name;
    EXPECT_EQ(nullptr, lox_cs_new(nullptr));
    lox_cs_delete(lox_cs_utf8());
    EXPECT_TRUE(lox_cs_is_utf8(lox_cs_utf8()));
}

TEST(LoxCodeSet, SingleByteTablesBothWays)
{
    lox_cs_t l1 = lox_cs_new("ISO-8859-1");
    lox_cs_t l15 = lox_cs_new("iso-8859-15");
    ASSERT_NE(nullptr, l1);
    ASSERT_NE(nullptr, l15);
    EXPECT_EQ(1, lox_cs_mb_max(l15));
    EXPECT_EQ(decode(l1, "\xA4", 1), Decoded(1, 0xA4));
    EXPECT_EQ(decode(l15, "\xA4", 1), Decoded(1, 0x20AC));
    EXPECT_EQ(encode(l15, 0x20AC), "\xA4");
    EXPECT_EQ(encode(l15, 0xA4), "-1");
    EXPECT_EQ(encode(l1, 0x20AC), "-1");
    EXPECT_EQ(convert(lox_to_utf8, l15, "\xA4\xE9!"), "6 \xE2\x82\xAC\xC3\xA9!");
    EXPECT_EQ(convert(lox_from_utf8, l1, "\xC3\xA9x"), "2 \xE9x");
    EXPECT_EQ(convert(lox_from_utf8, l1, "\xE2\x82\xAC"), "-1");
    lox_cs_delete(l1);
    lox_cs_delete(l15);
}

TEST(LoxCodeSet, MultiByteThroughIconv)
{
    lox_cs_t cs = lox_cs_new("EUC-JP");
    if (cs == nullptr)
        GTEST_SKIP() << "iconv has no EUC-JP module in this build";
    EXPECT_EQ(decode(cs, "\xA4\xA2\xA4\xA4", 4), Decoded(2, 0x3042));
    EXPECT_EQ(-1, decode(cs, "\xA4\xA2", 1).first);
    EXPECT_EQ(decode(cs, "a\xA4", 2), Decoded(1, 'a'));
    EXPECT_EQ(encode(cs, 0x3044), "\xA4\xA4");
    EXPECT_EQ(encode(cs, 0x20AC), "-1");
    EXPECT_EQ(3, lox_cs_mb_max(cs));
    EXPECT_EQ(convert(lox_to_utf8, cs, "\xA4\xA2x\xA4\xA4"), "7 \xE3\x81\x82x\xE3\x81\x84");
    EXPECT_EQ(convert(lox_to_utf8, cs, "x\xA4"), "-1");
    EXPECT_EQ(convert(lox_from_utf8, cs, "\xE3\x81\x82z"), "3 \xA4\xA2z");

    // One handle, many threads: each descriptor's state is kept apart.
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; t++)
        threads.emplace_back([cs, t, &wrong] {
            for (int i = 0; i < 500; i++) {
                lox_unichar_t w;
                char e[LOX_MB_LEN_MAX];
                if (lox_mbtowc(cs, &w, "\xA4\xA2", 2) != 2 || w != 0x3042 ||
                    lox_wctomb(cs, e, 0x3044) != 2 || e[1] != '\xA4')
                    wrong[t]++;
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(std::vector<int>(4, 0), wrong);
    lox_cs_delete(cs);
}

TEST(LoxSearch, TrailBytesNeverMatch)
{
    lox_cs_t u = lox_cs_utf8();
    const char s[] = "a\xC3\xA9\xC2\xA9z\xC2\xA9";
    EXPECT_EQ(s + 3, lox_strchr(u, s, 0xA9));
    EXPECT_EQ(s + 6, lox_strrchr(u, s, 0xA9));
    EXPECT_EQ(s + 8, lox_strchr(u, s, 0));
    EXPECT_EQ(nullptr, lox_strchr(u, "\xC3\xA9", 0xA9));
    EXPECT_EQ(nullptr, lox_strchr(u, "\xFFz", 'z'));
    EXPECT_EQ(nullptr, lox_strrchr(u, "z\xFF", 'z'));
    // Shift_JIS: the trail byte of U+8868 is 0x5C, which alone is the yen sign.
    lox_cs_t sj = lox_cs_new("SHIFT_JIS");
    if (sj == nullptr)
        GTEST_SKIP() << "iconv has no Shift_JIS module in this build";
    const char t[] = "\x95\x5C\x5C";
    EXPECT_EQ(t + 2, lox_strchr(sj, t, 0xA5));
    EXPECT_EQ(nullptr, lox_strchr(sj, "\x95\x5C", 0xA5));
    lox_cs_delete(sj);
}

TEST_F(LoxLocaleTest, CaseInsensitiveComparisonAndLowering)
{
    lox_cs_t u = lox_cs_utf8();
    EXPECT_EQ(0xE9, lox_towlower(0xC9));
    EXPECT_EQ(0xC9, lox_towupper(0xE9));
    EXPECT_EQ('i', lox_towlower('I'));
    EXPECT_EQ(0xD801, lox_towlower(0xD801));
    EXPECT_TRUE(lox_iswspace(0x3000));
    EXPECT_FALSE(lox_iswspace('x'));

    EXPECT_EQ(0, lox_strnicmp(u, "\xC3\x89" "cole", "\xC3\xA9" "COLE", 64));
    EXPECT_LT(lox_strnicmp(u, "apple", "BANANA", 5), 0);
    EXPECT_GT(lox_strnicmp(u, "\xC3\xA9", "z", 2), 0);
    EXPECT_EQ(0, lox_strnicmp(u, "abcX", "ABCy", 3));
    EXPECT_EQ(0, lox_strnicmp(u, "ab\0X", "AB\0y", 4));
    EXPECT_EQ(0, lox_strnicmp(u, "\xFF" "a", "\xFF" "A", 2));
    EXPECT_NE(0, lox_strnicmp(u, "\xFF", "\xFE", 1));
    // A byte that does not decode never equals the character of that value.
    EXPECT_NE(0, lox_strnicmp(u, "\xE9", "\xC3\xA9", 2));
    // Outside the basic plane: Deseret capital and small long I.
    EXPECT_EQ(0, lox_strnicmp(u, "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", 4));

    lox_cs_t l1 = lox_cs_new("ISO-8859-1");
    ASSERT_NE(nullptr, l1);
    EXPECT_EQ(0, lox_strnicmp(l1, "\xC9T\xC9", "\xE9t\xE9", 3));
    lox_cs_delete(l1);

    const lox_unichar_t wa[] = {'A', 0xC9, 0};
    const lox_unichar_t wb[] = {'a', 0xE9, 0};
    const lox_unichar_t wz[] = {'a', 0xE9, 'z', 0};
    EXPECT_EQ(0, lox_wcsnicmp(wa, wb, 8));
    EXPECT_LT(lox_wcsncmp(wa, wb, 8), 0);
    EXPECT_LT(lox_wcsnicmp(wb, wz, 8), 0);
    EXPECT_EQ(0, lox_wcsnicmp(wb, wz, 2));
    EXPECT_EQ(3u, lox_wcslen(wz));

    // Lowering keeps byte counts: U+0130 and U+212A lower-case to one-byte
    // letters, so they are left alone.
    char s[] = "\xC3\x80Z\xC3\xA9\xC4\xB0\xE2\x84\xAA";
    ASSERT_EQ(0, lox_strlower(u, s));
    EXPECT_STREQ("\xC3\xA0z\xC3\xA9\xC4\xB0\xE2\x84\xAA", s);
    char bad[] = "AB\xC3";
    EXPECT_EQ(-1, lox_strlower(u, bad));
    EXPECT_STREQ("AB\xC3", bad);
}

TEST(LoxConvert, OutputBoundsAreExact)
{
    lox_cs_t u = lox_cs_utf8();
    char out[8];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(3, lox_to_utf8(u, "a\xC3\xA9", -1, out, 3));
    EXPECT_EQ('x', out[3]);
    EXPECT_EQ(-1, lox_to_utf8(u, "a\xC3\xA9", -1, out, 2));
    EXPECT_EQ(3, lox_to_utf8(u, "a\xC3\xA9", -1, out, 4));
    EXPECT_EQ('\0', out[3]);
    EXPECT_EQ(1, lox_to_utf8(u, "a\xC3\xA9", 1, out, 4));
    EXPECT_EQ(-1, lox_to_utf8(u, "a\xC3\xA9", 2, out, 8));
    EXPECT_EQ(-1, lox_to_utf8(u, "a", -2, out, 8));
    EXPECT_EQ(-1, lox_to_utf8(u, "a", 1, out, -1));
    lox_unichar_t w[4] = {9, 9, 9, 9};
    EXPECT_EQ(3, lox_to_ucs2_r(u, "\xF0\x9F\x98\x80" "a", -1, w, 3));
    EXPECT_EQ(0xD83D, w[0]);
    EXPECT_EQ(0xDE00, w[1]);
    EXPECT_EQ(9, w[3]);
    EXPECT_EQ(-1, lox_to_ucs2_r(u, "\xF0\x9F\x98\x80", -1, w, 1));
    const lox_unichar_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(4, lox_from_ucs2_r(u, pair, -1, out, 5));
    EXPECT_STREQ("\xF0\x9F\x98\x80", out);
    EXPECT_EQ(-1, lox_from_ucs2_r(u, pair, 1, out, 8));
    const lox_unichar_t lone[] = {0xDE00, 'a', 0};
    EXPECT_EQ(-1, lox_from_ucs2_r(u, lone, -1, out, 8));
}

TEST_F(LoxLocaleTest, LocalCodeSetFollowsTheLocale)
{
    setlocale(LC_CTYPE, "C");
    lox_cs_local_reset();
    lox_cs_t c = lox_cs_local();
    ASSERT_NE(nullptr, c);
    EXPECT_FALSE(lox_cs_is_utf8(c));
    lox_unichar_t w[8];
    EXPECT_EQ(static_cast<size_t>(-1), lox_mbstowcs(w, "\xC3\xA9", 8));
    setlocale(LC_CTYPE, "C.UTF-8");
    lox_cs_local_reset();
    EXPECT_EQ(lox_cs_utf8(), lox_cs_local());
    EXPECT_EQ(decode(c, "a", 1), Decoded(1, 'a'));
    EXPECT_EQ(2u, lox_mbstowcs(nullptr, "\xC3\xA9z", 0));
    EXPECT_EQ(1u, lox_mbstowcs(w, "\xC3\xA9z", 1));
    EXPECT_EQ(0xE9, w[0]);
    const lox_unichar_t s[] = {0xE9, 'z', 0};
    char out[8];
    EXPECT_EQ(3u, lox_wcstombs(nullptr, s, 0));
    EXPECT_EQ(2u, lox_wcstombs(out, s, 2));
    EXPECT_EQ(0, memcmp(out, "\xC3\xA9", 2));
    EXPECT_EQ(3u, lox_wcstombs(out, s, sizeof(out)));
    EXPECT_STREQ("\xC3\xA9z", out);
    const lox_unichar_t lone[] = {0xD800, 0};
    EXPECT_EQ(static_cast<size_t>(-1), lox_wcstombs(out, lone, sizeof(out)));
}

// Random bytes in buffers of exactly their size, so that the sanitizer sees
// any read past a count; whatever converts must convert back unchanged.
TEST(LoxConvert, RandomInputStaysInBoundsAndRoundTrips)
{
    lox_cs_t sets[] = {lox_cs_utf8(), lox_cs_new("ISO-8859-15"), lox_cs_new("EUC-JP")};
    std::mt19937 rng(7);
    for (lox_cs_t cs : sets) {
        if (cs == nullptr)
            continue;
        for (int i = 0; i < 300; i++) {
            size_t n = 1 + rng() % 12;
            std::vector<char> in(n);
            for (char& c : in)
                c = static_cast<char>(rng() % 4 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
            lox_unichar_t wc;
            int k = lox_mbtowc(cs, &wc, in.data(), n);
            EXPECT_TRUE(k == -1 || (k >= 1 && static_cast<size_t>(k) <= n));
            std::vector<char> same(in);
            std::vector<char> other(in.rbegin(), in.rend());
            EXPECT_EQ(0, lox_strnicmp(cs, in.data(), same.data(), n));
            int d = lox_strnicmp(cs, in.data(), other.data(), n);
            EXPECT_EQ(d < 0, lox_strnicmp(cs, other.data(), in.data(), n) > 0);

            std::vector<lox_unichar_t> wide(n);
            int units = lox_to_ucs2_r(cs, in.data(), static_cast<int>(n), wide.data(),
                                      static_cast<int>(n));
            if (units < 0)
                continue;
            std::vector<char> back(n);
            EXPECT_EQ(static_cast<int>(n),
                      lox_from_ucs2_r(cs, wide.data(), units, back.data(), static_cast<int>(n)));
            EXPECT_EQ(in, back);
        }
        lox_cs_delete(cs);
    }
}
