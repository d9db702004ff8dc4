// qorsvcargs.cpp: reading, checking and rendering message argument lists.
#include "core/svc/qorsvcargs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include "core/sundry/qorsnprintf.h"
#include "core/svc/qorsvctext.h"

const char* const qor_svc_unrendered_arg =
    "(Failed to handle a data type in svcprintf.c, printPrefix())";

namespace {

// What va_arg must read for one argument; two conversions are compatible
// when they read the same. Integers differ only by size.
enum ArgKind { kind_int, kind_double, kind_ldouble, kind_str, kind_ustr,
               kind_ptr, kind_bad };

enum LenMod { len_none, len_hh, len_h, len_l, len_ll, len_z, len_j, len_t,
              len_L };

struct Conv {
    const char* start;
    size_t length;
    char conv;
    LenMod len;
    int stars;
    ArgKind kind;
    unsigned size;
};

unsigned intSize(LenMod len)
{
    switch (len) {
    case len_l: return sizeof(long);
    case len_ll: return sizeof(long long);
    case len_z: return sizeof(size_t);
    case len_j: return sizeof(intmax_t);
    case len_t: return sizeof(ptrdiff_t);
    default: return sizeof(int);
    }
}

// The next conversion at or after p: 1 with c filled (c->kind is kind_bad
// for a conversion that cannot be read), 0 at the end. "%%" is skipped.
int nextConv(const char*& p, Conv* c)
{
    for (;;) {
        while (*p && *p != '%')
            p++;
        if (*p == '\0')
            return 0;
        if (p[1] == '%') {
            p += 2;
            continue;
        }
        break;
    }
    c->start = p++;
    c->stars = 0;
    c->len = len_none;
    c->kind = kind_bad;
    c->size = 0;
    while (*p && strchr("-+ #0'", *p))
        p++;
    if (*p == '*') {
        c->stars++, p++;
    } else {
        while (*p >= '0' && *p <= '9')
            p++;
        if (*p == '$') {
            c->length = ++p - c->start;
            c->conv = '$';
            return 1;
        }
    }
    if (*p == '.') {
        p++;
        if (*p == '*')
            c->stars++, p++;
        else
            while (*p >= '0' && *p <= '9')
                p++;
    }
    switch (*p) {
    case 'h': c->len = p[1] == 'h' ? (p++, len_hh) : len_h; p++; break;
    case 'l': c->len = p[1] == 'l' ? (p++, len_ll) : len_l; p++; break;
    case 'z': c->len = len_z; p++; break;
    case 'j': c->len = len_j; p++; break;
    case 't': c->len = len_t; p++; break;
    case 'L': c->len = len_L; p++; break;
    }
    c->conv = *p;
    if (*p)
        p++;
    c->length = p - c->start;
    switch (c->conv) {
    case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        if (c->len != len_L)
            c->kind = kind_int, c->size = intSize(c->len);
        break;
    case 'c':
        if (c->len == len_none)
            c->kind = kind_int, c->size = sizeof(int);
        break;
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a':
    case 'A':
        if (c->len == len_L)
            c->kind = kind_ldouble;
        else if (c->len == len_none || c->len == len_l)
            c->kind = kind_double;
        break;
    case 's':
        if (c->len == len_none)
            c->kind = kind_str;
        break;
    case 'S':
        if (c->len == len_none)
            c->kind = kind_ustr;
        break;
    case 'p':
        if (c->len == len_none)
            c->kind = kind_ptr;
        break;
    }
    return 1;
}

// The sequence of va_arg reads a format makes, one code per read; false
// when it holds a conversion that cannot be read.
struct Reads {
    unsigned codes[64];
    int count = 0;
    bool bad = false;

    void add(unsigned code)
    {
        if (count == 64)
            bad = true;
        else
            codes[count++] = code;
    }
};

void readsOf(const char* format, Reads* r)
{
    Conv c;
    const char* p = format ? format : "";
    while (!r->bad && nextConv(p, &c)) {
        if (c.kind == kind_bad) {
            r->bad = true;
            return;
        }
        for (int i = 0; i < c.stars; i++)
            r->add(kind_int * 16 + sizeof(int));
        r->add(c.kind * 16 + c.size);
    }
}

// One argument being formatted on its own: its conversion and the values
// of its '*' width and precision.
struct OneArg {
    lox_cs_t cs;
    char spec[64];
    int star[2];
    int stars;
};

template <class T>
int renderNext(const OneArg& a, va_list& args, char** out)
{
    T v = va_arg(args, T);
    if (a.stars == 0)
        return qor_asprintf_cs(a.cs, out, a.spec, v);
    if (a.stars == 1)
        return qor_asprintf_cs(a.cs, out, a.spec, a.star[0], v);
    return qor_asprintf_cs(a.cs, out, a.spec, a.star[0], a.star[1], v);
}

// Reads one argument of c from args and formats it on its own.
int renderArg(lox_cs_t cs, const Conv& c, va_list& args, char** out)
{
    OneArg a = {};
    if (c.length >= sizeof(a.spec))
        return -1;
    a.cs = cs;
    memcpy(a.spec, c.start, c.length);
    a.spec[c.length] = '\0';
    a.stars = c.stars;
    for (int i = 0; i < c.stars; i++)
        a.star[i] = va_arg(args, int);
    switch (c.kind) {
    case kind_int:
        switch (c.len) {
        case len_l: return renderNext<long>(a, args, out);
        case len_ll: return renderNext<long long>(a, args, out);
        case len_z: return renderNext<size_t>(a, args, out);
        case len_j: return renderNext<intmax_t>(a, args, out);
        case len_t: return renderNext<ptrdiff_t>(a, args, out);
        default: return renderNext<int>(a, args, out);
        }
    case kind_double: return renderNext<double>(a, args, out);
    case kind_ldouble: return renderNext<long double>(a, args, out);
    case kind_str: return renderNext<const char*>(a, args, out);
    case kind_ustr: return renderNext<const lox_unichar_t*>(a, args, out);
    case kind_ptr: return renderNext<void*>(a, args, out);
    default: return -1;
    }
}

// va_list may be an array type; this gives it one address to pass around.
struct ArgCursor {
    va_list ap;
};

} // namespace

bool qor_svc_args_match(const char* tmpl, const char* argtypes)
{
    Reads t, a;
    readsOf(tmpl, &t);
    readsOf(argtypes, &a);
    if (t.bad || t.count > a.count)
        return false;
    for (int i = 0; i < t.count; i++) {
        if (t.codes[i] != a.codes[i])
            return false;
    }
    return true;
}

int qor_svc_args_render(lox_cs_t cs, const char* argtypes, va_list args,
                        char*** params)
{
    QORSvcText text;
    ArgCursor cur;
    Conv c;
    const char* p = argtypes ? argtypes : "";
    int count = 0;
    bool lost = false;
    *params = nullptr;
    va_copy(cur.ap, args);
    while (nextConv(p, &c)) {
        char* one = nullptr;
        lost = lost || c.kind == kind_bad;
        if (!lost && renderArg(cs, c, cur.ap, &one) >= 0)
            text.appendToUTF8(cs, one, strlen(one));
        else
            text.append(qor_svc_unrendered_arg);
        qor_asprintf_free(one);
        text.append('\0');
        count++;
    }
    va_end(cur.ap);
    if (text.failed())
        return -1;
    size_t table = (count + 1) * sizeof(char*);
    char** block = static_cast<char**>(malloc(table + text.size() + 1));
    if (block == nullptr)
        return -1;
    char* strings = reinterpret_cast<char*>(block) + table;
    memcpy(strings, text.data(), text.size());
    for (int i = 0; i < count; i++) {
        block[i] = strings;
        strings += strlen(strings) + 1;
    }
    block[count] = nullptr;
    *params = block;
    return count;
}

bool qor_svc_args_format(QORSvcText& out, lox_cs_t cs, const char* tmpl,
                         const char* argtypes, va_list args)
{
    if (argtypes == nullptr)
        argtypes = tmpl;
    if (qor_svc_args_match(tmpl, argtypes)) {
        QORSvcText local;
        const char* fmt = tmpl;
        if (cs != nullptr && !lox_cs_is_utf8(cs)) {
            if (!local.appendFromUTF8(cs, tmpl, strlen(tmpl)))
                return false;
            fmt = local.data();
        }
        ArgCursor cur;
        char* text = nullptr;
        va_copy(cur.ap, args);
        int n = cs != nullptr ? qor_vasprintf_cs(cs, &text, fmt, cur.ap)
                              : qor_vasprintf_utf8(&text, fmt, cur.ap);
        va_end(cur.ap);
        if (n >= 0) {
            bool ok = out.appendToUTF8(cs, text, n);
            qor_asprintf_free(text);
            return ok;
        }
    }
    char** params;
    int count = qor_svc_args_render(cs, argtypes, args, &params);
    out.appendToUTF8(nullptr, tmpl, strlen(tmpl));
    for (int i = 0; i < count; i++) {
        out.append(' ');
        out.append(params[i]);
    }
    free(params);
    return !out.failed();
}
