// qorhttp.cpp: method and reason tables, header-name hashing, the global
// header names and values, URL building and request-path canonicalisation.
#include "core/http/qorhttp.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include "core/buffers/qorbuffercursor.h"
#include "core/buffers/qorcomparator.h"
#include "core/http/qorhttpparser.h"
#include "core/platform/qorlox.h"
#include "core/sundry/qorsnprintf.h"
#include "core/system/qorreport.h"

namespace {

struct QORHTTPText {
    const char* text;
    int length;
};

#define QOR_TEXT(s) {s, static_cast<int>(sizeof(s) - 1)}

const QORHTTPText s_methods[] = {
    QOR_TEXT("OPTIONS"), QOR_TEXT("GET"),       QOR_TEXT("HEAD"),
    QOR_TEXT("POST"),    QOR_TEXT("PUT"),       QOR_TEXT("TRACE"),
    QOR_TEXT("PROPFIND"), QOR_TEXT("PROPPATCH"), QOR_TEXT("MKCOL"),
    QOR_TEXT("COPY"),    QOR_TEXT("MOVE"),      {nullptr, 0},
};
const int kMethodCount = sizeof(s_methods) / sizeof(s_methods[0]) - 1;
const QORHTTPText s_unrecognized = QOR_TEXT("unrecognized");

const QORHTTPText s_reasons1xx[] = {
    QOR_TEXT("Continue"), QOR_TEXT("Switching Protocols"),
};
const QORHTTPText s_reasons2xx[] = {
    QOR_TEXT("OK"),         QOR_TEXT("Created"),
    QOR_TEXT("Accepted"),   QOR_TEXT("Non-Authoritative Information"),
    QOR_TEXT("No Content"), QOR_TEXT("Reset Content"),
    QOR_TEXT("Partial Content"),
};
const QORHTTPText s_reasons3xx[] = {
    QOR_TEXT("Multiple Choices"), QOR_TEXT("Moved Permanently"),
    QOR_TEXT("Moved Temporarily"), QOR_TEXT("See Other"),
    QOR_TEXT("Not Modified"),     QOR_TEXT("Use Proxy"),
};
const QORHTTPText s_reasons4xx[] = {
    QOR_TEXT("Bad Request"),
    QOR_TEXT("Unauthorized"),
    QOR_TEXT("Payment Required"),
    QOR_TEXT("Forbidden"),
    QOR_TEXT("Not Found"),
    QOR_TEXT("Method Not Allowed"),
    QOR_TEXT("Not Acceptable"),
    QOR_TEXT("Proxy Authentication Required"),
    QOR_TEXT("Request Timeout"),
    QOR_TEXT("Conflict"),
    QOR_TEXT("Gone"),
    QOR_TEXT("Length Required"),
    QOR_TEXT("Precondition Failed"),
    QOR_TEXT("Request Entity Too Large"),
    QOR_TEXT("Request-URI Too Long"),
    QOR_TEXT("Unsupported Media Type"),
};
const QORHTTPText s_reasons5xx[] = {
    QOR_TEXT("Server Error"),        QOR_TEXT("Not Implemented"),
    QOR_TEXT("Bad Gateway"),         QOR_TEXT("Service Unavailable"),
    QOR_TEXT("Gateway Timeout"),     QOR_TEXT("HTTP Version Not Supported"),
};

struct QORReasonClass {
    const QORHTTPText* reasons;
    int count;
};

#define QOR_CLASS(t) {t, static_cast<int>(sizeof(t) / sizeof(t[0]))}

const QORReasonClass s_reasonClasses[] = {
    QOR_CLASS(s_reasons1xx), QOR_CLASS(s_reasons2xx), QOR_CLASS(s_reasons3xx),
    QOR_CLASS(s_reasons4xx), QOR_CLASS(s_reasons5xx),
};

// The constants URL preparation compares with, made on first use.
const QORStringRef& httpScheme()
{
    static const QORStringRef s("http", 4);
    return s;
}
const QORStringRef& httpPort()
{
    static const QORStringRef s("80", 2);
    return s;
}
const QORStringRef& httpsPort()
{
    static const QORStringRef s("443", 3);
    return s;
}

// The pieces of a URL and its exact length, before anything is written.
struct QORUrlParts {
    const QORStringRefT<char>* scheme;
    const QORStringRefT<char>* host;
    const QORStringRefT<char>* port;
    const QORStringRefT<char>* uri;
    const QORStringRefT<char>* query;
    bool showPort;
    bool bracketed;
    int length;
};

bool buildUrlPrep(const QORStringRefT<char>& scheme, const QORStringRefT<char>& host,
                  const QORStringRefT<char>& port, const QORStringRefT<char>& uri,
                  const QORStringRefT<char>& query, QORUrlParts* p)
{
    const QORStringRef& defaultPort = scheme.equals(httpScheme()) ? httpPort() : httpsPort();
    p->scheme = &scheme;
    p->host = &host;
    p->port = &port;
    p->uri = &uri;
    p->query = &query;
    p->showPort = !port.isEmpty() && !port.equals(defaultPort);
    p->bracketed = memchr(host.data(), ':', static_cast<size_t>(host.length())) != nullptr;
    int64_t n = static_cast<int64_t>(scheme.length()) + host.length() + uri.length() + 3;
    if (p->showPort)
        n += 1 + port.length();
    if (!query.isEmpty())
        n += 1 + query.length();
    if (p->bracketed)
        n += 2;
    if (n >= 0x7fffffff)
        return false;
    p->length = static_cast<int>(n);
    return true;
}

char* put(char* d, const char* s, int n)
{
    if (n > 0)
        memcpy(d, s, static_cast<size_t>(n));
    return d + n;
}

char* put(char* d, const QORStringRefT<char>& s)
{
    return put(d, s.data(), s.length());
}

// Writes p->length bytes and a terminator at d.
void buildUrlCompose(const QORUrlParts& p, char* d)
{
    d = put(d, *p.scheme);
    d = put(d, "://", 3);
    if (p.bracketed)
        *d++ = '[';
    d = put(d, *p.host);
    if (p.bracketed)
        *d++ = ']';
    if (p.showPort) {
        *d++ = ':';
        d = put(d, *p.port);
    }
    d = put(d, *p.uri);
    if (!p.query->isEmpty()) {
        *d++ = '?';
        d = put(d, *p.query);
    }
    *d = 0;
}

bool buildUrlInto(const QORStringRefT<char>& scheme, const QORStringRefT<char>& host,
                  const QORStringRefT<char>& port, const QORStringRefT<char>& uri,
                  const QORStringRefT<char>& query, QORStringT<char>* out)
{
    QORUrlParts p;
    if (!buildUrlPrep(scheme, host, port, uri, query, &p))
        return false;
    if (!out->reserve(p.length))
        return false;
    buildUrlCompose(p, out->buffer());
    out->setLength(p.length);
    return true;
}

bool isShortNameAlias(const char* s, int n)
{
    const char* dot = static_cast<const char*>(memchr(s, '.', static_cast<size_t>(n)));
    int stem = dot ? static_cast<int>(dot - s) : n;
    return stem > 2 && s[stem - 2] == '~' && s[stem - 1] >= '0' && s[stem - 1] <= '9';
}

// Whether a report of a client's undecodable path is due: the client chooses
// those bytes, and a report for each of its requests would fill the log. At
// most one a minute per process for each kind; the request still fails.
bool reportDue(std::atomic<long>& last)
{
    long now = static_cast<long>(time(nullptr));
    long prev = last.load(std::memory_order_relaxed);
    return now - prev >= 60 &&
           last.compare_exchange_strong(prev, now, std::memory_order_relaxed);
}

std::atomic<long> s_mbReported{-60};
std::atomic<long> s_wcReported{-60};

// Appends s[0..n) lower-cased character by character in UTF-8.
QORStatus appendLower(const char* s, int n, QORString* out)
{
    lox_cs_t utf8 = lox_cs_utf8();
    int i = 0;
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        lox_unichar_t wc;
        int used = 1;
        if (b < 0x80) {
            wc = b;
        } else {
            used = utf8 ? lox_mbtowc(utf8, &wc, s + i, static_cast<size_t>(n - i)) : -1;
            if (used < 1) {
                if (reportDue(s_mbReported)) {
                    QORString text(s, n);
                    QOR_REPORT(qor_s_mb_to_wc_msg, text.c_str());
                }
                return qor_s_mb_to_wc_failed;
            }
        }
        lox_unichar_t lower = lox_towlower(wc);
        if (lower < 0x80) {
            if (!out->append(static_cast<char>(lower)))
                return qor_s_no_memory;
        } else {
            char mb[LOX_MB_LEN_MAX];
            int len = utf8 ? lox_wctomb(utf8, mb, lower) : -1;
            if (len < 1) {
                if (reportDue(s_wcReported)) {
                    char text[16];
                    qor_snprintf(text, sizeof(text), "U+%04X", static_cast<unsigned>(lower));
                    QOR_REPORT(qor_s_wc_to_mb_msg, text);
                }
                return qor_s_wc_to_mb_failed;
            }
            if (!out->append(mb, len))
                return qor_s_no_memory;
        }
        i += used;
    }
    return qor_s_ok;
}

} // namespace

const unsigned char QORHTTPHdrNameRef::m_lower[256] = {
#define QOR_L4(n) (n), (n) + 1, (n) + 2, (n) + 3
#define QOR_L16(n) QOR_L4(n), QOR_L4((n) + 4), QOR_L4((n) + 8), QOR_L4((n) + 12)
    QOR_L16(0x00), QOR_L16(0x10), QOR_L16(0x20), QOR_L16(0x30),
    // "@", then "A".."O" as "a".."o"
    0x40, QOR_L4(0x61), QOR_L4(0x65), QOR_L4(0x69), 0x6d, 0x6e, 0x6f,
    // "P".."Z" as "p".."z", then "[ \ ] ^ _"
    QOR_L4(0x70), QOR_L4(0x74), 0x78, 0x79, 0x7a, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f,
    QOR_L16(0x60), QOR_L16(0x70),
    QOR_L16(0x80), QOR_L16(0x90), QOR_L16(0xa0), QOR_L16(0xb0),
    QOR_L16(0xc0), QOR_L16(0xd0), QOR_L16(0xe0), QOR_L16(0xf0),
#undef QOR_L16
#undef QOR_L4
};

QORHTTPHdrNameRef::QORHTTPHdrNameRef(const QORStringRef& name, QORAllocator* a)
    : QORStringRef(name.data(), name.isTerminated() ? -1 : name.length(), a)
{
    // A terminated view still knows its length, so reading it never writes.
    if (name.isTerminated())
        length();
}

QORHTTPHdrNameRef::QORHTTPHdrNameRef(const char* data, int length, QORAllocator* a)
    : QORStringRef(data, length, a)
{
}

uint32_t QORHTTPHdrNameRef::hashName(const char* s, int length)
{
    uint32_t h = 5381;
    for (int i = 0; i < length; i += 4)
        h = (h * 33) ^ m_lower[static_cast<unsigned char>(s[i])];
    return h;
}

bool QORHTTPHdrNameRef::sameName(const QORStringRefT<char>& other) const
{
    int n = length();
    if (n != other.length())
        return false;
    const unsigned char* a = reinterpret_cast<const unsigned char*>(data());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(other.data());
    for (int i = 0; i < n; i++) {
        if (a[i] != b[i] && m_lower[a[i]] != m_lower[b[i]])
            return false;
    }
    return true;
}

void QORHTTP::getMethodName(QORHTTPMethod method, QORStringRefT<char>* out)
{
    const QORHTTPText& t = method >= 0 && method < kMethodCount ? s_methods[method]
                                                                 : s_unrecognized;
    out->set(t.text, t.length);
}

QORHTTPMethod QORHTTP::getMethod(const char* text, int length)
{
    for (int i = 0; s_methods[i].text != nullptr; i++) {
        if (s_methods[i].length == length &&
            memcmp(s_methods[i].text, text, static_cast<size_t>(length)) == 0)
            return static_cast<QORHTTPMethod>(i);
    }
    return qor_method_unrecognized;
}

void QORHTTP::getMethod(const QORStringRefT<char>& text, QORHTTPMethod* out)
{
    *out = getMethod(text.data(), text.length());
}

void QORHTTP::getReason(int code, QORStringRefT<char>* out)
{
    int cls = code / 100 - 1;
    int detail = code % 100;
    if (cls < 0 || cls >= 5) {
        cls = 4;
        detail = 0;
    }
    const QORReasonClass& rc = s_reasonClasses[cls];
    if (detail < 0 || detail >= rc.count)
        detail = 0;
    out->set(rc.reasons[detail].text, rc.reasons[detail].length);
}

bool QORHTTP::isAbsoluteURL(const QORStringRefT<char>& url)
{
    return qor_scheme_https.isPrefixOf(url, &qor_icase_strcmp) ||
           qor_scheme_http.isPrefixOf(url, &qor_icase_strcmp);
}

bool QORHTTP::buildUrl(const QORStringRef& scheme, const QORStringRef& host,
                       const QORStringRef& port, const QORStringRef& uri,
                       const QORStringRef& query, QORString* out)
{
    return buildUrlInto(scheme, host, port, uri, query, out);
}

bool QORHTTP::buildUrl(const QORLCPStringRef& scheme, const QORLCPStringRef& host,
                       const QORLCPStringRef& port, const QORLCPStringRef& uri,
                       const QORLCPStringRef& query, QORLCPString* out)
{
    return buildUrlInto(scheme, host, port, uri, query, out);
}

char* QORHTTP::buildUrl(const QORStringRef& scheme, const QORStringRef& host,
                        const QORStringRef& port, const QORStringRef& uri,
                        const QORStringRef& query, QORAllocator* a)
{
    QORUrlParts p;
    if (!buildUrlPrep(scheme, host, port, uri, query, &p))
        return nullptr;
    char* url = static_cast<char*>(QORAllocator::allocate(a, static_cast<unsigned>(p.length) + 1));
    if (url == nullptr)
        return nullptr;
    buildUrlCompose(p, url);
    return url;
}

QORStatus QORHTTP::buildAbsoluteURL(const QORStringRef& base, const QORStringRef& url,
                                    QORString* out)
{
    if (isAbsoluteURL(url))
        return out->set(url) ? qor_s_ok : qor_s_no_memory;

    QORBufferCursor c(base.data(), base.length());
    QORStringRef scheme, host, port, path, query;
    QORStatus st = QORHTTPParser::parseHTTPURL(&c, &scheme, &host, &port, &path, &query);
    if (st != qor_s_ok)
        return st;

    const QORStringRef none;
    if (url.length() > 0 && url.data()[0] == '/')
        return buildUrl(scheme, host, port, url, none, out) ? qor_s_ok : qor_s_no_memory;

    QORStringRef dir("/", 1);
    if (!path.isEmpty()) {
        const char* p = path.c_str();
        if (p == nullptr)
            return qor_s_no_memory;
        lox_cs_t utf8 = lox_cs_utf8();
        const char* slash = utf8 ? lox_strrchr(utf8, p, '/') : nullptr;
        if (slash != nullptr)
            dir.set(path.data(), static_cast<int>(slash - p) + 1);
    }
    if (!buildUrl(scheme, host, port, dir, none, out) || !out->append(url))
        return qor_s_no_memory;
    return qor_s_ok;
}

QORStatus QORHTTP::processURI(bool caseSensitive, bool win32Filesystem,
                              const QORStringRef& uri, QORString* out)
{
    out->clear();
    return appendURI(caseSensitive, win32Filesystem, uri, out);
}

namespace {

// Appends n characters, straight into the room reserved when they fit.
bool put(QORString* out, const char* s, int n)
{
    int length = out->length();
    if (length + n >= out->capacity())
        return out->append(s, n);
    memcpy(out->buffer() + length, s, static_cast<size_t>(n));
    out->setLength(length + n);
    return true;
}

} // namespace

QORStatus QORHTTP::appendURI(bool caseSensitive, bool win32Filesystem,
                             const QORStringRef& uri, QORString* out)
{
    const char* s = uri.data();
    int n = uri.length();
    int base = out->length();
    // Room for the whole path unless lower-casing lengthens it.
    if (!out->reserve(base + n))
        return qor_s_no_memory;

    int pos = 0;
    for (bool first = true;; first = false) {
        const char* slash = static_cast<const char*>(memchr(s + pos, '/', static_cast<size_t>(n - pos)));
        int end = slash ? static_cast<int>(slash - s) : n;
        int start = pos;
        while (start < end && s[start] == ' ')
            start++;
        const char* seg = s + start;
        int len = end - start;

        if (!first && (out->length() == base || out->data()[out->length() - 1] != '/')) {
            if (!put(out, "/", 1))
                return qor_s_no_memory;
        }
        bool dots = (len == 1 && seg[0] == '.') || (len == 2 && seg[0] == '.' && seg[1] == '.');
        if (win32Filesystem && isShortNameAlias(seg, len))
            return qor_s_access_denied;
        if (caseSensitive || dots) {
            if (!put(out, seg, len))
                return qor_s_no_memory;
        } else {
            int keep = len;
            if (win32Filesystem) {
                while (keep > 0 && seg[keep - 1] == '.')
                    keep--;
            }
            QORStatus st = appendLower(seg, keep, out);
            if (st != qor_s_ok)
                return st;
        }
        if (slash == nullptr)
            break;
        pos = end + 1;
    }
    return qor_s_ok;
}

namespace {

// Built with both hashes and the length already cached, so that reading a
// constant from many threads never writes to it.
QORHTTPHdrNameRef headerName(const char* text)
{
    QORHTTPHdrNameRef name{QORStringRef(text), nullptr};
    name.hash();
    name.QORStringRef::hash();
    return name;
}

QORStringRef constantText(const char* text)
{
    QORStringRef s(text);
    s.length();
    s.hash();
    return s;
}

} // namespace

#define QOR_HDR(var, text) const QORHTTPHdrNameRef var = headerName(text)

QOR_HDR(qor_hdr_accept, "Accept");
QOR_HDR(qor_hdr_accept_charset, "Accept-Charset");
QOR_HDR(qor_hdr_accept_encoding, "Accept-Encoding");
QOR_HDR(qor_hdr_accept_language, "Accept-Language");
QOR_HDR(qor_hdr_accept_ranges, "Accept-Ranges");
QOR_HDR(qor_hdr_age, "Age");
QOR_HDR(qor_hdr_allow, "Allow");
QOR_HDR(qor_hdr_authorization, "Authorization");
QOR_HDR(qor_hdr_cache_control, "Cache-Control");
QOR_HDR(qor_hdr_connection, "Connection");
QOR_HDR(qor_hdr_content_encoding, "Content-Encoding");
QOR_HDR(qor_hdr_content_language, "Content-Language");
QOR_HDR(qor_hdr_content_length, "Content-Length");
QOR_HDR(qor_hdr_content_location, "Content-Location");
QOR_HDR(qor_hdr_content_md5, "Content-MD5");
QOR_HDR(qor_hdr_content_range, "Content-Range");
QOR_HDR(qor_hdr_content_type, "Content-Type");
QOR_HDR(qor_hdr_cookie, "Cookie");
QOR_HDR(qor_hdr_date, "Date");
QOR_HDR(qor_hdr_etag, "ETag");
QOR_HDR(qor_hdr_expect, "Expect");
QOR_HDR(qor_hdr_expires, "Expires");
QOR_HDR(qor_hdr_from, "From");
QOR_HDR(qor_hdr_host, "Host");
QOR_HDR(qor_hdr_if_match, "If-Match");
QOR_HDR(qor_hdr_if_modified_since, "If-Modified-Since");
QOR_HDR(qor_hdr_if_unmodified_since, "If-Unmodified-Since");
QOR_HDR(qor_hdr_keep_alive, "Keep-Alive");
QOR_HDR(qor_hdr_last_modified, "Last-Modified");
QOR_HDR(qor_hdr_location, "Location");
QOR_HDR(qor_hdr_max_forwards, "Max-Forwards");
QOR_HDR(qor_hdr_no_cache, "No-Cache");
QOR_HDR(qor_hdr_pragma, "Pragma");
QOR_HDR(qor_hdr_proxy_authenticate, "Proxy-Authenticate");
QOR_HDR(qor_hdr_proxy_authorization, "Proxy-Authorization");
QOR_HDR(qor_hdr_range, "Range");
QOR_HDR(qor_hdr_referer, "Referer");
QOR_HDR(qor_hdr_retry_after, "Retry-After");
QOR_HDR(qor_hdr_server, "Server");
QOR_HDR(qor_hdr_set_cookie, "Set-Cookie");
QOR_HDR(qor_hdr_te, "TE");
QOR_HDR(qor_hdr_trailer, "Trailer");
QOR_HDR(qor_hdr_transfer_encoding, "Transfer-Encoding");
QOR_HDR(qor_hdr_translate, "Translate");
QOR_HDR(qor_hdr_upgrade, "Upgrade");
QOR_HDR(qor_hdr_user_agent, "User-Agent");
QOR_HDR(qor_hdr_vary, "Vary");
QOR_HDR(qor_hdr_via, "Via");
QOR_HDR(qor_hdr_warning, "Warning");
QOR_HDR(qor_hdr_www_authenticate, "WWW-authenticate");
QOR_HDR(qor_hdr_if_none_match, "If-None-Match");
QOR_HDR(qor_hdr_if_range, "If-Range");

#undef QOR_HDR

#define QOR_VAL(var, text) const QORStringRef var = constantText(text)

QOR_VAL(qor_val_text_html, "text/html");
QOR_VAL(qor_val_text_html_iso_8859_1, "text/html; charset=iso-8859-1");
QOR_VAL(qor_val_text_html_utf8, "text/html; charset=utf-8");
QOR_VAL(qor_val_form_data, "application/x-www-form-urlencoded");
QOR_VAL(qor_val_conn_close, "close");
QOR_VAL(qor_val_conn_keep_alive, "keep-alive");
QOR_VAL(qor_protocol_http, "http");
QOR_VAL(qor_protocol_https, "https");
QOR_VAL(qor_scheme_http, "http://");
QOR_VAL(qor_scheme_https, "https://");
QOR_VAL(qor_str_ampersand, "&");
QOR_VAL(qor_str_equals, "=");
QOR_VAL(qor_str_question, "?");
QOR_VAL(qor_str_slash, "/");
QOR_VAL(qor_str_crlf, "\r\n");
QOR_VAL(qor_str_header_sep, ": ");
QOR_VAL(qor_str_scheme, "://");

#undef QOR_VAL
