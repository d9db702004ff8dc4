// qorconverter.h: character converters. A converter appends the conversion
// of a run of From characters to a QORStringT<To>, growing it once by an
// upper bound on the output and then converting step by step.
#pragma once
#include <iconv.h>
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"

template <class From, class To>
class QORStringConverterT {
public:
    QORStringConverterT() {}
    virtual ~QORStringConverterT() = default;

    // Appends the conversion of n characters of src (n == -1: up to the
    // zero element) to out. On failure out keeps its previous length.
    QORStatus append(QORStringT<To>& out, const From* src, int n)
    {
        return doAppend(out, src, n);
    }
    // Replaces out's content with the conversion.
    QORStatus convert(QORStringT<To>& out, const From* src, int n)
    {
        out.clear();
        return doAppend(out, src, n);
    }

    virtual QORStatus doAppend(QORStringT<To>& out, const From* src, int n);
    // One step: converts from src (avail characters left) into dst, reports
    // how many were consumed and produced. A negative produced count means
    // dst was zero-terminated and the length is to be counted.
    virtual QORStatus convertChar(const From* src, int avail, int* consumed,
                                  To* dst, int* produced);
    virtual int maxToLength(const From* src, int n);
};

template <class From, class To>
QORStatus QORStringConverterT<From, To>::doAppend(QORStringT<To>& out,
                                                  const From* src, int n)
{
    if (src == nullptr)
        n = 0;
    else if (n == -1)
        n = qor_string_length(src);
    if (n < 0)
        return qor_s_invalid_argument;
    int room = maxToLength(src, n);
    if (room < 0 || room > 0x7ffffffe - out.length())
        return qor_s_no_memory;
    if (!out.reserve(out.length() + room))
        return qor_s_no_memory;

    int length = out.length();
    bool recount = false;
    int pos = 0;
    while (pos < n) {
        int consumed = 0;
        int produced = 0;
        QORStatus st = convertChar(src + pos, n - pos, &consumed,
                                   out.buffer() + length, &produced);
        if (st != qor_s_ok)
            return st;
        if (consumed <= 0)
            return qor_s_invalid_argument;
        pos += consumed;
        if (produced < 0) {
            recount = true;
            length += qor_string_length(out.buffer() + length);
        } else {
            length += produced;
        }
    }
    out.buffer()[length] = 0;
    if (recount)
        length = qor_string_length(out.buffer());
    out.setLength(length);
    return qor_s_ok;
}

// The plain converter copies, widening or narrowing each element.
template <class From, class To>
QORStatus QORStringConverterT<From, To>::convertChar(const From* src, int avail,
                                                     int* consumed, To* dst,
                                                     int* produced)
{
    for (int i = 0; i < avail; i++)
        dst[i] = static_cast<To>(src[i]);
    *consumed = avail;
    *produced = avail;
    return qor_s_ok;
}

template <class From, class To>
int QORStringConverterT<From, To>::maxToLength(const From*, int n)
{
    return n;
}

typedef QORStringConverterT<char, char> QORByteConverter;

// Between two character sets named as iconv knows them.
class QORCPiConvConverter : public QORByteConverter {
public:
    QORCPiConvConverter(const char* from, const char* to);
    ~QORCPiConvConverter() override;
    bool isUsable() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    QORStatus doAppend(QORStringT<char>& out, const char* src, int n) override;
    QORStatus convertChar(const char* src, int avail, int* consumed, char* dst,
                          int* produced) override;
    int maxToLength(const char* src, int n) override;

private:
    iconv_t m_cd;
};

// UTF-8 into the converter's code set.
class QORUTF8ToCPConverter : public QORByteConverter {
public:
    explicit QORUTF8ToCPConverter(lox_cs_t cs)
        : m_cs(cs)
    {
    }
    lox_cs_t codeSet() const { return m_cs; }
    QORStatus convertChar(const char* src, int avail, int* consumed, char* dst,
                          int* produced) override;
    int maxToLength(const char* src, int n) override;

private:
    lox_cs_t m_cs;
};

// The converter's code set into UTF-8.
class QORCPToUTF8Converter : public QORByteConverter {
public:
    explicit QORCPToUTF8Converter(lox_cs_t cs)
        : m_cs(cs)
    {
    }
    lox_cs_t codeSet() const { return m_cs; }
    QORStatus convertChar(const char* src, int avail, int* consumed, char* dst,
                          int* produced) override;
    int maxToLength(const char* src, int n) override;

private:
    lox_cs_t m_cs;
};

// A to Z become a to z; every other byte is kept.
class QORUSAsciiToLowerConverter : public QORByteConverter {
public:
    QORUSAsciiToLowerConverter() {}
    QORStatus convertChar(const char* src, int avail, int* consumed, char* dst,
                          int* produced) override;
};

// Lower-cases UTF-8 text; badly formed UTF-8 is refused.
class QORUTF8ToLowerConverter : public QORByteConverter {
public:
    QORUTF8ToLowerConverter() {}
    QORStatus convertChar(const char* src, int avail, int* consumed, char* dst,
                          int* produced) override;
};

class QORBinaryToBase64Converter : public QORStringConverterT<unsigned char, char> {
public:
    QORBinaryToBase64Converter() {}
    QORStatus doAppend(QORStringT<char>& out, const unsigned char* src,
                       int n) override;
    QORStatus convertChar(const unsigned char* src, int avail, int* consumed,
                          char* dst, int* produced) override;
    int maxToLength(const unsigned char* src, int n) override;
};

class QORBase64ToBinaryConverter : public QORStringConverterT<char, unsigned char> {
public:
    QORBase64ToBinaryConverter() {}
    QORStatus convertChar(const char* src, int avail, int* consumed,
                          unsigned char* dst, int* produced) override;
    int maxToLength(const char* src, int n) override;
};

// Multi-byte text of the process locale to and from the platform's wchar_t.
class QORLCMBToSysWideConverter : public QORStringConverterT<char, wchar_t> {
public:
    QORLCMBToSysWideConverter() {}
    QORStatus convertChar(const char* src, int avail, int* consumed,
                          wchar_t* dst, int* produced) override;
};

class QORLCSysWideToMBConverter : public QORStringConverterT<wchar_t, char> {
public:
    QORLCSysWideToMBConverter() {}
    QORStatus convertChar(const wchar_t* src, int avail, int* consumed,
                          char* dst, int* produced) override;
    int maxToLength(const wchar_t* src, int n) override;
};

// Multi-byte text in the code set of getCodeSet() to and from 16-bit Unicode.
class QORLOXMBToWideConverter : public QORStringConverterT<char, lox_unichar_t> {
public:
    QORLOXMBToWideConverter() {}
    QORStatus convertChar(const char* src, int avail, int* consumed,
                          lox_unichar_t* dst, int* produced) override;
    virtual lox_cs_t getCodeSet() const = 0;
};

class QORLCMBToWideConverter : public QORLOXMBToWideConverter {
public:
    QORLCMBToWideConverter() {}
    lox_cs_t getCodeSet() const override;
};

class QORUTF8MBToWideConverter : public QORLOXMBToWideConverter {
public:
    QORUTF8MBToWideConverter() {}
    lox_cs_t getCodeSet() const override;
};

class QORLOXWideToMBConverter : public QORStringConverterT<lox_unichar_t, char> {
public:
    QORLOXWideToMBConverter() {}
    QORStatus convertChar(const lox_unichar_t* src, int avail, int* consumed,
                          char* dst, int* produced) override;
    int maxToLength(const lox_unichar_t* src, int n) override;
    virtual lox_cs_t getCodeSet() const = 0;
};

class QORLCWideToMBConverter : public QORLOXWideToMBConverter {
public:
    QORLCWideToMBConverter() {}
    lox_cs_t getCodeSet() const override;
};

class QORUTF8WideToMBConverter : public QORLOXWideToMBConverter {
public:
    QORUTF8WideToMBConverter() {}
    lox_cs_t getCodeSet() const override;
};

extern QORLCMBToWideConverter qor_lc_mb_to_unichar_t_conv;
extern QORLCWideToMBConverter qor_lc_unichar_t_to_mb_conv;
extern QORUTF8MBToWideConverter qor_utf8_mb_to_unichar_t_conv;
extern QORUTF8WideToMBConverter qor_utf8_unichar_t_to_mb_conv;
extern QORLCMBToSysWideConverter qor_lc_mb_to_wchar_t_conv;
extern QORLCSysWideToMBConverter qor_lc_wchar_t_to_mb_conv;
extern QORBinaryToBase64Converter qor_to_base64_conv;
extern QORBase64ToBinaryConverter qor_from_base64_conv;
extern QORUSAsciiToLowerConverter qor_us_ascii_to_lower_conv;
extern QORUTF8ToLowerConverter qor_utf8_to_lower_conv;
