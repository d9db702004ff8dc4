// qorhtml.cpp: HTML escaping by a byte-class table; the output is measured
// first so that it grows once.
#include "core/html/qorhtml.h"

#include <array>
#include <cstdio>

namespace {

// A view whose length and terminator are settled before it is shared, so
// that reading the constant never writes to it.
QORStringRef htmlConstant(const char* text)
{
    QORStringRef r(text);
    r.length();
    return r;
}

enum ByteClass : uint8_t {
    kCopy,
    kEntity,  // always written as a named entity
    kNumeric, // written as a decimal reference when numeric is asked for
};

constexpr std::array<uint8_t, 256> makeClasses()
{
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; c++)
        t[c] = kNumeric;
    t[':'] = t['\''] = t['\\'] = kNumeric;
    t['"'] = t['&'] = t['<'] = t['>'] = kEntity;
    return t;
}

constexpr std::array<uint8_t, 256> kClasses = makeClasses();

const QORStringRef* entityOf(unsigned char c)
{
    switch (c) {
    case '"':
        return &qor_html_quot;
    case '&':
        return &qor_html_amp;
    case '<':
        return &qor_html_lt;
    default:
        return &qor_html_gt;
    }
}

// "&#" digits ";" of a byte below 0x80.
int numericLength(unsigned char c)
{
    return c < 10 ? 4 : (c < 100 ? 5 : 6);
}

} // namespace

const QORStringRef qor_html_amp = htmlConstant("&amp;");
const QORStringRef qor_html_gt = htmlConstant("&gt;");
const QORStringRef qor_html_lt = htmlConstant("&lt;");
const QORStringRef qor_html_quot = htmlConstant("&quot;");

bool QORHTML::tainted(const QORStringRefT<char>& text)
{
    const char* p = text.data();
    for (int i = 0, n = text.length(); i < n; i++)
        if (p[i] == '<' || p[i] == '>' || p[i] == '"')
            return true;
    return false;
}

QORStatus QORHTML::escape(const QORStringRefT<char>& in, QORStringT<char>* out,
                          bool numeric)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
    int n = in.length();
    long long extra = 0;
    for (int i = 0; i < n; i++) {
        uint8_t k = kClasses[p[i]];
        if (k == kEntity)
            extra += entityOf(p[i])->length() - 1;
        else if (k == kNumeric && numeric)
            extra += numericLength(p[i]) - 1;
    }
    long long total = static_cast<long long>(out->length()) + n + extra;
    if (total > 0x7ffffffe || !out->reserve(static_cast<int>(total)))
        return qor_s_no_memory;

    char* w = out->buffer() + out->length();
    for (int i = 0; i < n; i++) {
        uint8_t k = kClasses[p[i]];
        if (k == kEntity) {
            const QORStringRef* e = entityOf(p[i]);
            memcpy(w, e->data(), static_cast<size_t>(e->length()));
            w += e->length();
        } else if (k == kNumeric && numeric) {
            // snprintf writes the terminator into the slot reserved for it.
            w += snprintf(w, 7, "&#%d;", p[i]);
        } else {
            *w++ = static_cast<char>(p[i]);
        }
    }
    out->setLength(static_cast<int>(total));
    return qor_s_ok;
}

QORStatus QORHTML::unescape(const QORStringRefT<char>& in, QORStringT<char>* out)
{
    static const struct {
        const QORStringRef* entity;
        char c;
    } kEntities[] = {
        {&qor_html_amp, '&'},
        {&qor_html_gt, '>'},
        {&qor_html_lt, '<'},
        {&qor_html_quot, '"'},
    };
    const char* p = in.data();
    int n = in.length();
    // Unescaping never lengthens the text.
    if (!out->reserve(out->length() + n))
        return qor_s_no_memory;
    char* start = out->buffer() + out->length();
    char* w = start;
    for (int i = 0; i < n;) {
        if (p[i] != '&') {
            *w++ = p[i++];
            continue;
        }
        int skip = 1;
        char c = '&';
        for (const auto& e : kEntities) {
            int len = e.entity->length();
            if (len <= n - i && memcmp(p + i, e.entity->data(), static_cast<size_t>(len)) == 0) {
                skip = len;
                c = e.c;
                break;
            }
        }
        *w++ = c;
        i += skip;
    }
    out->setLength(out->length() + static_cast<int>(w - start));
    return qor_s_ok;
}
