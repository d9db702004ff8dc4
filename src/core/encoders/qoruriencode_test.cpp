#include "core/encoders/qoruriencode.h"

#include <gtest/gtest.h>
#include <string>

#include "core/memory/qorcountingallocator.h"

namespace {

std::string encode(const std::string& in, uri_encoding_type type)
{
    QORString out;
    EXPECT_TRUE(qor_uri_encode(&out, in.data(), static_cast<int>(in.size()), type));
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

std::string decodeMacro(const std::string& in)
{
    QORString out;
    EXPECT_TRUE(qor_uri_decode_macro(&out, in.data(), static_cast<int>(in.size())));
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

} // namespace

TEST(QORURIEncodeTest, SharedAndReservedRulesOfEachType)
{
    for (auto t : {qor_uri_type_uri, qor_uri_type_form_arg, qor_uri_type_query,
                   qor_uri_type_ascii, qor_uri_type_macro}) {
        EXPECT_EQ(encode("Az09*-._", t), "Az09*-._") << t;
        EXPECT_EQ(encode("\xc3%\x7f\x01", t), "%C3%25%7F%01") << t;
        EXPECT_EQ(encode(" ", t), t == qor_uri_type_form_arg ? "+" : "%20") << t;
        EXPECT_EQ(encode("~", t), t == qor_uri_type_form_arg || t == qor_uri_type_query
                                      ? "%7E" : "~") << t;
    }
    // Every printable byte outside the unreserved set and "%".
    const std::string punct = "!\"#$&'()+,/:;<=>?@[\\]^`{|}~";
    EXPECT_EQ(encode(punct, qor_uri_type_uri),
              "!%22%23$&'()+,/:;%3C=%3E?@%5B%5C%5D%5E%60%7B%7C%7D~");
    EXPECT_EQ(encode(punct, qor_uri_type_macro),
              "!%22#$&%27()+,/%3A;%3C=%3E?@[%5C]^`{|}~");
    EXPECT_EQ(encode(punct, qor_uri_type_ascii), punct);
    const std::string all =
        "%21%22%23%24%26%27%28%29%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D%7E";
    EXPECT_EQ(encode(punct, qor_uri_type_query), all);
    EXPECT_EQ(encode(punct, qor_uri_type_form_arg), all);
}

TEST(QORURIEncodeTest, EntryPointsLengthsAndAppending)
{
    QORString out;
    out.set("p=", 2);
    EXPECT_TRUE(qor_uri_encode_form_arg(&out, "a b&c", -1));
    EXPECT_TRUE(qor_uri_encode_query(&out, "a b", 1));
    EXPECT_TRUE(qor_uri_encode(&out, "<", -1));
    EXPECT_TRUE(qor_uri_encode_ascii(&out, "' ", -1));
    EXPECT_TRUE(qor_uri_encode_macro(&out, "'", -1));
    EXPECT_STREQ(out.c_str(), "p=a+b%26ca%3C'%20%27");
    QORCountingAllocator a;
    QORString s(&a);
    s.set("keep", 4);
    a.failAfter = 0;
    std::string big(200, '<');
    EXPECT_FALSE(qor_uri_encode(&s, big.data(), 200));
    EXPECT_FALSE(qor_uri_decode_macro(&s, std::string(300, 'x').c_str(), -1));
    EXPECT_STREQ(s.c_str(), "keep");
}

TEST(QORURIEncodeTest, MacroDecodeUndoesOnlyMacroEscapes)
{
    EXPECT_EQ(decodeMacro("%3c%3E"), "<>");
    EXPECT_EQ(decodeMacro("%41%2F"), "%41%2F");
    EXPECT_EQ(decodeMacro("x%3A"), "x:");
    EXPECT_EQ(decodeMacro("%25%20%c3%7f"), "% \xc3\x7f");
    EXPECT_EQ(decodeMacro("%3"), "%3");
    EXPECT_EQ(decodeMacro("%zz%"), "%zz%");
    std::string all;
    for (int c = 0; c < 256; c++)
        all.push_back(static_cast<char>(c));
    EXPECT_EQ(decodeMacro(encode(all, qor_uri_type_macro)), all);
}
