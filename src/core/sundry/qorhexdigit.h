// qorhexdigit.h: the value of a hexadecimal digit, for the decoders of
// percent escapes, version stamps and certificate texts.
#pragma once

// 0 to 15 for a hexadecimal digit of either case, else -1.
inline int qor_hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
