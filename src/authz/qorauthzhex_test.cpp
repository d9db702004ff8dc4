// The hexadecimal encoder.
#include "authz/qorauthzhex.h"
#include <gtest/gtest.h>
#include <string>

TEST(QORAuthzHexTest, TwoLowerCaseDigitsPerByte)
{
    struct {
        std::string bytes;
        size_t n;
        const char* hex;
    } rows[] = {
        {"", 0, ""},
        {std::string("\0", 1), 1, "00"},
        {"\x01\x7f\x80\xff", 4, "017f80ff"},
        {"\xab\xcd\xef\x10", 2, "abcd"},  // only the first n
    };
    for (auto& row : rows)
        EXPECT_EQ(qor_authz_hex(row.bytes.data(), row.n), row.hex) << row.hex;
}
