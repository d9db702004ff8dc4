#include "core/encoders/cert_decoder/qorber.h"

#include <gtest/gtest.h>
#include <list>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Items view the bytes they came from, so every input is kept alive.
int decode(const Bytes& bytes, ber_item* item)
{
    static std::list<Bytes> kept;
    const Bytes& b = kept.emplace_back(bytes);
    ber_buffer in = {b.data(), static_cast<int>(b.size())};
    return ber_decode(&in, item);
}

} // namespace

TEST(QORBerTest, HeaderForms)
{
    ber_item i;
    ASSERT_EQ(decode({0x04, 0x02, 'a', 'b', 'z'}, &i), ber_ok);
    EXPECT_EQ(i.tag, 0x04);
    EXPECT_EQ(i.length, 2);
    EXPECT_EQ(i.headerLength, 2);
    EXPECT_EQ(i.content[0], 'a');
    ASSERT_EQ(decode({0x04, 0x84, 0, 0, 0, 3, 1, 2, 3}, &i), ber_ok);
    EXPECT_EQ(i.length, 3);
    EXPECT_EQ(i.headerLength, 6);
    EXPECT_EQ(ber_encoded_length(&i), 9);
    EXPECT_EQ(decode({0x04, 0x85, 0, 0, 0, 0, 1, 'x'}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x04, 0x84, 0xff, 0xff, 0xff, 0xff, 'x'}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x04, 0x82, 0x01}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x04, 0x03, 'a', 'b'}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x04}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x05, 0x01, 0x00}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x05, 0x00}, &i), ber_ok);
    EXPECT_EQ(decode({0x01, 0x02, 0, 0}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x01, 0x01, 0xff}, &i), ber_ok);
    EXPECT_EQ(decode({0x1f, 0x81, 0x01, 0x00}, &i), ber_unexpected_type);
}

TEST(QORBerTest, IndefiniteFormIsMeasuredWithoutRecursion)
{
    ber_item i;
    ASSERT_EQ(decode({0x30, 0x80, 0x31, 0x80, 0x04, 0x01, 'x', 0, 0, 0x05, 0x00, 0, 0, 0xee}, &i),
              ber_ok);
    EXPECT_TRUE(i.indefinite);
    EXPECT_EQ(i.length, 9);
    EXPECT_EQ(ber_encoded_length(&i), 13);
    ber_item parts[2];
    int count;
    ASSERT_EQ(ber_unpack(&i, parts, 2, &count, ber_tag_sequence), ber_ok);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(parts[0].length, 3);
    EXPECT_EQ(parts[1].tag, ber_tag_null);
    EXPECT_EQ(decode({0x04, 0x80, 'x', 0, 0}, &i), ber_bad_length);
    EXPECT_EQ(decode({0x30, 0x80, 0x04, 0x01, 'x'}, &i), ber_bad_length);
    // A million levels open and closed: linear time, constant stack.
    const int depth = 1000000;
    Bytes deep;
    for (int d = 0; d < depth; d++)
        deep.insert(deep.end(), {0x30, 0x80});
    EXPECT_EQ(decode(deep, &i), ber_bad_length);
    for (int d = 0; d < depth; d++)
        deep.insert(deep.end(), {0, 0});
    ASSERT_EQ(decode(deep, &i), ber_ok);
    EXPECT_EQ(ber_encoded_length(&i), 4 * depth);
}

TEST(QORBerTest, UnpackChecksTagsAndBounds)
{
    ber_item seq, items[2];
    int count = -1;
    ASSERT_EQ(decode({0x30, 0x06, 0x02, 0x01, 0x07, 0x04, 0x01, 'a'}, &seq), ber_ok);
    ASSERT_EQ(ber_unpack(&seq, items, 2, &count, 0), ber_ok);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ber_unpack(&seq, items, 2, &count, ber_tag_set), ber_unexpected_type);
    EXPECT_EQ(ber_unpack(&seq, items, 1, &count, ber_tag_sequence), ber_array_too_short);
    EXPECT_EQ(ber_unpack(&items[0], items, 2, &count, 0), ber_unexpected_type);
    // The inner item claims more than its parent's content.
    ASSERT_EQ(decode({0x30, 0x03, 0x04, 0x05, 'a', 'b', 'c', 'd', 'e'}, &seq), ber_ok);
    EXPECT_EQ(ber_unpack(&seq, items, 2, &count, 0), ber_array_too_short);
}

TEST(QORBerTest, PrimitiveGetters)
{
    ber_item i;
    int32_t v = 0;
    ASSERT_EQ(decode({0x02, 0x04, 0xff, 0xff, 0xff, 0xfe}, &i), ber_ok);
    EXPECT_EQ(ber_get_int32(&i, &v, ber_tag_integer), ber_ok);
    EXPECT_EQ(v, -2);
    ASSERT_EQ(decode({0x02, 0x02, 0x01, 0x00}, &i), ber_ok);
    EXPECT_EQ(ber_get_int32(&i, &v, ber_tag_integer), ber_ok);
    EXPECT_EQ(v, 256);
    EXPECT_EQ(ber_get_int32(&i, &v, ber_tag_oid), ber_unexpected_type);
    ASSERT_EQ(decode({0x02, 0x05, 0, 1, 2, 3, 4}, &i), ber_ok);
    EXPECT_EQ(ber_get_int32(&i, &v, ber_tag_integer), ber_integer_too_big);
    ASSERT_EQ(decode({0x02, 0x00}, &i), ber_ok);
    EXPECT_EQ(ber_get_int32(&i, &v, ber_tag_integer), ber_bad_length);
    ber_buffer buf;
    ASSERT_EQ(decode({0x30, 0x00}, &i), ber_ok);
    EXPECT_EQ(ber_get_buf(&i, &buf, 0), ber_unexpected_type);
    ber_item inner;
    ASSERT_EQ(decode({0x04, 0x03, 0x02, 0x01, 0x09}, &i), ber_ok);
    ASSERT_EQ(ber_get_ber(&i, &inner, ber_tag_octet_string), ber_ok);
    EXPECT_EQ(inner.tag, ber_tag_integer);
    ASSERT_EQ(decode({0x04, 0x04, 0x02, 0x01, 0x09, 0x00}, &i), ber_ok);
    EXPECT_EQ(ber_get_ber(&i, &inner, ber_tag_octet_string), ber_length_mismatch);
}

// Codes without a text of their own, inside the table's range or outside it.
TEST(QORBerTest, ErrorTextsOfCodesWithoutOne)
{
    EXPECT_STREQ(ber_error_string(2), "Bad Item Length");
    for (int code : {9, 14, -1})
        EXPECT_STREQ(ber_error_string(code), "Unknown") << code;
}
