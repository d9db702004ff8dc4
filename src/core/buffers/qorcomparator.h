// qorcomparator.h: string comparators. A string compares with another
// through its own comparator over the shorter length; lengths break ties.
#pragma once
#include <cwchar>
#include "core/platform/qorlox.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
template <class Ch>
class QORStringComparatorT {
public:
    // Negative, zero or positive like strncmp, over at most n characters.
    virtual int compare(const Ch* a, const Ch* b, unsigned int n) const = 0;

protected:
    ~QORStringComparatorT() = default;
};

class QORStringComparator : public QORStringComparatorT<char> {
public:
    constexpr QORStringComparator() {}
    int compare(const char* a, const char* b, unsigned int n) const override;
};

class QORICaseStringComparator : public QORStringComparatorT<char> {
public:
    constexpr QORICaseStringComparator() {}
    int compare(const char* a, const char* b, unsigned int n) const override;

protected:
    virtual lox_cs_t codeSet() const;
};

class QORLCPICaseStringComparator : public QORICaseStringComparator {
public:
    constexpr QORLCPICaseStringComparator() {}

protected:
    lox_cs_t codeSet() const override;
};

class QORWStringComparator : public QORStringComparatorT<lox_unichar_t> {
public:
    constexpr QORWStringComparator() {}
    int compare(const lox_unichar_t* a, const lox_unichar_t* b,
                unsigned int n) const override;
};

class QORWICaseStringComparator : public QORStringComparatorT<lox_unichar_t> {
public:
    constexpr QORWICaseStringComparator() {}
    int compare(const lox_unichar_t* a, const lox_unichar_t* b,
                unsigned int n) const override;
};

class QORSysWStringComparator : public QORStringComparatorT<wchar_t> {
public:
    constexpr QORSysWStringComparator() {}
    int compare(const wchar_t* a, const wchar_t* b,
                unsigned int n) const override;
};

class QORBinaryComparator : public QORStringComparatorT<unsigned char> {
public:
    constexpr QORBinaryComparator() {}
    // -1, 0 or 1, bytes taken as unsigned.
    int compare(const unsigned char* a, const unsigned char* b,
                unsigned int n) const override;
};

extern QORStringComparator qor_strcmp;
extern QORICaseStringComparator qor_icase_strcmp;
extern QORLCPICaseStringComparator qor_lcp_icase_strcmp;
extern QORWStringComparator qor_unichar_t_strcmp;
extern QORWICaseStringComparator qor_unichar_t_icase_strcmp;
extern QORSysWStringComparator qor_wchar_t_strcmp;
extern QORBinaryComparator qor_memcmp;

QOR_EXPORT_END
