// qorformatstring.cpp: keyed template filling.
#include "core/buffers/qorformatstring.h"

namespace {

// The index of the character at found, counted in characters of cs.
int characterIndex(lox_cs_t cs, const char* keys, const char* found)
{
    int index = 0;
    for (const char* p = keys; p < found; index++) {
        lox_unichar_t wc;
        int n = lox_mbtowc(cs, &wc, p, static_cast<size_t>(found - p));
        p += n < 1 ? 1 : n;
    }
    return index;
}

} // namespace

bool qor_generic_format_string(const QORStringRefT<char>& fmt, const char* keys,
                               const QORStringRefT<char>* values,
                               QORStringT<char>* out, bool utf8)
{
    lox_cs_t cs = utf8 ? lox_cs_utf8() : lox_cs_local();
    const char* p = fmt.data();
    const char* end = p + fmt.length();

    while (p < end) {
        const char* pct = p;
        while (pct < end && *pct != '%')
            pct++;
        if (!out->append(p, static_cast<int>(pct - p)))
            return false;
        if (pct == end)
            break;
        const char* key = pct + 1;
        if (key == end)
            return out->append('%');

        lox_unichar_t wc;
        int keyLen = lox_mbtowc(cs, &wc, key, static_cast<size_t>(end - key));
        if (keyLen < 1) {
            // Not a character of the code set: a byte that no key can match.
            keyLen = 1;
            wc = 0;
        }
        const char* found = (wc != 0 && keys) ? lox_strchr(cs, keys, wc) : nullptr;
        bool ok = found ? out->append(values[characterIndex(cs, keys, found)])
                        : out->append(key, keyLen);
        if (!ok)
            return false;
        p = key + keyLen;
    }
    return true;
}

bool qor_format_string(const QORStringRef& fmt, const char* keys,
                       const QORStringRef* values, QORString* out)
{
    return qor_generic_format_string(fmt, keys, values, out, true);
}

bool qor_format_lcp_string(const QORLCPStringRef& fmt, const char* keys,
                           const QORLCPStringRef* values, QORLCPString* out)
{
    return qor_generic_format_string(fmt, keys, values, out, false);
}
