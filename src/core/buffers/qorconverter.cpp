// qorconverter.cpp: the converter family and its global instances.
#include "core/buffers/qorconverter.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "core/sundry/qorbase64.h"
#include "core/system/qorreport.h"
#include "core/system/qorsyserr.h"

QORLCMBToWideConverter qor_lc_mb_to_unichar_t_conv;
QORLCWideToMBConverter qor_lc_unichar_t_to_mb_conv;
QORUTF8MBToWideConverter qor_utf8_mb_to_unichar_t_conv;
QORUTF8WideToMBConverter qor_utf8_unichar_t_to_mb_conv;
QORLCMBToSysWideConverter qor_lc_mb_to_wchar_t_conv;
QORLCSysWideToMBConverter qor_lc_wchar_t_to_mb_conv;
QORBinaryToBase64Converter qor_to_base64_conv;
QORBase64ToBinaryConverter qor_from_base64_conv;
QORUSAsciiToLowerConverter qor_us_ascii_to_lower_conv;
QORUTF8ToLowerConverter qor_utf8_to_lower_conv;

namespace {

// Bounds n * factor + extra to what a string can hold.
int scaled(int n, int factor, int extra)
{
    long long v = static_cast<long long>(n) * factor + extra;
    return v > INT_MAX - 1 ? -1 : static_cast<int>(v);
}

void reportSystemFailure(const char* routine, int err)
{
    char text[256];
    QOR_REPORT(qor_s_system_call_failed, routine,
               qor_sys_strerror(err, text, sizeof text), err);
}

} // namespace

QORCPiConvConverter::QORCPiConvConverter(const char* from, const char* to)
    : m_cd(iconv_open(to, from))
{
    if (!isUsable()) {
        int err = errno;
        char routine[256];
        snprintf(routine, sizeof routine, "iconv_open(%s,%s)", to, from);
        reportSystemFailure(routine, err);
    }
}

QORCPiConvConverter::~QORCPiConvConverter()
{
    if (isUsable())
        iconv_close(m_cd);
}

QORStatus QORCPiConvConverter::doAppend(QORStringT<char>& out, const char* src,
                                        int n)
{
    // Each conversion starts in the initial shift state.
    if (isUsable())
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    return QORByteConverter::doAppend(out, src, n);
}

int QORCPiConvConverter::maxToLength(const char*, int n)
{
    return scaled(n, 4, 1);
}

QORStatus QORCPiConvConverter::convertChar(const char* src, int avail,
                                           int* consumed, char* dst,
                                           int* produced)
{
    if (!isUsable())
        return qor_s_conversion_failed;
    int room = maxToLength(src, avail);
    if (room < 0)
        return qor_s_no_memory;
    char* in = const_cast<char*>(src);
    size_t inLeft = static_cast<size_t>(avail);
    char* outp = dst;
    size_t outLeft = static_cast<size_t>(room);
    size_t r = iconv(m_cd, &in, &inLeft, &outp, &outLeft);
    if (r == static_cast<size_t>(-1) && errno != EINVAL && errno != E2BIG) {
        reportSystemFailure("iconv", errno);
        return qor_s_conversion_failed;
    }
    if (inLeft == static_cast<size_t>(avail))
        return qor_s_invalid_argument;
    if (outLeft == 0)
        return qor_s_no_memory;
    *outp = 0;
    *consumed = avail - static_cast<int>(inLeft);
    *produced = static_cast<int>(outp - dst);
    return qor_s_ok;
}

QORStatus QORUTF8ToCPConverter::convertChar(const char* src, int avail,
                                            int* consumed, char* dst,
                                            int* produced)
{
    int r = lox_from_utf8(m_cs, src, avail, dst, maxToLength(src, avail) + 1);
    if (r < 0)
        return qor_s_conversion_failed;
    *consumed = avail;
    *produced = r;
    return qor_s_ok;
}

int QORUTF8ToCPConverter::maxToLength(const char*, int n)
{
    return scaled(n, 2, 0);
}

QORStatus QORCPToUTF8Converter::convertChar(const char* src, int avail,
                                            int* consumed, char* dst,
                                            int* produced)
{
    int r = lox_to_utf8(m_cs, src, avail, dst, maxToLength(src, avail) + 1);
    if (r < 0)
        return qor_s_conversion_failed;
    *consumed = avail;
    *produced = r;
    return qor_s_ok;
}

int QORCPToUTF8Converter::maxToLength(const char*, int n)
{
    return scaled(n, 3, 0);
}

namespace {

struct AsciiLower {
    char map[256];
    AsciiLower()
    {
        for (int i = 0; i < 256; i++)
            map[i] = static_cast<char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    }
};

const AsciiLower kAsciiLower;

} // namespace

QORStatus QORUSAsciiToLowerConverter::convertChar(const char* src, int avail,
                                                  int* consumed, char* dst,
                                                  int* produced)
{
    for (int i = 0; i < avail; i++)
        dst[i] = kAsciiLower.map[static_cast<unsigned char>(src[i])];
    *consumed = avail;
    *produced = avail;
    return qor_s_ok;
}

QORStatus QORUTF8ToLowerConverter::convertChar(const char* src, int avail,
                                               int* consumed, char* dst,
                                               int* produced)
{
    memcpy(dst, src, static_cast<size_t>(avail));
    dst[avail] = 0;
    if (lox_strlower(lox_cs_utf8(), dst) < 0)
        return qor_s_bad_utf8;
    *consumed = avail;
    *produced = avail;
    return qor_s_ok;
}

QORStatus QORBinaryToBase64Converter::doAppend(QORStringT<char>& out,
                                               const unsigned char* src, int n)
{
    if (n < 0)
        return qor_s_invalid_argument;
    return QORStringConverterT<unsigned char, char>::doAppend(out, src, n);
}

int QORBinaryToBase64Converter::maxToLength(const unsigned char*, int n)
{
    if (n < 0 || n > (INT_MAX / 4) * 3 - 3)
        return -1;
    return ((n + 2) / 3) * 4 + 1;
}

QORStatus QORBinaryToBase64Converter::convertChar(const unsigned char* src,
                                                  int avail, int* consumed,
                                                  char* dst, int* produced)
{
    int written = 0;
    QORStatus st = qor_base64_encode(src, avail, dst, maxToLength(src, avail),
                                     &written, qor_base64_standard);
    if (st != qor_s_ok)
        return st;
    *consumed = avail;
    *produced = written;
    return qor_s_ok;
}

int QORBase64ToBinaryConverter::maxToLength(const char*, int n)
{
    return n < 0 ? -1 : (n / 4) * 3 + 3;
}

QORStatus QORBase64ToBinaryConverter::convertChar(const char* src, int avail,
                                                  int* consumed,
                                                  unsigned char* dst,
                                                  int* produced)
{
    int written = 0;
    QORStatus st = qor_base64_decode(src, avail, dst, maxToLength(src, avail),
                                     &written, qor_base64_standard);
    if (st != qor_s_ok)
        return st;
    *consumed = avail;
    *produced = written;
    return qor_s_ok;
}

QORStatus QORLCMBToSysWideConverter::convertChar(const char* src, int avail,
                                                 int* consumed, wchar_t* dst,
                                                 int* produced)
{
    mbstate_t state;
    memset(&state, 0, sizeof state);
    size_t r = mbrtowc(dst, src, static_cast<size_t>(avail), &state);
    if (r == 0 || r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2))
        return qor_s_mb_to_wc_failed;
    *consumed = static_cast<int>(r);
    *produced = 1;
    return qor_s_ok;
}

int QORLCSysWideToMBConverter::maxToLength(const wchar_t*, int n)
{
    return scaled(n, 16, 0);
}

QORStatus QORLCSysWideToMBConverter::convertChar(const wchar_t* src, int,
                                                 int* consumed, char* dst,
                                                 int* produced)
{
    mbstate_t state;
    memset(&state, 0, sizeof state);
    size_t r = wcrtomb(dst, *src, &state);
    if (r == 0 || r == static_cast<size_t>(-1) || *src == 0)
        return qor_s_wc_to_mb_failed;
    *consumed = 1;
    *produced = static_cast<int>(r);
    return qor_s_ok;
}

lox_cs_t QORLCMBToWideConverter::getCodeSet() const
{
    return lox_cs_local();
}

lox_cs_t QORUTF8MBToWideConverter::getCodeSet() const
{
    return lox_cs_utf8();
}

QORStatus QORLOXMBToWideConverter::convertChar(const char* src, int avail,
                                               int* consumed,
                                               lox_unichar_t* dst,
                                               int* produced)
{
    int r = lox_to_ucs2_r(getCodeSet(), src, avail, dst,
                          maxToLength(nullptr, avail) + 1);
    if (r < 0)
        return qor_s_mb_to_wc_failed;
    *consumed = avail;
    *produced = r;
    return qor_s_ok;
}

lox_cs_t QORLCWideToMBConverter::getCodeSet() const
{
    return lox_cs_local();
}

lox_cs_t QORUTF8WideToMBConverter::getCodeSet() const
{
    return lox_cs_utf8();
}

int QORLOXWideToMBConverter::maxToLength(const lox_unichar_t*, int n)
{
    lox_cs_t cs = getCodeSet();
    int per = cs ? lox_cs_mb_max(cs) : LOX_MB_LEN_MAX;
    // A UTF-8 character from one unit takes at most three bytes; a pair of
    // surrogates, four.
    if (cs && lox_cs_is_utf8(cs))
        per = 3;
    return scaled(n, per > 0 ? per : LOX_MB_LEN_MAX, 0);
}

QORStatus QORLOXWideToMBConverter::convertChar(const lox_unichar_t* src,
                                               int avail, int* consumed,
                                               char* dst, int* produced)
{
    int r = lox_from_ucs2_r(getCodeSet(), src, avail, dst,
                            maxToLength(src, avail) + 1);
    if (r < 0)
        return qor_s_wc_to_mb_failed;
    *consumed = avail;
    *produced = r;
    return qor_s_ok;
}
