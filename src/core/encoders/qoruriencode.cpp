// qoruriencode.cpp: one action table per encoding type, built at compile
// time; the output is measured first so that it grows once.
#include "core/encoders/qoruriencode.h"

#include <array>

#include "core/sundry/qorhexdigit.h"

namespace {

enum Action : uint8_t {
    kWrite,
    kEscape,
    kPlus,
};

const int kTypes = 5;
const char kHex[] = "0123456789ABCDEF";

constexpr bool isUnreserved(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z') || c == '*' || c == '-' || c == '.' || c == '_';
}

constexpr bool contains(const char* set, int c)
{
    for (; *set; set++)
        if (static_cast<unsigned char>(*set) == c)
            return true;
    return false;
}

constexpr const char* kExcluded = "<>#%\"{}|\\^[]`";
constexpr const char* kMacroSet = "<>:'\"\\";

constexpr Action ruleOf(int type, int c)
{
    switch (type) {
    case qor_uri_type_uri:
        return contains(kExcluded, c) ? kEscape : kWrite;
    case qor_uri_type_form_arg:
    case qor_uri_type_query:
        return kEscape;
    case qor_uri_type_ascii:
        return kWrite;
    default:
        return contains(kMacroSet, c) ? kEscape : kWrite;
    }
}

constexpr std::array<std::array<uint8_t, 256>, kTypes> makeActions()
{
    std::array<std::array<uint8_t, 256>, kTypes> t{};
    for (int type = 0; type < kTypes; type++)
        for (int c = 0; c < 256; c++) {
            Action a = kWrite;
            if (type == qor_uri_type_form_arg && c == ' ')
                a = kPlus;
            else if (isUnreserved(c))
                a = kWrite;
            else if (c == '%' || c <= 0x20 || c > 0x7e)
                a = kEscape;
            else
                a = ruleOf(type, c);
            t[type][c] = a;
        }
    return t;
}

constexpr std::array<std::array<uint8_t, 256>, kTypes> kActions = makeActions();

// Bytes that an escape may decode to in a macro value: those the macro
// encoding escapes.
constexpr std::array<bool, 256> makeMacroDecodable()
{
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; c++)
        t[c] = kActions[qor_uri_type_macro][c] == kEscape;
    return t;
}

constexpr std::array<bool, 256> kMacroDecodable = makeMacroDecodable();

bool reserveMore(QORStringT<char>* out, long long extra)
{
    long long total = static_cast<long long>(out->length()) + extra;
    return total <= 0x7ffffffe && out->reserve(static_cast<int>(total));
}

} // namespace

bool qor_uri_encode(QORStringT<char>* out, const char* in, int len,
                    uri_encoding_type type)
{
    if (in == nullptr)
        return true;
    if (len < 0)
        len = static_cast<int>(strlen(in));
    unsigned t = static_cast<unsigned>(type);
    if (t >= static_cast<unsigned>(kTypes))
        t = qor_uri_type_uri;
    const std::array<uint8_t, 256>& actions = kActions[t];
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);

    long long need = len;
    for (int i = 0; i < len; i++)
        if (actions[p[i]] == kEscape)
            need += 2;
    if (!reserveMore(out, need))
        return false;

    char* w = out->buffer() + out->length();
    for (int i = 0; i < len; i++) {
        unsigned char c = p[i];
        switch (actions[c]) {
        case kWrite:
            *w++ = static_cast<char>(c);
            break;
        case kPlus:
            *w++ = '+';
            break;
        default:
            *w++ = '%';
            *w++ = kHex[c >> 4];
            *w++ = kHex[c & 0xf];
            break;
        }
    }
    out->setLength(out->length() + static_cast<int>(need));
    return true;
}

bool qor_uri_encode(QORStringT<char>* out, const char* in, int len)
{
    return qor_uri_encode(out, in, len, qor_uri_type_uri);
}

bool qor_uri_encode_form_arg(QORStringT<char>* out, const char* in, int len)
{
    return qor_uri_encode(out, in, len, qor_uri_type_form_arg);
}

bool qor_uri_encode_query(QORStringT<char>* out, const char* in, int len)
{
    return qor_uri_encode(out, in, len, qor_uri_type_query);
}

bool qor_uri_encode_ascii(QORStringT<char>* out, const char* in, int len)
{
    return qor_uri_encode(out, in, len, qor_uri_type_ascii);
}

bool qor_uri_encode_macro(QORStringT<char>* out, const char* in, int len)
{
    return qor_uri_encode(out, in, len, qor_uri_type_macro);
}

bool qor_uri_decode_macro(QORStringT<char>* out, const char* in, int len)
{
    if (in == nullptr)
        return true;
    if (len < 0)
        len = static_cast<int>(strlen(in));
    // Decoding never lengthens the text.
    if (!reserveMore(out, len))
        return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    char* start = out->buffer() + out->length();
    char* w = start;
    for (int i = 0; i < len;) {
        if (p[i] == '%' && len - i >= 3) {
            int hi = qor_hex_value(p[i + 1]);
            int lo = qor_hex_value(p[i + 2]);
            if (hi >= 0 && lo >= 0 && kMacroDecodable[hi << 4 | lo]) {
                *w++ = static_cast<char>(hi << 4 | lo);
                i += 3;
                continue;
            }
        }
        *w++ = static_cast<char>(p[i++]);
    }
    out->setLength(out->length() + static_cast<int>(w - start));
    return true;
}
