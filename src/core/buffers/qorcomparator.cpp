// qorcomparator.cpp: comparator rules and the global instances.
#include "core/buffers/qorcomparator.h"

#include <cstring>

QORStringComparator qor_strcmp;
QORICaseStringComparator qor_icase_strcmp;
QORLCPICaseStringComparator qor_lcp_icase_strcmp;
QORWStringComparator qor_unichar_t_strcmp;
QORWICaseStringComparator qor_unichar_t_icase_strcmp;
QORSysWStringComparator qor_wchar_t_strcmp;
QORBinaryComparator qor_memcmp;

int QORStringComparator::compare(const char* a, const char* b,
                                 unsigned int n) const
{
    return strncmp(a, b, n);
}

lox_cs_t QORICaseStringComparator::codeSet() const
{
    return lox_cs_utf8();
}

lox_cs_t QORLCPICaseStringComparator::codeSet() const
{
    return lox_cs_local();
}

int QORICaseStringComparator::compare(const char* a, const char* b,
                                      unsigned int n) const
{
    return lox_strnicmp(codeSet(), a, b, n);
}

int QORWStringComparator::compare(const lox_unichar_t* a,
                                  const lox_unichar_t* b, unsigned int n) const
{
    return lox_wcsncmp(a, b, n);
}

int QORWICaseStringComparator::compare(const lox_unichar_t* a,
                                       const lox_unichar_t* b,
                                       unsigned int n) const
{
    return lox_wcsnicmp(a, b, n);
}

int QORSysWStringComparator::compare(const wchar_t* a, const wchar_t* b,
                                     unsigned int n) const
{
    return wcsncmp(a, b, n);
}

int QORBinaryComparator::compare(const unsigned char* a,
                                 const unsigned char* b, unsigned int n) const
{
    int r = memcmp(a, b, n);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
