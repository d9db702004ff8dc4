// qorsvctext.cpp: record text buffer and lossless-in-length conversions.
#include "core/svc/qorsvctext.h"

#include <cstdlib>
#include <cstring>
#include "core/sundry/qorsnprintf.h"

namespace {

// Decodes one UTF-8 character (shortest form, no surrogates, at most
// U+10FFFF); returns its length or -1.
int utf8Decode(const unsigned char* s, size_t n, unsigned* cp)
{
    unsigned c = s[0];
    int len;
    unsigned min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2, min = 0x80, c &= 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3, min = 0x800, c &= 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4, min = 0x10000, c &= 0x07;
    } else {
        return -1;
    }
    if (n < (size_t)len)
        return -1;
    for (int i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return -1;
        c = (c << 6) | (s[i] & 0x3f);
    }
    if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
        return -1;
    *cp = c;
    return len;
}

int utf8Encode(unsigned cp, char* out)
{
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xc0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3f));
        return 2;
    }
    out[0] = (char)(0xe0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3f));
    out[2] = (char)(0x80 | (cp & 0x3f));
    return 3;
}

bool isUTF8(lox_cs_t cs)
{
    return cs == nullptr || lox_cs_is_utf8(cs);
}

} // namespace

QORSvcText::~QORSvcText()
{
    free(m_data);
}

bool QORSvcText::reserve(size_t extra)
{
    if (m_failed)
        return false;
    if (m_size + extra + 1 <= m_capacity)
        return true;
    size_t cap = m_capacity ? m_capacity : 256;
    while (cap < m_size + extra + 1)
        cap *= 2;
    char* p = static_cast<char*>(realloc(m_data, cap));
    if (p == nullptr) {
        m_failed = true;
        return false;
    }
    m_data = p;
    m_capacity = cap;
    return true;
}

bool QORSvcText::append(const char* s, size_t n)
{
    if (!reserve(n))
        return false;
    memcpy(m_data + m_size, s, n);
    m_size += n;
    m_data[m_size] = '\0';
    return true;
}

bool QORSvcText::append(const char* s)
{
    return append(s, strlen(s));
}

bool QORSvcText::appendf(const char* format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    int n = qor_vsnprintf_utf8(small, sizeof(small), format, args);
    va_end(args);
    if (n < 0)
        return false;
    if ((size_t)n < sizeof(small))
        return append(small, n);
    if (!reserve(n))
        return false;
    va_start(args, format);
    qor_vsnprintf_utf8(m_data + m_size, n + 1, format, args);
    va_end(args);
    m_size += n;
    return true;
}

bool QORSvcText::appendCData(const char* s, size_t n)
{
    const char* end = s + n;
    for (;;) {
        const char* hit = nullptr;
        for (const char* p = s; p + 3 <= end; p++) {
            if (p[0] == ']' && p[1] == ']' && p[2] == '>') {
                hit = p;
                break;
            }
        }
        if (hit == nullptr)
            return append(s, end - s);
        if (!append(s, hit + 2 - s) || !append("]]><![CDATA["))
            return false;
        s = hit + 2;
    }
}

bool QORSvcText::appendEscaped(const char* s)
{
    for (; *s; s++) {
        const char* e = nullptr;
        switch (*s) {
        case '&': e = "&amp;"; break;
        case '<': e = "&lt;"; break;
        case '>': e = "&gt;"; break;
        case '"': e = "&quot;"; break;
        }
        if (!(e ? append(e) : append(*s)))
            return false;
    }
    return true;
}

bool QORSvcText::appendToUTF8(lox_cs_t from, const char* s, size_t n)
{
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    if (isUTF8(from)) {
        if (!reserve(n))
            return false;
        for (size_t i = 0; i < n;) {
            unsigned cp;
            int len = utf8Decode(u + i, n - i, &cp);
            if (len < 0) {
                m_data[m_size++] = '?';
                i++;
                continue;
            }
            memcpy(m_data + m_size, s + i, len);
            m_size += len;
            i += len;
        }
        m_data[m_size] = '\0';
        return true;
    }
    if (n < 0x10000000 && reserve(3 * n + 4)) {
        int r = lox_to_utf8(from, s, (int)n, m_data + m_size,
                            (int)(3 * n + 4));
        if (r >= 0) {
            m_size += r;
            m_data[m_size] = '\0';
            return true;
        }
        m_data[m_size] = '\0';
    }
    if (!reserve(3 * n))
        return false;
    for (size_t i = 0; i < n;) {
        lox_unichar_t wc;
        int len = lox_mbtowc(from, &wc, s + i, n - i);
        if (len <= 0) {
            m_data[m_size++] = len == 0 ? '\0' : '?';
            i++;
            continue;
        }
        m_size += utf8Encode(wc, m_data + m_size);
        i += len;
    }
    m_data[m_size] = '\0';
    return true;
}

bool QORSvcText::appendFromUTF8(lox_cs_t to, const char* s, size_t n)
{
    if (isUTF8(to))
        return appendToUTF8(nullptr, s, n);
    size_t max = lox_cs_mb_max(to) > 0 ? lox_cs_mb_max(to) : LOX_MB_LEN_MAX;
    if (n < 0x1000000 && reserve(max * n + 1)) {
        int r = lox_from_utf8(to, s, (int)n, m_data + m_size,
                              (int)(max * n + 1));
        if (r >= 0) {
            m_size += r;
            m_data[m_size] = '\0';
            return true;
        }
        m_data[m_size] = '\0';
    }
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    char one[LOX_MB_LEN_MAX];
    for (size_t i = 0; i < n;) {
        unsigned cp;
        int len = utf8Decode(u + i, n - i, &cp);
        int out = -1;
        if (len > 0 && cp <= 0xffff)
            out = lox_wctomb(to, one, (lox_unichar_t)cp);
        if (!(out > 0 ? append(one, out) : append('?')))
            return false;
        i += len > 0 ? len : 1;
    }
    return true;
}

char* QORSvcText::release()
{
    if (m_failed || !reserve(0))
        return nullptr;
    char* p = m_data;
    p[m_size] = '\0';
    m_data = nullptr;
    m_size = m_capacity = 0;
    return p;
}
