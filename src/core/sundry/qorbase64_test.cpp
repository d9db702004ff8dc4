#include "core/sundry/qorbase64.h"

#include <gtest/gtest.h>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string encode(const std::string& in, qor_base64_alphabet_e a)
{
    char out[256];
    int len = -1;
    QORStatus st = qor_base64_encode(reinterpret_cast<const unsigned char*>(in.data()),
                                     static_cast<int>(in.size()), out, sizeof out, &len, a);
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(out[len], '\0');
    return std::string(out, static_cast<size_t>(len));
}

QORStatus decode(const std::string& in, qor_base64_alphabet_e a, std::string* out)
{
    unsigned char buf[256];
    int len = -1;
    QORStatus st = qor_base64_decode(in.data(), static_cast<int>(in.size()), buf,
                                     sizeof buf, &len, a);
    if (st == qor_s_ok)
        *out = std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(len));
    return st;
}

const struct {
    const char* plain;
    const char* encoded;
} kRfcVectors[] = {
    {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

} // namespace

TEST(QORBase64Test, RfcVectorsAndTheTwoAlphabets)
{
    for (auto a : {qor_base64_standard, qor_base64_uri_safe})
        for (const auto& v : kRfcVectors) {
            EXPECT_EQ(encode(v.plain, a), v.encoded);
            std::string back;
            EXPECT_EQ(decode(v.encoded, a, &back), qor_s_ok) << v.encoded;
            EXPECT_EQ(back, v.plain);
        }
    // The alphabets differ in their last two characters.
    const std::string bytes("\xfb\xff\xbf", 3);
    EXPECT_EQ(encode(bytes, qor_base64_standard), "+/+/");
    EXPECT_EQ(encode(bytes, qor_base64_uri_safe), "-_-_");
    std::string back;
    EXPECT_EQ(decode("-_-_", qor_base64_standard, &back), qor_s_conversion_failed);
    EXPECT_EQ(decode("+/+/", qor_base64_uri_safe, &back), qor_s_conversion_failed);
    EXPECT_EQ(decode("-_-_", qor_base64_uri_safe, &back), qor_s_ok);
    EXPECT_EQ(back, bytes);
}

TEST(QORBase64Test, RandomDataRoundTrips)
{
    std::mt19937 rng(7);
    for (int n = 0; n <= 150; n++) {
        std::string data;
        for (int i = 0; i < n; i++)
            data.push_back(static_cast<char>(rng() & 0xff));
        for (auto a : {qor_base64_standard, qor_base64_uri_safe}) {
            std::string text = encode(data, a);
            EXPECT_EQ(static_cast<int>(text.size()), qor_base64_encoded_length(n));
            EXPECT_GE(qor_base64_decoded_max_length(static_cast<int>(text.size())), n);
            std::string back;
            ASSERT_EQ(decode(text, a, &back), qor_s_ok) << text;
            EXPECT_EQ(back, data);
        }
        std::string bare = encode(data, qor_base64_uri_safe);
        bare.erase(bare.find_last_not_of('=') + 1);
        std::string back;
        ASSERT_EQ(decode(bare, qor_base64_uri_safe, &back), qor_s_ok) << bare;
        EXPECT_EQ(back, data);
        EXPECT_EQ(qor_base64_decoded_max_length(static_cast<int>(bare.size())), n);
    }
}

TEST(QORBase64Test, MalformedTextIsRefused)
{
    std::string out;
    for (const char* bad : {"Zg", "Zg=", "Z===", "====", "=", "Zg=v", "Zm9v\n",
                            "Zm 9v", "Zm9vY", "Zh==", "Zm9=", "Zm\x80v", "Zm.v"})
        EXPECT_EQ(decode(bad, qor_base64_standard, &out), qor_s_conversion_failed) << bad;
    for (const char* bad : {"Z", "Zg=", "Zm9vY", "Zh", "Zm9", "Zg=v", "Zm9v=="})
        EXPECT_EQ(decode(bad, qor_base64_uri_safe, &out), qor_s_conversion_failed) << bad;
    EXPECT_EQ(decode("Zg", qor_base64_uri_safe, &out), qor_s_ok);
    EXPECT_EQ(out, "f");
}

TEST(QORBase64Test, LengthsAndBuffersAreChecked)
{
    const int kEncoded[][2] = {{0, 0}, {1, 4}, {4, 8}, {-1, -1},
                               {1610612733, 2147483644}, {1610612734, -1}};
    for (const auto& e : kEncoded)
        EXPECT_EQ(qor_base64_encoded_length(e[0]), e[1]) << e[0];
    const int kDecoded[][2] = {{8, 6}, {7, 5}, {INT_MAX, 1610612735}, {-4, -1}};
    for (const auto& d : kDecoded)
        EXPECT_EQ(qor_base64_decoded_max_length(d[0]), d[1]) << d[0];

    const auto kStd = qor_base64_standard;
    const unsigned char in[] = "foob";
    char out[9];
    memset(out, '#', sizeof out);
    int len = -1;
    EXPECT_EQ(qor_base64_encode(in, 4, out, 7, &len, kStd), qor_s_out_of_range);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(qor_base64_encode(in, 4, out, 8, &len, kStd), qor_s_ok);
    EXPECT_EQ(out[8], '#') << "no terminator without room";
    EXPECT_EQ(qor_base64_encode(in, -1, out, 9, &len, kStd), qor_s_invalid_argument);
    EXPECT_EQ(qor_base64_encode(nullptr, 1, out, 9, &len, kStd), qor_s_invalid_argument);
    EXPECT_EQ(qor_base64_encode(in, 4, out, 9, nullptr, kStd), qor_s_invalid_argument);
    EXPECT_EQ(qor_base64_encode(nullptr, 0, nullptr, 0, &len, kStd), qor_s_ok);
    EXPECT_EQ(len, 0);

    unsigned char bytes[4] = {'#'};
    EXPECT_EQ(qor_base64_decode("Zm9vYg==", 8, bytes, 3, &len, kStd), qor_s_out_of_range);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(bytes[0], '#');
    EXPECT_EQ(qor_base64_decode("Zm9vYg==", -2, bytes, 4, &len, kStd), qor_s_invalid_argument);
    EXPECT_EQ(qor_base64_decode("Zm9vYg==", 8, bytes, -1, &len, kStd), qor_s_invalid_argument);
    EXPECT_EQ(qor_base64_decode("Zm9vYg==", 8, bytes, 4, &len,
                                static_cast<qor_base64_alphabet_e>(7)),
              qor_s_invalid_argument);
}
