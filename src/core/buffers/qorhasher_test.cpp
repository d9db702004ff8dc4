#include "core/buffers/qorhasher.h"
#include "core/buffers/qorcomparator.h"
#include "core/buffers/qorsiphash.h"

#include <gtest/gtest.h>
#include <string>

#include "core/platform/qorscopedlocale.h"

// Every hasher starts from the same seed; a char is mixed in signed, a byte
// or a wide unit unsigned.
TEST(QORHasherTest, CharsMixSignedBytesUnsignedAndCaseFoldsUpToBadUtf8)
{
    std::string high = "x\xe9y";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(high.data());
    const lox_unichar_t u[] = {'x', 0xe9, 'y'};
    const wchar_t w[] = {L'x', 0xe9, L'y'};
    uint32_t h = ((5381u * 33 ^ 'x') * 33 ^ 0xe9u) * 33 ^ 'y';
    EXPECT_EQ(qor_binary_hasher.hash(bytes, 3), h);
    EXPECT_EQ(qor_unichar_t_hasher.hash(u, 3), h);
    EXPECT_EQ(qor_wchar_t_hasher.hash(w, 3), h);
    EXPECT_EQ(qor_string_hasher.hash(high.data(), 3),
              ((5381u * 33 ^ 'x') * 33 ^ 0xffffffe9u) * 33 ^ 'y');
    // The case-insensitive hash folds ASCII to lower case and stops at bytes
    // that are no UTF-8 (a truncated two-byte character at the end too).
    const QORICaseStringHasher& icase = qor_icase_string_hasher;
    EXPECT_EQ(icase.hash("", 0), 5381u);
    EXPECT_EQ(icase.hash("Content-Type", 12), icase.hash("content-type", 12));
    EXPECT_EQ(icase.hash("content-type", 12), qor_string_hasher.hash("content-type", 12));
    EXPECT_NE(icase.hash("abc", 3), icase.hash("abd", 3));
    EXPECT_EQ(icase.hash("ab\xff" "cd", 5), qor_string_hasher.hash("ab", 2));
    EXPECT_EQ(icase.hash("ab\xc3", 3), qor_string_hasher.hash("ab", 2));
}

TEST(QORComparatorTest, RulesOfEachComparator)
{
    EXPECT_LT(qor_strcmp.compare("abc", "abd", 3), 0);
    EXPECT_EQ(qor_strcmp.compare("abc", "abd", 2), 0);
    EXPECT_EQ(qor_icase_strcmp.compare("HeLLo", "hello", 5), 0);
    EXPECT_GT(qor_icase_strcmp.compare("b", "A", 1), 0);
    const unsigned char x[] = {0x01, 0xff};
    const unsigned char y[] = {0x01, 0x02};
    EXPECT_EQ(qor_memcmp.compare(x, y, 2), 1);
    EXPECT_EQ(qor_memcmp.compare(y, x, 2), -1);
    EXPECT_EQ(qor_memcmp.compare(x, x, 2), 0);
    const lox_unichar_t a[] = {'A', 0x00c9};
    const lox_unichar_t b[] = {'a', 0x00c9};
    EXPECT_LT(qor_unichar_t_strcmp.compare(a, b, 2), 0);
    EXPECT_EQ(qor_unichar_t_icase_strcmp.compare(a, b, 2), 0);
    EXPECT_LT(qor_wchar_t_strcmp.compare(L"ab", L"b", 1), 0);
}

// Under a UTF-8 locale "CAFÉ" and "café" hash and compare alike: the
// accented letter is one unichar, lower-cased.
TEST(QORComparatorTest, CaseInsensitiveUtf8UnderUtf8Locale)
{
    QORScopedCtypeLocale loc("C.UTF-8");
    if (!loc.ok())
        GTEST_SKIP() << "C.UTF-8 locale not available";
    const char upper[] = "CAF\xc3\x89";
    uint32_t h = qor_icase_string_hasher.hash(upper, 5);
    EXPECT_EQ(h, qor_icase_string_hasher.hash("caf\xc3\xa9", 5));
    EXPECT_EQ(h, qor_string_hasher.hash("caf", 3) * 33 ^ 0xe9u);
    EXPECT_EQ(qor_lcp_icase_string_hasher.hash(upper, 5), h);
    EXPECT_EQ(qor_icase_strcmp.compare("\xc3\x89t\xc3\xa9", "\xc3\xa9T\xc3\x89", 5), 0);
    EXPECT_EQ(qor_lcp_icase_strcmp.compare("\xc3\x89", "\xc3\xa9", 2), 0);
}

// The published vectors (key 00..0f; messages 00.., empty and 15 bytes),
// and the same hash whatever the pieces.
TEST(QORSipHashTest, PublishedVectorsInAnyPieces)
{
    uint8_t key[16], msg[15];
    for (int i = 0; i < 16; i++)
        key[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 15; i++)
        msg[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(QORSipHash(key).finish(), 0x726fdb47dd0e0e31ULL);
    QORSipHash whole(key);
    whole.add(msg, 15);
    EXPECT_EQ(whole.finish(), 0xa129ca6149be45e5ULL);
    QORSipHash pieces(key);
    pieces.add(msg, 3);
    pieces.add(msg + 3, 0);
    pieces.add(msg + 3, 9);
    pieces.add(msg + 12, 3);
    EXPECT_EQ(pieces.finish(), 0xa129ca6149be45e5ULL);
    key[0] ^= 1;
    QORSipHash otherKey(key);
    otherKey.add(msg, 15);
    EXPECT_NE(otherKey.finish(), 0xa129ca6149be45e5ULL);
}
