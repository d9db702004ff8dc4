// qorauthzhex.h: lower-case hexadecimal text of bytes, the one encoder of
// the server's tokens, session IDs and keyed digests for the log.
#pragma once
#include <cstddef>
#include <string>

// Two lower-case digits for each of the first n bytes of data.
inline std::string qor_authz_hex(const void* data, size_t n)
{
    static const char kHex[] = "0123456789abcdef";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        out.push_back(kHex[p[i] >> 4]);
        out.push_back(kHex[p[i] & 15]);
    }
    return out;
}
