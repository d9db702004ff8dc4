#include "core/sundry/qorepochversion.h"

#include "core/buffers/qorstring.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

QOREpochVersion sample()
{
    QOREpochVersion v;
    for (int i = 0; i < 16; i++)
        v.m_identifier[i] = static_cast<uint8_t>(0x10 * (i % 16) + 15 - i);
    v.m_counter = 42;
    return v;
}

// The texts below are worked out by hand for a little-endian machine.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "texts assume little-endian");
const char kSampleText[] = "3c2d1e0f-5a4b-7869-8796-a5b4c3d2e1f0:00000042";

std::string text(const QOREpochVersion& v)
{
    char buf[QOREpochVersion::kTextSize];
    int n = v.format(buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int>(strlen(buf)));
    return buf;
}

} // namespace

TEST(QOREpochVersionTest, EqualOnlyWhenAllTwentyBytesAreAndIncrementWraps)
{
    QOREpochVersion a = sample();
    QOREpochVersion b = sample();
    EXPECT_TRUE(a == b);
    b.m_identifier[15] ^= 1;
    EXPECT_TRUE(a != b);
    b = sample();
    b.increment();
    EXPECT_FALSE(a == b);
    EXPECT_EQ(b.m_counter, 43);
    b.m_counter = INT32_MAX;
    b.increment();
    EXPECT_EQ(b.m_counter, INT32_MIN);
}

TEST(QOREpochVersionTest, TextFormReadsTheFirstThreeFieldsInMachineOrder)
{
    // Identifier bytes 01 02 ... 10, counter 38.
    unsigned char bytes[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    int32_t counter = 38;
    memcpy(bytes + 16, &counter, 4);
    QOREpochVersion v;
    v.set(bytes);
    QORString t;
    ASSERT_EQ(v.get(t), qor_s_ok);
    EXPECT_STREQ(t.c_str(), "04030201-0605-0807-090a-0b0c0d0e0f10:00000038");
    unsigned char back[20] = {};
    v.get(back);
    EXPECT_EQ(memcmp(back, bytes, sizeof bytes), 0);
    EXPECT_EQ(text(sample()), kSampleText);
    v = sample();
    v.m_counter = INT32_MIN;
    EXPECT_EQ(text(v), "3c2d1e0f-5a4b-7869-8796-a5b4c3d2e1f0:-2147483648");
    v.m_counter = -7;
    EXPECT_EQ(text(v), "3c2d1e0f-5a4b-7869-8796-a5b4c3d2e1f0:-0000007");
}

TEST(QOREpochVersionTest, ParseReadsBackRenewedVersionsAndRefusesMalformedText)
{
    QOREpochVersion v;
    ASSERT_EQ(QOREpochVersion::parse(kSampleText, -1, &v), qor_s_ok);
    EXPECT_TRUE(v == sample());
    // Renewal: a fresh version-four identifier and counter 0.
    QOREpochVersion other = sample();
    ASSERT_EQ(v.renew(), qor_s_ok);
    ASSERT_EQ(other.renew(), qor_s_ok);
    EXPECT_EQ(v.m_counter, 0);
    EXPECT_NE(memcmp(v.m_identifier, other.m_identifier, 16), 0);
    EXPECT_EQ(v.m_identifier[6] >> 4, 4);
    EXPECT_EQ(v.m_identifier[8] >> 6, 2);
    for (int32_t c : {0, 1, -1, 99999999, INT32_MAX, INT32_MIN}) {
        v.m_counter = c;
        QOREpochVersion back;
        std::string t = text(v);
        ASSERT_EQ(QOREpochVersion::parse(t.c_str(), static_cast<int>(t.size()), &back),
                  qor_s_ok) << t;
        EXPECT_TRUE(back == v) << t;
    }
    std::string upper = "3C2D1E0F-5A4B-7869-8796-A5B4C3D2E1F0:42";
    ASSERT_EQ(QOREpochVersion::parse(upper.c_str(), -1, &v), qor_s_ok);
    EXPECT_TRUE(v == sample());

    // Malformed text is refused and leaves the version alone.
    const QOREpochVersion before = v;
    const std::string id = "3c2d1e0f-5a4b-7869-8796-a5b4c3d2e1f0";
    for (const std::string& bad : {
             std::string(), id, id + ":", id.substr(0, 35) + ":42", id.substr(0, 35) + "g:42",
             std::string("0f1e2d3c4-b5a-6978-8796-a5b4c3d2e1f0:42"), id + ":0000004x", id + ":42 ",
             id + ":+42", id + ":-", id + ":2147483648", id + ":-2147483649",
             id + ":12345678901"}) {
        EXPECT_EQ(QOREpochVersion::parse(bad.c_str(), -1, &v), qor_s_invalid_argument) << bad;
        EXPECT_TRUE(v == before) << bad;
    }
    // A length that cuts the counter short is honoured.
    EXPECT_EQ(QOREpochVersion::parse(kSampleText, 37, &v), qor_s_invalid_argument);
    EXPECT_EQ(QOREpochVersion::parse(kSampleText, 38, &v), qor_s_ok);
    EXPECT_EQ(v.m_counter, 0);
}
