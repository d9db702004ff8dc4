// qorstringtraits.h: what strings and views of one element type share: the
// default comparator and hasher of the type, length counting, and the
// comparison rule of two counted strings.
#pragma once
#include "core/buffers/qorcomparator.h"
#include "core/buffers/qorhasher.h"

template <class Ch>
struct QORStringTraits;

template <>
struct QORStringTraits<char> {
    static QORStringComparatorT<char>* comparator() { return &qor_strcmp; }
    static QORStringHasherT<char>* hasher() { return &qor_string_hasher; }
};

template <>
struct QORStringTraits<unsigned char> {
    static QORStringComparatorT<unsigned char>* comparator() { return &qor_memcmp; }
    static QORStringHasherT<unsigned char>* hasher() { return &qor_binary_hasher; }
};

template <>
struct QORStringTraits<lox_unichar_t> {
    static QORStringComparatorT<lox_unichar_t>* comparator()
    {
        return &qor_unichar_t_strcmp;
    }
    static QORStringHasherT<lox_unichar_t>* hasher() { return &qor_unichar_t_hasher; }
};

template <>
struct QORStringTraits<wchar_t> {
    static QORStringComparatorT<wchar_t>* comparator() { return &qor_wchar_t_strcmp; }
    static QORStringHasherT<wchar_t>* hasher() { return &qor_wchar_t_hasher; }
};

template <class Ch>
inline int qor_string_length(const Ch* s)
{
    const Ch* p = s;
    while (*p != 0)
        p++;
    return static_cast<int>(p - s);
}

// A's comparator over the shorter length decides; when that finds the
// prefixes equal, the longer string is the greater.
template <class Ch>
inline int qor_string_compare(const QORStringComparatorT<Ch>* cmp,
                              const Ch* a, int alen, const Ch* b, int blen)
{
    int n = alen < blen ? alen : blen;
    int r = n > 0 ? cmp->compare(a, b, static_cast<unsigned int>(n)) : 0;
    if (r != 0)
        return r;
    return alen > blen ? 1 : (alen < blen ? -1 : 0);
}
