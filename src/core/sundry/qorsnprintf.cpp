// qorsnprintf.cpp: the format parser and its conversions. Only the digits of
// one floating-point value at a time come from the C library.
#include "core/sundry/qorsnprintf.h"

#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

// Where the output goes: bytes past size-1 are counted but not stored, so
// any width costs the same whatever the buffer. An output that would pass
// INT_MAX bytes stops growing and marks itself overflowed.
class Sink {
public:
    Sink(char* buf, size_t size) : m_buf(buf), m_size(size) {}

    void put(const char* s, size_t n)
    {
        if (!reserve(n))
            return;
        size_t k = room(n);
        if (k != 0)
            memcpy(m_buf + m_len, s, k);
        m_len += n;
    }

    void pad(char c, size_t n)
    {
        if (!reserve(n))
            return;
        size_t k = room(n);
        if (k != 0)
            memset(m_buf + m_len, c, k);
        m_len += n;
    }

    bool overflowed() const { return m_overflow; }
    size_t length() const { return m_len; }

    // Terminates what was stored; on failure the caller sees an empty text.
    void finish(bool ok)
    {
        if (m_size == 0)
            return;
        size_t end = m_len < m_size - 1 ? m_len : m_size - 1;
        m_buf[ok ? end : 0] = '\0';
    }

private:
    bool reserve(size_t n)
    {
        if (n > static_cast<size_t>(INT_MAX) - m_len)
            m_overflow = true;
        return !m_overflow;
    }

    size_t room(size_t n) const
    {
        if (m_size == 0 || m_len >= m_size - 1)
            return 0;
        size_t left = m_size - 1 - m_len;
        return n < left ? n : left;
    }

    char* m_buf;
    size_t m_size;
    size_t m_len = 0;
    bool m_overflow = false;
};

// The output's code set, looked up only when a %S needs it.
class OutputCodeSet {
public:
    explicit OutputCodeSet(lox_cs_t cs) : m_cs(cs) {}
    explicit OutputCodeSet(lox_cs_t (*lookup)(void)) : m_lookup(lookup) {}

    lox_cs_t get()
    {
        if (m_cs == nullptr && m_lookup != nullptr)
            m_cs = m_lookup();
        return m_cs;
    }

private:
    lox_cs_t m_cs = nullptr;
    lox_cs_t (*m_lookup)(void) = nullptr;
};

enum Flag : unsigned {
    flag_minus = 1,
    flag_plus = 2,
    flag_space = 4,
    flag_hash = 8,
    flag_zero = 16,
};

// In the order of kFlagChars, one bit each.
const char kFlagChars[] = "-+ #0";

enum Length : uint8_t {
    len_none, len_hh, len_h, len_l, len_ll, len_z, len_j, len_t, len_L,
};

const struct {
    char c;
    Length single;
    Length doubled;
} kLengths[] = {
    {'h', len_h, len_hh}, {'l', len_l, len_ll}, {'z', len_z, len_z},
    {'j', len_j, len_j},  {'t', len_t, len_t},  {'L', len_L, len_L},
};

enum Kind : uint8_t {
    conv_invalid, conv_signed, conv_unsigned, conv_float, conv_char,
    conv_string, conv_unicode, conv_pointer, conv_percent,
};

constexpr uint16_t lengthBit(Length l) { return static_cast<uint16_t>(1u << l); }

constexpr uint16_t kIntLengths =
    lengthBit(len_none) | lengthBit(len_hh) | lengthBit(len_h) |
    lengthBit(len_l) | lengthBit(len_ll) | lengthBit(len_z) |
    lengthBit(len_j) | lengthBit(len_t);
constexpr uint16_t kFloatLengths =
    lengthBit(len_none) | lengthBit(len_l) | lengthBit(len_L);
constexpr uint16_t kNoLength = lengthBit(len_none);

struct Conversion {
    Kind kind;
    uint8_t base;
    bool upper;
    uint16_t lengths;
};

constexpr std::array<Conversion, 128> makeConversions()
{
    std::array<Conversion, 128> t{};
    t['d'] = t['i'] = {conv_signed, 10, false, kIntLengths};
    t['u'] = {conv_unsigned, 10, false, kIntLengths};
    t['o'] = {conv_unsigned, 8, false, kIntLengths};
    t['x'] = {conv_unsigned, 16, false, kIntLengths};
    t['X'] = {conv_unsigned, 16, true, kIntLengths};
    t['f'] = t['F'] = t['e'] = t['E'] = {conv_float, 10, false, kFloatLengths};
    t['g'] = t['G'] = t['a'] = t['A'] = {conv_float, 10, false, kFloatLengths};
    t['c'] = {conv_char, 0, false, kNoLength};
    t['s'] = {conv_string, 0, false, kNoLength};
    t['S'] = {conv_unicode, 0, false, kNoLength};
    t['p'] = {conv_pointer, 16, false, kNoLength};
    t['%'] = {conv_percent, 0, false, kNoLength};
    return t;
}

constexpr std::array<Conversion, 128> kConversions = makeConversions();

struct Spec {
    unsigned flags;
    int width;
    int precision; // -1 when none was given
    Length length;
    char conv;
};

const char* parseNumber(const char* p, int* value)
{
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return nullptr;
    }
    *value = static_cast<int>(v);
    return p;
}

// Parses what follows a '%' into spec, taking * arguments from ap; returns
// the position after the conversion character or null when refused.
const char* parseSpec(const char* start, va_list* ap, Spec* spec)
{
    const char* p = start;
    spec->flags = 0;
    spec->width = 0;
    spec->precision = -1;
    for (const char* f; *p != '\0' && (f = strchr(kFlagChars, *p)) != nullptr; p++)
        spec->flags |= 1u << (f - kFlagChars);

    if (*p == '*') {
        int w = va_arg(*ap, int);
        if (w == INT_MIN)
            return nullptr;
        if (w < 0) {
            spec->flags |= flag_minus;
            w = -w;
        }
        spec->width = w;
        p++;
    } else if ((p = parseNumber(p, &spec->width)) == nullptr) {
        return nullptr;
    }

    if (*p == '.') {
        p++;
        if (*p == '*') {
            int prec = va_arg(*ap, int);
            spec->precision = prec < 0 ? -1 : prec;
            p++;
        } else if ((p = parseNumber(p, &spec->precision)) == nullptr) {
            return nullptr;
        }
    }

    spec->length = len_none;
    for (const auto& l : kLengths) {
        if (*p != l.c)
            continue;
        if (p[1] == l.c && l.doubled != l.single) {
            spec->length = l.doubled;
            p++;
        } else {
            spec->length = l.single;
        }
        p++;
        break;
    }

    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= kConversions.size())
        return nullptr;
    const Conversion& conv = kConversions[c];
    if (conv.kind == conv_invalid || (conv.lengths & lengthBit(spec->length)) == 0)
        return nullptr;
    if (conv.kind == conv_percent && p != start)
        return nullptr;
    spec->conv = static_cast<char>(c);
    return p + 1;
}

uintmax_t fetchUnsigned(Length length, va_list* ap)
{
    switch (length) {
    case len_hh: return static_cast<unsigned char>(va_arg(*ap, unsigned int));
    case len_h:  return static_cast<unsigned short>(va_arg(*ap, unsigned int));
    case len_l:  return va_arg(*ap, unsigned long);
    case len_ll: return va_arg(*ap, unsigned long long);
    case len_z:  return va_arg(*ap, size_t);
    case len_j:  return va_arg(*ap, uintmax_t);
    case len_t:
        return static_cast<std::make_unsigned<ptrdiff_t>::type>(va_arg(*ap, ptrdiff_t));
    default:     return va_arg(*ap, unsigned int);
    }
}

intmax_t fetchSigned(Length length, va_list* ap)
{
    switch (length) {
    case len_hh: return static_cast<signed char>(va_arg(*ap, int));
    case len_h:  return static_cast<short>(va_arg(*ap, int));
    case len_l:  return va_arg(*ap, long);
    case len_ll: return va_arg(*ap, long long);
    case len_z:  return va_arg(*ap, std::make_signed<size_t>::type);
    case len_j:  return va_arg(*ap, intmax_t);
    case len_t:  return va_arg(*ap, ptrdiff_t);
    default:     return va_arg(*ap, int);
    }
}

// Writes body (n bytes) padded with spaces to the width, on the side the
// '-' flag chooses.
void putPadded(Sink& out, const Spec& spec, const char* body, size_t n)
{
    size_t fill = static_cast<size_t>(spec.width) > n ? spec.width - n : 0;
    if ((spec.flags & flag_minus) == 0)
        out.pad(' ', fill);
    out.put(body, n);
    if ((spec.flags & flag_minus) != 0)
        out.pad(' ', fill);
}

// Writes prefix, zeros and digits padded to the width: with spaces on the
// side the '-' flag chooses, or, when zeroFill, with zeros after the prefix.
void putNumber(Sink& out, const Spec& spec, const char* prefix, size_t prefixLen,
               size_t zeros, const char* digits, size_t digitLen, bool zeroFill)
{
    size_t n = prefixLen + zeros + digitLen;
    size_t fill = static_cast<size_t>(spec.width) > n ? spec.width - n : 0;
    bool left = (spec.flags & flag_minus) != 0;
    if (zeroFill && !left) {
        zeros += fill;
        fill = 0;
    }
    if (!left)
        out.pad(' ', fill);
    out.put(prefix, prefixLen);
    out.pad('0', zeros);
    out.put(digits, digitLen);
    if (left)
        out.pad(' ', fill);
}

void formatInteger(Sink& out, const Spec& spec, const Conversion& conv,
                   uintmax_t magnitude, char sign)
{
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char* set = conv.upper ? kUpper : kLower;

    char digits[sizeof(uintmax_t) * 3];
    char* end = digits + sizeof digits;
    char* p = end;
    for (uintmax_t v = magnitude; v != 0; v /= conv.base)
        *--p = set[v % conv.base];
    size_t digitLen = static_cast<size_t>(end - p);

    size_t precision = spec.precision < 0 ? 1 : static_cast<size_t>(spec.precision);
    size_t zeros = precision > digitLen ? precision - digitLen : 0;
    bool alt = (spec.flags & flag_hash) != 0 || conv.kind == conv_pointer;
    if (alt && conv.base == 8 && zeros == 0 && (digitLen == 0 || *p != '0'))
        zeros = 1;

    char prefix[3];
    size_t prefixLen = 0;
    if (sign != 0)
        prefix[prefixLen++] = sign;
    if (alt && conv.base == 16 && magnitude != 0) {
        prefix[prefixLen++] = '0';
        prefix[prefixLen++] = conv.upper ? 'X' : 'x';
    }
    bool zeroFill = (spec.flags & flag_zero) != 0 && spec.precision < 0;
    putNumber(out, spec, prefix, prefixLen, zeros, p, digitLen, zeroFill);
}

// One floating-point conversion through the C library, without width (so a
// small buffer nearly always holds it), then padded here.
template <typename T>
bool formatFloat(Sink& out, const Spec& spec, T value)
{
    char fmt[16];
    size_t f = 0;
    fmt[f++] = '%';
    for (unsigned i = 1; i <= 3; i++) { // '+', ' ', '#'
        if ((spec.flags & (1u << i)) != 0)
            fmt[f++] = kFlagChars[i];
    }
    fmt[f++] = '.';
    fmt[f++] = '*';
    if (std::is_same<T, long double>::value)
        fmt[f++] = 'L';
    fmt[f++] = spec.conv;
    fmt[f] = '\0';

    char local[128];
    char* body = local;
    int n = snprintf(local, sizeof local, fmt, spec.precision, value);
    if (n < 0)
        return false;
    if (static_cast<size_t>(n) >= sizeof local) {
        body = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
        if (body == nullptr)
            return false;
        if (snprintf(body, static_cast<size_t>(n) + 1, fmt, spec.precision, value) != n) {
            free(body);
            return false;
        }
    }

    // Zeros go after the sign and, for %a, after "0x"; never into inf/nan.
    size_t prefixLen = (body[0] == '-' || body[0] == '+' || body[0] == ' ') ? 1 : 0;
    if ((spec.conv == 'a' || spec.conv == 'A') && std::isfinite(value))
        prefixLen += 2;
    bool zeroFill = (spec.flags & flag_zero) != 0 && std::isfinite(value);
    putNumber(out, spec, body, prefixLen, 0, body + prefixLen,
              static_cast<size_t>(n) - prefixLen, zeroFill);
    if (body != local)
        free(body);
    return true;
}

// Converts one character of s into cs: stores its bytes in buf (room for
// LOX_MB_LEN_MAX + 1) and the units it took in *units; returns the byte
// count, or -1 when it does not convert or is an unpaired surrogate.
int encodeCharacter(lox_cs_t cs, const lox_unichar_t* s, char* buf, int* units)
{
    lox_unichar_t u = s[0];
    if (u >= 0xdc00 && u < 0xe000)
        return -1;
    if (u >= 0xd800 && u < 0xdc00) {
        if (s[1] < 0xdc00 || s[1] >= 0xe000)
            return -1;
        *units = 2;
        return lox_from_ucs2_r(cs, s, 2, buf, LOX_MB_LEN_MAX + 1);
    }
    *units = 1;
    return lox_wctomb(cs, buf, u);
}

// Converts the whole characters of s that fit in limit bytes (no limit when
// negative) into cs, writing them to out when out is given. Returns the byte
// count, or -1 when a character that would be written does not convert.
long long convertUnicode(lox_cs_t cs, const lox_unichar_t* s, long long limit,
                         Sink* out)
{
    long long total = 0;
    while (*s != 0 && (limit < 0 || total < limit)) {
        char buf[LOX_MB_LEN_MAX + 1];
        int units = 1;
        int n = encodeCharacter(cs, s, buf, &units);
        if (n < 0)
            return -1;
        if (limit >= 0 && total + n > limit)
            break;
        if (out != nullptr)
            out->put(buf, static_cast<size_t>(n));
        total += n;
        s += units;
    }
    return total;
}

const char kNull[] = "(null)";

bool formatUnicode(Sink& out, const Spec& spec, OutputCodeSet& codeSet,
                   const lox_unichar_t* s)
{
    if (s == nullptr) {
        size_t n = spec.precision < 0 || spec.precision >= 6 ? 6 : 0;
        putPadded(out, spec, kNull, n);
        return true;
    }
    lox_cs_t cs = codeSet.get();
    if (cs == nullptr)
        return false;
    bool left = (spec.flags & flag_minus) != 0;
    long long n = 0;
    if (!left && spec.width > 0) {
        n = convertUnicode(cs, s, spec.precision, nullptr);
        if (n < 0)
            return false;
        if (n < spec.width)
            out.pad(' ', static_cast<size_t>(spec.width - n));
    }
    n = convertUnicode(cs, s, spec.precision, &out);
    if (n < 0)
        return false;
    if (left && n < spec.width)
        out.pad(' ', static_cast<size_t>(spec.width - n));
    return true;
}

bool convert(Sink& out, const Spec& spec, OutputCodeSet& codeSet, va_list* ap)
{
    const Conversion& conv = kConversions[static_cast<unsigned char>(spec.conv)];
    switch (conv.kind) {
    case conv_signed: {
        intmax_t v = fetchSigned(spec.length, ap);
        uintmax_t magnitude = v < 0 ? uintmax_t(0) - static_cast<uintmax_t>(v)
                                    : static_cast<uintmax_t>(v);
        char sign = v < 0 ? '-'
                  : (spec.flags & flag_plus) != 0 ? '+'
                  : (spec.flags & flag_space) != 0 ? ' ' : 0;
        formatInteger(out, spec, conv, magnitude, sign);
        return true;
    }
    case conv_unsigned:
        formatInteger(out, spec, conv, fetchUnsigned(spec.length, ap), 0);
        return true;
    case conv_pointer: {
        const void* ptr = va_arg(*ap, const void*);
        if (ptr == nullptr) {
            putPadded(out, spec, "(nil)", 5);
            return true;
        }
        formatInteger(out, spec, conv, reinterpret_cast<uintptr_t>(ptr), 0);
        return true;
    }
    case conv_float:
        if (spec.length == len_L)
            return formatFloat(out, spec, va_arg(*ap, long double));
        return formatFloat(out, spec, va_arg(*ap, double));
    case conv_char: {
        char c = static_cast<char>(va_arg(*ap, int));
        putPadded(out, spec, &c, 1);
        return true;
    }
    case conv_string: {
        const char* s = va_arg(*ap, const char*);
        if (s == nullptr)
            s = spec.precision < 0 || spec.precision >= 6 ? kNull : "";
        size_t n = spec.precision < 0 ? strlen(s)
                                      : strnlen(s, static_cast<size_t>(spec.precision));
        putPadded(out, spec, s, n);
        return true;
    }
    case conv_unicode:
        return formatUnicode(out, spec, codeSet, va_arg(*ap, const lox_unichar_t*));
    case conv_percent:
        out.put("%", 1);
        return true;
    default:
        return false;
    }
}

int formatTo(Sink& out, OutputCodeSet& codeSet, const char* fmt, va_list* ap)
{
    if (fmt == nullptr)
        return -1;
    const char* p = fmt;
    for (;;) {
        const char* pct = strchr(p, '%');
        if (pct == nullptr) {
            out.put(p, strlen(p));
            break;
        }
        out.put(p, static_cast<size_t>(pct - p));
        Spec spec;
        p = parseSpec(pct + 1, ap, &spec);
        if (p == nullptr || !convert(out, spec, codeSet, ap) || out.overflowed())
            return -1;
    }
    return out.overflowed() ? -1 : static_cast<int>(out.length());
}

int vformat(char* buf, size_t size, OutputCodeSet& codeSet, const char* fmt,
            va_list ap)
{
    if (buf == nullptr)
        size = 0;
    Sink out(buf, size);
    va_list args;
    va_copy(args, ap);
    int n = formatTo(out, codeSet, fmt, &args);
    va_end(args);
    out.finish(n >= 0);
    return n;
}

int vaformat(char** result, OutputCodeSet& codeSet, const char* fmt, va_list ap)
{
    if (result == nullptr)
        return -1;
    *result = nullptr;
    int n = vformat(nullptr, 0, codeSet, fmt, ap);
    if (n < 0)
        return -1;
    char* p = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (p == nullptr)
        return -1;
    if (vformat(p, static_cast<size_t>(n) + 1, codeSet, fmt, ap) != n) {
        free(p);
        return -1;
    }
    *result = p;
    return n;
}

} // namespace

int qor_vsnprintf(char* buf, size_t size, const char* fmt, va_list ap)
{
    OutputCodeSet cs(lox_cs_local);
    return vformat(buf, size, cs, fmt, ap);
}

int qor_vsnprintf_utf8(char* buf, size_t size, const char* fmt, va_list ap)
{
    OutputCodeSet cs(lox_cs_utf8);
    return vformat(buf, size, cs, fmt, ap);
}

int qor_vsnprintf_lcp(char* buf, size_t size, const char* fmt, va_list ap)
{
    return qor_vsnprintf(buf, size, fmt, ap);
}

int qor_vsnprintf_cs(lox_cs_t cs, char* buf, size_t size, const char* fmt,
                     va_list ap)
{
    OutputCodeSet codeSet(cs);
    return vformat(buf, size, codeSet, fmt, ap);
}

int qor_snprintf(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

int qor_snprintf_utf8(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vsnprintf_utf8(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

int qor_snprintf_lcp(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vsnprintf_lcp(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

int qor_snprintf_cs(lox_cs_t cs, char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vsnprintf_cs(cs, buf, size, fmt, ap);
    va_end(ap);
    return n;
}

int qor_vasprintf(char** out, const char* fmt, va_list ap)
{
    OutputCodeSet cs(lox_cs_local);
    return vaformat(out, cs, fmt, ap);
}

int qor_vasprintf_utf8(char** out, const char* fmt, va_list ap)
{
    OutputCodeSet cs(lox_cs_utf8);
    return vaformat(out, cs, fmt, ap);
}

int qor_vasprintf_lcp(char** out, const char* fmt, va_list ap)
{
    return qor_vasprintf(out, fmt, ap);
}

int qor_vasprintf_cs(lox_cs_t cs, char** out, const char* fmt, va_list ap)
{
    OutputCodeSet codeSet(cs);
    return vaformat(out, codeSet, fmt, ap);
}

int qor_asprintf(char** out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}

int qor_asprintf_utf8(char** out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vasprintf_utf8(out, fmt, ap);
    va_end(ap);
    return n;
}

int qor_asprintf_lcp(char** out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vasprintf_lcp(out, fmt, ap);
    va_end(ap);
    return n;
}

int qor_asprintf_cs(lox_cs_t cs, char** out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qor_vasprintf_cs(cs, out, fmt, ap);
    va_end(ap);
    return n;
}

void qor_asprintf_free(char* p)
{
    free(p);
}
