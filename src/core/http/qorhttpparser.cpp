// qorhttpparser.cpp: the HTTP scanners and parsers. Each scanner finds the
// end of its run in one table-driven loop over the cursor's remaining bytes
// and then advances the cursor once; nothing reads past remaining().
#include "core/http/qorhttpparser.h"

#include <cerrno>
#include <cstring>
#include "core/buffers/qorstrtol.h"
#include "core/platform/qorlox.h"
#include "core/sundry/qorhexdigit.h"
#include "core/trace/qortraceregistry.h"

namespace {

constexpr bool isControl(int b)
{
    return b < 0x20 || b == 0x7f;
}

constexpr bool isSeparator(int b)
{
    return b == '"' || b == '(' || b == ')' || b == ',' || b == '/' || b == ':' ||
           b == ';' || b == '<' || b == '=' || b == '>' || b == '?' || b == '@' ||
           b == '[' || b == '\\' || b == ']' || b == '{' || b == '}';
}

// The rule of each class: true for a byte that ends a run.
constexpr bool endsToken(int b) { return b <= 0x20 || b >= 0x7f || isSeparator(b); }
constexpr bool endsText(int b) { return isControl(b) && b != '\t'; }
constexpr bool endsReason(int b) { return isControl(b); }
constexpr bool endsURI(int b) { return b <= 0x20 || b == 0x7f; }
constexpr bool endsVersion(int b) { return b < '0' || b > '9'; }
constexpr bool endsWhitespace(int b) { return b != '\t' && b != ' '; }
constexpr bool endsCookieValue(int b)
{
    return (isControl(b) && b != '\t') || b == ',' || b == ';';
}
// Form values end at "&" or a control byte.
constexpr bool endsFormValue(int b) { return isControl(b) || b == '&'; }

} // namespace

#define QOR_ROW(f, n)                                                         \
    f(n), f(n + 1), f(n + 2), f(n + 3), f(n + 4), f(n + 5), f(n + 6), f(n + 7), \
        f(n + 8), f(n + 9), f(n + 10), f(n + 11), f(n + 12), f(n + 13),        \
        f(n + 14), f(n + 15)
#define QOR_TABLE(f)                                                          \
    {                                                                         \
        QOR_ROW(f, 0x00), QOR_ROW(f, 0x10), QOR_ROW(f, 0x20), QOR_ROW(f, 0x30), \
            QOR_ROW(f, 0x40), QOR_ROW(f, 0x50), QOR_ROW(f, 0x60),              \
            QOR_ROW(f, 0x70), QOR_ROW(f, 0x80), QOR_ROW(f, 0x90),              \
            QOR_ROW(f, 0xa0), QOR_ROW(f, 0xb0), QOR_ROW(f, 0xc0),              \
            QOR_ROW(f, 0xd0), QOR_ROW(f, 0xe0), QOR_ROW(f, 0xf0)               \
    }

const unsigned char qor_http_token_delimiter[256] = QOR_TABLE(endsToken);
const unsigned char qor_http_text_delimiter[256] = QOR_TABLE(endsText);
const unsigned char qor_http_reason_delimiter[256] = QOR_TABLE(endsReason);
const unsigned char qor_http_uri_delimiter[256] = QOR_TABLE(endsURI);
const unsigned char qor_http_version_delimiter[256] = QOR_TABLE(endsVersion);
const unsigned char qor_http_whitespace_delimiter[256] = QOR_TABLE(endsWhitespace);
const unsigned char qor_http_unquoted_cookie_value_delimiter[256] =
    QOR_TABLE(endsCookieValue);

namespace {

const unsigned char s_formValue[256] = QOR_TABLE(endsFormValue);

#undef QOR_TABLE
#undef QOR_ROW

inline const unsigned char* bytes(const QORBufferCursor* c)
{
    return reinterpret_cast<const unsigned char*>(c->current());
}

// Length of the run of bytes not ending in table, from offset from.
inline int runLength(const QORBufferCursor* c, const unsigned char* table, int from = 0)
{
    const unsigned char* p = bytes(c);
    int n = c->remaining();
    int i = from;
    // Runs are long (user agents, cookies): test four bytes per bound check.
    while (i + 4 <= n) {
        if (table[p[i]])
            return i - from;
        if (table[p[i + 1]])
            return i + 1 - from;
        if (table[p[i + 2]])
            return i + 2 - from;
        if (table[p[i + 3]])
            return i + 3 - from;
        i += 4;
    }
    while (i < n && !table[p[i]])
        i++;
    return i - from;
}

// TABs and spaces at the cursor, consumed; not committed.
inline int skipBlanks(QORBufferCursor* c)
{
    int n = runLength(c, qor_http_whitespace_delimiter);
    if (n > 0)
        c->advance(n);
    return n;
}

// Length of the line terminator at offset i: CR LF, LF or CR CR LF; else 0.
inline int terminatorAt(const QORBufferCursor* c, int i)
{
    int b = c->peek(i);
    if (b == '\n')
        return 1;
    if (b != '\r')
        return 0;
    b = c->peek(i + 1);
    if (b == '\n')
        return 2;
    return b == '\r' && c->peek(i + 2) == '\n' ? 3 : 0;
}

inline QORStatus fail(QORBufferCursor* c, QORStatus st)
{
    c->rollback();
    return st;
}

inline bool equalsNoCase(const QORStringRefT<char>& s, const char* lower, int n)
{
    if (s.length() != n)
        return false;
    for (int i = 0; i < n; i++) {
        if (QORHTTPHdrNameRef::m_lower[static_cast<unsigned char>(s.data()[i])] != lower[i])
            return false;
    }
    return true;
}

void traceBadRequest(const char* text)
{
    // Invalid escapes are rare; looking the component up here, rather than
    // keeping it, stays correct across a registry shutdown and restart.
    QOR_TRACE(QORTraceRegistry::get("dxqor.http"), 8, text, -1);
}

// name "=" value, name a token; the value is viewed as it stands.
QORStatus scanPair(QORBufferCursor* c, QORStringRefT<char>* name,
                   QORStringRefT<char>* value)
{
    QORStatus st = QORHTTPParser::parseToken(c, name);
    if (st != qor_s_ok)
        return st;
    if (c->remaining() < 1)
        return qor_s_http_unexpected_end;
    if (c->peek() != '=')
        return qor_s_http_bad_post_data;
    c->advance();
    c->commit();
    int n = runLength(c, s_formValue);
    value->set(c->current(), n);
    c->advance(n);
    c->commit();
    return qor_s_ok;
}

// The percent-decoder behind decodeURI; plusIsSpace also turns "+" into a
// space, for query strings whose text must not be changed in place.
QORStatus decode(const QORStringRefT<char>& in, QORStringT<char>* out, bool plusIsSpace)
{
    const char* s = in.data();
    int n = in.length();
    int first = 0;
    while (first < n && s[first] != '%' && !(plusIsSpace && s[first] == '+'))
        first++;
    if (!out->reserve(n))
        return qor_s_no_memory;
    out->set(s, first);
    if (first == n)
        return qor_s_ok;

    char* d = out->buffer();
    int len = first;
    lox_cs_t local = nullptr;
    int i = first;
    while (i < n) {
        char b = s[i];
        if (b == '+' && plusIsSpace) {
            d[len++] = ' ';
            i++;
            continue;
        }
        if (b != '%') {
            d[len++] = b;
            i++;
            continue;
        }
        int left = n - i - 1;
        if (left == 0) {
            out->setLength(len);
            traceBadRequest("Found invalid % sequence - bad request");
            return qor_s_http_bad_request;
        }
        if (s[i + 1] == '%') {
            d[len++] = '%';
            i += 2;
            continue;
        }
        if (s[i + 1] == 'u' || s[i + 1] == 'U') {
            int v = -1;
            if (left >= 5) {
                int h0 = QORHTTPParser::atox(s[i + 2]), h1 = QORHTTPParser::atox(s[i + 3]);
                int h2 = QORHTTPParser::atox(s[i + 4]), h3 = QORHTTPParser::atox(s[i + 5]);
                if ((h0 | h1 | h2 | h3) >= 0)
                    v = (h0 << 12) | (h1 << 8) | (h2 << 4) | h3;
            }
            char mb[LOX_MB_LEN_MAX];
            int m = -1;
            if (v > 0) {
                if (local == nullptr)
                    local = lox_cs_local();
                m = local ? lox_wctomb(local, mb, static_cast<lox_unichar_t>(v)) : -1;
            }
            // %uhhhh is six bytes and no code set needs more for one
            // character, but the buffer is grown rather than trusted.
            if (m > 0 && len + m > out->capacity() - 1) {
                out->setLength(len);
                if (!out->reserve(len + m + (n - i - 6)))
                    return qor_s_no_memory;
                d = out->buffer();
            }
            if (m < 1) {
                out->setLength(len);
                traceBadRequest("Found invalid %uhhhh sequence - bad request");
                return qor_s_http_bad_request;
            }
            memcpy(d + len, mb, static_cast<size_t>(m));
            len += m;
            i += 6;
            continue;
        }
        int hi = left >= 2 ? QORHTTPParser::atox(s[i + 1]) : -1;
        int lo = left >= 2 ? QORHTTPParser::atox(s[i + 2]) : -1;
        if (hi < 0 || lo < 0 || (hi | lo) == 0) {
            out->setLength(len);
            traceBadRequest("Found invalid %hh sequence - bad request");
            return qor_s_http_bad_request;
        }
        d[len++] = static_cast<char>((hi << 4) | lo);
        i += 3;
    }
    out->setLength(len);
    return qor_s_ok;
}

// The loop shared by form data and query strings. inPlace: "+" is turned
// into a space in the parsed bytes (form bodies); else while decoding.
template <class Set, class Value>
QORStatus parsePairs(QORBufferCursor* c, Set* set, bool inPlace)
{
    for (;;) {
        QORHTTPParser::wasteWhiteSpace(c);
        QORStringRef name;
        QORStringRef raw;
        QORStatus st = inPlace ? QORHTTPParser::parsePostData(c, &name, &raw)
                               : scanPair(c, &name, &raw);
        if (st == qor_s_not_available)
            return fail(c, qor_s_ok);
        if (st != qor_s_ok)
            return fail(c, st);
        Value value(set->allocator());
        st = decode(raw, &value, !inPlace);
        if (st != qor_s_ok)
            return st;
        st = set->add(name, value);
        if (st != qor_s_ok)
            return st;
        if (c->peek() == '&') {
            c->advance();
            c->commit();
        }
    }
}

} // namespace

QORStatus QORHTTPParser::parseRun(QORBufferCursor* c, const unsigned char* delimiters,
                                  QORStringRefT<char>* out)
{
    int n = runLength(c, delimiters);
    if (n == 0)
        return qor_s_not_available;
    out->set(c->current(), n);
    c->advance(n);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseToken(QORBufferCursor* c, QORStringRefT<char>* out)
{
    return parseRun(c, qor_http_token_delimiter, out);
}

QORStatus QORHTTPParser::parseText(QORBufferCursor* c, QORStringRefT<char>* out)
{
    return parseRun(c, qor_http_text_delimiter, out);
}

QORStatus QORHTTPParser::parseReasonPhrase(QORBufferCursor* c, QORStringRefT<char>* out)
{
    return parseRun(c, qor_http_reason_delimiter, out);
}

QORStatus QORHTTPParser::parseURI(QORBufferCursor* c, QORStringRefT<char>* out)
{
    return parseRun(c, qor_http_uri_delimiter, out);
}

QORStatus QORHTTPParser::parseUnquotedCookieValue(QORBufferCursor* c,
                                                  QORStringRefT<char>* out)
{
    return parseRun(c, qor_http_unquoted_cookie_value_delimiter, out);
}

QORStatus QORHTTPParser::parseQuotedString(QORBufferCursor* c, QORStringRefT<char>* out)
{
    if (c->peek() != '"')
        return qor_s_not_available;
    const unsigned char* p = bytes(c);
    int n = c->remaining();
    for (int i = 1; i < n; i++) {
        unsigned char b = p[i];
        if (b == '"') {
            out->set(c->current(), i + 1);
            c->advance(i + 1);
            c->commit();
            return qor_s_ok;
        }
        if (b == '\\') {
            if (i + 1 >= n || p[i + 1] == 0)
                return qor_s_not_available;
            i++;
            continue;
        }
        if (isControl(b) && b != '\t')
            return qor_s_not_available;
    }
    return qor_s_not_available;
}

QORStatus QORHTTPParser::parseCookieExpiresParam(QORBufferCursor* c,
                                                 QORStringRefT<char>* out)
{
    static const struct {
        int offset;
        char byte;
    } fixed[] = {{3, ','}, {4, ' '},  {7, '-'},  {11, '-'}, {16, ' '}, {19, ':'},
                 {22, ':'}, {25, ' '}, {26, 'G'}, {27, 'M'}, {28, 'T'}};
    const int kLength = 29;
    if (c->remaining() < kLength)
        return qor_s_not_available;
    for (const auto& f : fixed) {
        if (c->current()[f.offset] != f.byte)
            return qor_s_not_available;
    }
    out->set(c->current(), kLength);
    c->advance(kLength);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseCookieValue(QORBufferCursor* c, QORStringRefT<char>* out)
{
    QORStatus st = parseQuotedString(c, out);
    if (st != qor_s_not_available)
        return st;
    st = parseCookieExpiresParam(c, out);
    if (st != qor_s_not_available)
        return st;
    return parseUnquotedCookieValue(c, out);
}

bool QORHTTPParser::wasteTerminator(QORBufferCursor* c)
{
    int t = terminatorAt(c, 0);
    if (t == 0)
        return false;
    c->advance(t);
    return true;
}

int QORHTTPParser::wasteWhiteSpace(QORBufferCursor* c)
{
    int t = terminatorAt(c, 0);
    int blanks = runLength(c, qor_http_whitespace_delimiter, t);
    if (blanks == 0)
        return 0;
    c->advance(t + blanks);
    return blanks;
}

QORStatus QORHTTPParser::parseMethod(QORBufferCursor* c, QORHTTPMethod* method,
                                     QORStringRefT<char>* text)
{
    QORStatus st = parseToken(c, text);
    if (st != qor_s_ok)
        return st;
    *method = QORHTTP::getMethod(text->data(), text->length());
    if (*method == qor_method_unrecognized)
        return qor_s_http_unknown_method;
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseVersion(QORBufferCursor* c, QORStringRefT<char>* out)
{
    const int kPrefix = 5;
    if (c->remaining() < kPrefix + 1 || memcmp(c->current(), "HTTP/", kPrefix) != 0)
        return qor_s_http_bad_version;
    int major = runLength(c, qor_http_version_delimiter, kPrefix);
    int dot = kPrefix + major;
    if (c->peek(dot) != '.')
        return qor_s_http_bad_version;
    int minor = runLength(c, qor_http_version_delimiter, dot + 1);
    if (minor == 0)
        return qor_s_http_bad_version;
    int n = dot + 1 + minor;
    out->set(c->current(), n);
    c->advance(n);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseStatusCode(QORBufferCursor* c, QORStringRefT<char>* out)
{
    QORStatus st = parseToken(c, out);
    if (st != qor_s_ok)
        return qor_s_http_bad_status_code;
    const char* d = out->data();
    if (out->length() != 3 || endsVersion(d[0]) || endsVersion(d[1]) || endsVersion(d[2]))
        return qor_s_http_bad_status_code;
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseRequestLine(QORBufferCursor* c, QORHTTPMethod* method,
                                          QORStringRefT<char>* methodText,
                                          QORStringRefT<char>* uri,
                                          QORStringRefT<char>* version)
{
    wasteWhiteSpace(c);
    QORStatus methodStatus = parseMethod(c, method, methodText);
    if (methodStatus != qor_s_ok && methodStatus != qor_s_http_unknown_method)
        return fail(c, methodStatus);
    if (skipBlanks(c) == 0)
        return fail(c, qor_s_http_bad_uri);
    c->commit();

    QORStatus st = parseURI(c, uri);
    if (st != qor_s_ok)
        return fail(c, st);
    if (skipBlanks(c) == 0)
        return fail(c, qor_s_http_no_version);
    c->commit();

    st = parseVersion(c, version);
    if (st != qor_s_ok)
        return fail(c, st);
    if (!wasteTerminator(c))
        return fail(c, qor_s_http_request_line_unterminated);
    c->commit();
    return methodStatus;
}

QORStatus QORHTTPParser::parseStatusLine(QORBufferCursor* c, QORStringRefT<char>* version,
                                         QORStringRefT<char>* code,
                                         QORStringRefT<char>* reason)
{
    wasteWhiteSpace(c);
    QORStatus st = parseVersion(c, version);
    if (st != qor_s_ok)
        return fail(c, st);
    if (skipBlanks(c) == 0)
        return fail(c, qor_s_http_no_version);
    c->commit();

    QORStatus codeStatus = parseStatusCode(c, code);
    if (codeStatus != qor_s_ok && codeStatus != qor_s_http_bad_status_code)
        return fail(c, codeStatus);
    if (skipBlanks(c) == 0)
        return fail(c, qor_s_http_no_reason);
    c->commit();

    st = parseReasonPhrase(c, reason);
    if (st != qor_s_ok)
        return fail(c, st);
    if (!wasteTerminator(c))
        return fail(c, qor_s_http_status_line_unterminated);
    c->commit();
    return codeStatus;
}

QORStatus QORHTTPParser::parseHeader(QORBufferCursor* c, QORStringRefT<char>* name,
                                     QORStringRefT<char>* value)
{
    QORStatus st = parseToken(c, name);
    if (st != qor_s_ok)
        return fail(c, st);
    if (c->remaining() < 1)
        return fail(c, qor_s_http_unexpected_end);
    if (c->peek() != ':')
        return fail(c, qor_s_http_header_undelimited);
    c->advance();
    c->commit();
    wasteWhiteSpace(c);
    c->commit();
    if (parseText(c, value) != qor_s_ok)
        value->set(c->current(), 0);
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseHeaderSet(QORBufferCursor* c, QORHTTPHeaderSet* headers)
{
    QORStatus st;
    QORStringRefT<char> name;
    QORStringRefT<char> value;
    QORHTTPHdrNameRef key;
    QORNCPStringRef keyValue;
    for (;;) {
        wasteWhiteSpace(c);
        c->commit();
        st = parseHeader(c, &name, &value);
        if (st != qor_s_ok)
            break;
        key.set(name.data(), name.length());
        keyValue.set(value.data(), value.length());
        st = headers->add(key, keyValue);
        if (st != qor_s_ok)
            break;
        if (!wasteTerminator(c)) {
            st = qor_s_http_header_unterminated;
            break;
        }
        c->commit();
    }
    c->rollback();
    return st == qor_s_not_available ? qor_s_ok : st;
}

QORStatus QORHTTPParser::rebuildHeaderSet(QORHTTPHeaderSet* headers, QORAllocator* a,
                                          char** block)
{
    *block = nullptr;
    uint64_t size = 0;
    for (QORHTTPHeaderSet::Iterator it = headers->begin(); it.valid(); it.next())
        size += static_cast<uint64_t>(it.key().length()) + it.value().length() + 4;
    if (size == 0)
        return qor_s_ok;
    if (size > 0x7fffffff)
        return qor_s_no_memory;
    char* text = static_cast<char*>(QORAllocator::allocate(a, static_cast<unsigned>(size)));
    if (text == nullptr)
        return qor_s_no_memory;

    char* d = text;
    for (QORHTTPHeaderSet::Iterator it = headers->begin(); it.valid(); it.next()) {
        const QORHTTPHdrNameRef& name = it.key();
        const QORNCPStringRef& value = it.value();
        memcpy(d, name.data(), static_cast<size_t>(name.length()));
        d += name.length();
        *d++ = ':';
        *d++ = ' ';
        memcpy(d, value.data(), static_cast<size_t>(value.length()));
        d += value.length();
        *d++ = '\r';
        *d++ = '\n';
    }

    // A block that does not read back whole (a value holding a line break,
    // a name that is not a token) would silently change the headers.
    headers->clear();
    QORBufferCursor c(text, static_cast<int>(size));
    if (parseHeaderSet(&c, headers) != qor_s_ok || c.remaining() != 0) {
        headers->clear();
        QORAllocator::deallocate(a, text);
        return qor_s_internal_config_error;
    }
    *block = text;
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseURLScheme(QORBufferCursor* c, QORStringRefT<char>* out)
{
    int n = c->remaining();
    const char* colon = static_cast<const char*>(memchr(c->current(), ':', static_cast<size_t>(n)));
    if (colon == nullptr)
        return qor_s_not_available;
    int at = static_cast<int>(colon - c->current());
    if (c->peek(at + 1) != '/' || c->peek(at + 2) != '/')
        return qor_s_not_available;
    out->set(c->current(), at);
    c->advance(at + 3);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseURLHost(QORBufferCursor* c, QORStringRefT<char>* out)
{
    int n = c->remaining();
    const char* p = c->current();
    if (c->peek() == '[') {
        const char* close = static_cast<const char*>(memchr(p + 1, ']', static_cast<size_t>(n - 1)));
        if (close == nullptr || close == p + 1)
            return fail(c, qor_s_not_available);
        int len = static_cast<int>(close - p) - 1;
        out->set(p + 1, len);
        c->advance(len + 2);
        c->commit();
        return qor_s_ok;
    }
    int len = 0;
    while (len < n && p[len] != ':' && p[len] != '/')
        len++;
    if (len == 0)
        return qor_s_not_available;
    out->set(p, len);
    c->advance(len);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseURLPort(QORBufferCursor* c, QORStringRefT<char>* out)
{
    if (c->peek() != ':')
        return qor_s_not_available;
    int digits = runLength(c, qor_http_version_delimiter, 1);
    if (digits == 0 || c->peek(1 + digits) != '/')
        return qor_s_not_available;
    out->set(c->current() + 1, digits);
    c->advance(1 + digits);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseURLLocation(QORBufferCursor* c, QORStringRefT<char>* out)
{
    if (c->peek() != '/')
        return qor_s_not_available;
    const char* p = c->current();
    const char* q = static_cast<const char*>(memchr(p, '?', static_cast<size_t>(c->remaining())));
    int len = q ? static_cast<int>(q - p) : c->remaining();
    out->set(p, len);
    c->advance(len);
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseURLQuery(QORBufferCursor* c, QORStringRefT<char>* out)
{
    if (c->peek() != '?')
        return qor_s_not_available;
    out->set(c->current() + 1, c->remaining() - 1);
    c->advance(c->remaining());
    c->commit();
    return qor_s_ok;
}

QORStatus QORHTTPParser::parseHTTPURL(QORBufferCursor* c, QORStringRefT<char>* scheme,
                                      QORStringRefT<char>* host, QORStringRefT<char>* port,
                                      QORStringRefT<char>* location,
                                      QORStringRefT<char>* query)
{
    QORBufferCursor start = *c;
    if (parseURLScheme(c, scheme) == qor_s_ok) {
        if (!equalsNoCase(*scheme, "http", 4) && !equalsNoCase(*scheme, "https", 5)) {
            *c = start;
            return qor_s_not_available;
        }
    } else {
        scheme->set(c->current(), 0);
    }
    if (parseURLHost(c, host) != qor_s_ok)
        host->set(c->current(), 0);
    if (parseURLPort(c, port) != qor_s_ok)
        port->set(c->current(), 0);
    if (parseURLLocation(c, location) != qor_s_ok)
        location->set(c->current(), 0);
    if (parseURLQuery(c, query) != qor_s_ok)
        query->set(c->current(), 0);
    return qor_s_ok;
}

QORStatus QORHTTPParser::parsePostData(QORBufferCursor* c, QORStringRefT<char>* name,
                                       QORStringRefT<char>* value)
{
    QORStatus st = scanPair(c, name, value);
    if (st != qor_s_ok)
        return fail(c, st);
    char* p = const_cast<char*>(value->data());
    for (int i = 0; i < value->length(); i++) {
        if (p[i] == '+')
            p[i] = ' ';
    }
    return qor_s_ok;
}

QORStatus QORHTTPParser::parsePostDataSet(QORBufferCursor* c, QORHTTPFormDataSet* set)
{
    if (wasteTerminator(c))
        c->commit();
    return parsePairs<QORHTTPFormDataSet, QORNCPString>(c, set, true);
}

QORStatus QORHTTPParser::parseQueryArgsSet(const QORStringRef& url, QORHTTPArgSet* set)
{
    const char* q = static_cast<const char*>(memchr(url.data(), '?', static_cast<size_t>(url.length())));
    if (q == nullptr)
        return qor_s_ok;
    int at = static_cast<int>(q - url.data()) + 1;
    QORBufferCursor c(url.data() + at, url.length() - at);
    return parsePairs<QORHTTPArgSet, QORString>(&c, set, false);
}

QORStatus QORHTTPParser::parseArgSet(QORBufferCursor* c, QORHTTPArgSet* set)
{
    for (;;) {
        const char* p = c->current();
        int n = c->remaining();
        const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(n)));
        if (eq == nullptr)
            return qor_s_ok;
        int nameLen = static_cast<int>(eq - p);
        const char* v = eq + 1;
        int rest = n - nameLen - 1;
        const char* amp = static_cast<const char*>(memchr(v, '&', static_cast<size_t>(rest)));
        int valueLen = amp ? static_cast<int>(amp - v) : rest;
        QORString value(v, valueLen, set->allocator());
        if (value.length() != valueLen)
            return qor_s_no_memory;
        QORStatus st = set->add(QORStringRef(p, nameLen), value);
        if (st != qor_s_ok)
            return st;
        c->advance(nameLen + 1 + valueLen + (amp ? 1 : 0));
        c->commit();
    }
}

QORStatus QORHTTPParser::parseChunk(QORBufferCursor* c, QORStringRefT<char>* out)
{
    const char* p = c->current();
    int n = c->remaining();
    int i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        i++;
    // A signed size would be negated into a huge one; refuse it outright.
    if (i < n && (p[i] == '-' || p[i] == '+'))
        return qor_s_not_available;
    int end = 0;
    errno = 0;
    unsigned long size = qor_strtoul(QORStringRefT<char>(p, n), &end, 16);
    if (end == 0 || errno == ERANGE)
        return qor_s_not_available;

    int line = end;
    while (line + 1 < n && !(p[line] == '\r' && p[line + 1] == '\n'))
        line++;
    if (line + 1 >= n)
        return qor_s_not_available;
    int data = line + 2;
    int left = n - data;
    if (left < 1)
        return qor_s_not_available;
    if (size == 0) {
        out->set(p + data, 0);
        c->advance(data);
        c->commit();
        return qor_s_ok;
    }
    if (static_cast<uint64_t>(size) + 2 > static_cast<uint64_t>(left))
        return qor_s_not_available;
    int len = static_cast<int>(size);
    if (p[data + len] != '\r' || p[data + len + 1] != '\n')
        return qor_s_not_available;
    out->set(p + data, len);
    c->advance(data + len + 2);
    c->commit();
    return qor_s_ok;
}

int QORHTTPParser::atox(char c)
{
    return qor_hex_value(static_cast<unsigned char>(c));
}

QORStatus QORHTTPParser::decodeURI(const QORStringRefT<char>& in, QORNCPString* out)
{
    return decode(in, out, false);
}
