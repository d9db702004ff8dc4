// decode_uri_fuzz.cpp: decodeURI over arbitrary bytes, against a plain
// decoder written here. The first byte picks the local code page (UTF-8 or
// ASCII), which decides what %uhhhh may yield. On success the output must
// equal the plain decoder's; on failure it must hold what the plain decoder
// decoded before the bad escape.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/http/qorhttpparser.h"
#include "core/platform/qorlox.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "decode_uri_fuzz: %s\n", what);
        abort();
    }
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
        return (c | 0x20) - 'a' + 10;
    return -1;
}

// Decodes until the first bad escape; returns whether the whole input went.
bool plainDecode(const std::string& in, std::string* out)
{
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '%') {
            *out += in[i++];
            continue;
        }
        if (i + 1 < in.size() && in[i + 1] == '%') {
            *out += '%';
            i += 2;
        } else if (i + 1 < in.size() && (in[i + 1] == 'u' || in[i + 1] == 'U')) {
            if (i + 6 > in.size())
                return false;
            int v = 0;
            for (size_t k = 2; k < 6; k++) {
                int d = hex(in[i + k]);
                if (d < 0)
                    return false;
                v = v * 16 + d;
            }
            char mb[LOX_MB_LEN_MAX];
            int n = v == 0 ? -1 : lox_wctomb(lox_cs_local(), mb, static_cast<lox_unichar_t>(v));
            if (n < 1)
                return false;
            out->append(mb, static_cast<size_t>(n));
            i += 6;
        } else {
            if (i + 3 > in.size())
                return false;
            int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
            if (hi < 0 || lo < 0 || hi + lo == 0)
                return false;
            *out += static_cast<char>(hi * 16 + lo);
            i += 3;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    setlocale(LC_CTYPE, data[0] & 1 ? "C.UTF-8" : "C");
    lox_cs_local_reset();
    std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);

    QORNCPString out;
    QORStatus st = QORHTTPParser::decodeURI(QORStringRef(in.data(), static_cast<int>(in.size())), &out);
    std::string got(out.data(), static_cast<size_t>(out.length()));
    std::string want;
    bool whole = plainDecode(in, &want);
    check(out.c_str()[out.length()] == 0, "output not terminated");
    if (st == qor_s_ok) {
        check(whole, "accepted a bad escape");
        check(got == want, "decoded differently");
    } else {
        check(st == qor_s_http_bad_request, "unexpected status");
        check(!whole, "refused a good input");
        check(got == want, "partial output is not what was decoded before the bad escape");
    }
    return 0;
}
