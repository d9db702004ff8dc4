// qorstrtol.h: strtol/strtoul over counted strings of any element type.
// Results are clamped to the 32-bit range on every platform, so a value
// parses alike in 32- and 64-bit processes.
#pragma once
#include <cerrno>
#include <cstdint>
#include "core/buffers/qorstring.h"

namespace qor_detail {

template <class Ch>
int digitValue(Ch c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'z')
        return static_cast<int>(c - 'a') + 10;
    if (c >= 'A' && c <= 'Z')
        return static_cast<int>(c - 'A') + 10;
    return 99;
}

// Parses s[0..n) and returns the magnitude (saturated at limit) with the
// sign in *negative; *end as the public functions describe.
template <class Ch>
uint32_t parseMagnitude(const Ch* s, int n, int* end, int base, uint32_t limit,
                        bool* negative, bool* overflow)
{
    *end = 0;
    *negative = false;
    *overflow = false;
    if (base != 0 && (base < 2 || base > 36)) {
        errno = EINVAL;
        return 0;
    }
    int i = 0;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        i++;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        *negative = s[i] == '-';
        i++;
    }
    bool hexPrefix = n - i >= 3 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')
                     && digitValue(s[i + 2]) < 16;
    if (base == 0) {
        if (n - i <= 1)
            base = 10;
        else if (hexPrefix)
            base = 16;
        else if (s[i] == '0')
            base = 8;
        else
            base = 10;
    }
    if (base == 16 && hexPrefix)
        i += 2;

    uint32_t value = 0;
    int digits = 0;
    for (; i < n; i++) {
        int d = digitValue(s[i]);
        if (d >= base)
            break;
        digits++;
        if (*overflow)
            continue;
        uint64_t next = static_cast<uint64_t>(value) * static_cast<unsigned>(base)
                        + static_cast<unsigned>(d);
        if (next > limit) {
            *overflow = true;
            value = limit;
        } else {
            value = static_cast<uint32_t>(next);
        }
    }
    if (digits > 0)
        *end = i;
    return value;
}

template <class Ch>
long strtolImpl(const Ch* s, int n, int* end, int base)
{
    bool negative;
    bool overflow;
    int stop;
    // The magnitude of the most negative value is one more than the most
    // positive one; parse against the larger bound and check the sign after.
    uint32_t m = parseMagnitude(s, n, &stop, base, 0x80000000u, &negative,
                                &overflow);
    if (end)
        *end = stop;
    if (!negative && m > 0x7fffffffu) {
        overflow = true;
        m = 0x7fffffffu;
    }
    if (overflow) {
        errno = ERANGE;
        return negative ? -2147483647L - 1 : 2147483647L;
    }
    return negative ? -static_cast<long>(m) : static_cast<long>(m);
}

template <class Ch>
unsigned long strtoulImpl(const Ch* s, int n, int* end, int base)
{
    bool negative;
    bool overflow;
    int stop;
    uint32_t m = parseMagnitude(s, n, &stop, base, 0xffffffffu, &negative,
                                &overflow);
    if (end)
        *end = stop;
    if (overflow) {
        errno = ERANGE;
        return 4294967295UL;
    }
    return negative ? static_cast<uint32_t>(0u - m) : m;
}

} // namespace qor_detail

// The standard rules over a counted string: blanks, sign, base 0 choosing
// 16 ("0x"), 8 (leading "0") or 10. *end gets the index just past the last
// digit, or 0 when none was consumed. Overflow sets ERANGE and clamps to
// the 32-bit limits; a bad base sets EINVAL and returns 0.
template <class Ch>
long qor_strtol(const QORStringRefT<Ch>& s, int* end, int base)
{
    return qor_detail::strtolImpl(s.data(), s.length(), end, base);
}

template <class Ch>
long qor_strtol(const QORStringT<Ch>& s, int* end, int base)
{
    return qor_detail::strtolImpl(s.data(), s.length(), end, base);
}

// As qor_strtol, clamped to 4294967295; a leading "-" negates the result.
template <class Ch>
unsigned long qor_strtoul(const QORStringRefT<Ch>& s, int* end, int base)
{
    return qor_detail::strtoulImpl(s.data(), s.length(), end, base);
}

template <class Ch>
unsigned long qor_strtoul(const QORStringT<Ch>& s, int* end, int base)
{
    return qor_detail::strtoulImpl(s.data(), s.length(), end, base);
}
