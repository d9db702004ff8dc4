// qorhttp.h: the library's HTTP vocabulary: method names and numbers, the
// reason phrase of each status code, header names with their
// case-insensitive hash, a few header values, and the building of URLs from
// their parts. Redirect handling makes locations absolute with it, the
// request model reconstructs full URLs with it, and the unprotected-resource
// cache canonicalises request paths with processURI.
#pragma once
#include <cstdint>
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
enum : QORStatusCode {
    qor_s_access_denied     = QOR_MSG_ID(52),   // 0x35f02034, XLTIC0052E
    qor_s_wc_to_mb_msg      = QOR_MSG_ID(58),   // 0x35f0203a; character; logged
    qor_s_mb_to_wc_msg      = QOR_MSG_ID(60),   // 0x35f0203c; text; logged
};

// The value is the index in the method table; -1 is any other method.
enum QORHTTPMethod {
    qor_method_unrecognized = -1,
    qor_method_options = 0,
    qor_method_get,
    qor_method_head,
    qor_method_post,
    qor_method_put,
    qor_method_trace,
    qor_method_propfind,
    qor_method_proppatch,
    qor_method_mkcol,
    qor_method_copy,
    qor_method_move,
};

// A header name. Its own hash (hash()) is case-insensitive and mixes only
// every fourth character, so that header tables bucket "Cookie" and
// "COOKIE" together at a quarter of the cost; the view's ordinary hash
// (QORStringRef::hash) is kept apart with its own cache. Re-point a name
// with its own set(), never through a base-class pointer, or the cached
// header hash goes stale.
class QORHTTPHdrNameRef : public QORStringRef {
public:
    QORHTTPHdrNameRef() = default;
    // Views name's characters (terminated when name is); comparator
    // qor_strcmp, hasher qor_string_hasher, both hashes unknown.
    QORHTTPHdrNameRef(const QORStringRef& name, QORAllocator* a);
    QORHTTPHdrNameRef(const char* data, int length = -1, QORAllocator* a = nullptr);

    // h = 5381; for c at positions 0, 4, 8, ...: h = h * 33 ^ m_lower[c].
    // Computed once, then cached.
    uint32_t hash() const
    {
        if (!m_hdrHashValid) {
            m_hdrHash = hashName(data(), length());
            m_hdrHashValid = true;
        }
        return m_hdrHash;
    }
    static uint32_t hashName(const char* s, int length);

    // Equal names under ASCII case folding, as HTTP compares header names.
    bool sameName(const QORStringRefT<char>& other) const;

    // Points the view at new characters and forgets both hashes.
    void set(const char* s, int length = -1)
    {
        QORStringRef::set(s, length);
        m_hdrHashValid = false;
    }

    // "A" to "Z" map to "a" to "z"; every other byte to itself.
    static const unsigned char m_lower[256];

private:
    mutable bool m_hdrHashValid = false;
    mutable uint32_t m_hdrHash = 0;
};

// Header sets compare names the way HTTP does (case-insensitively).
inline bool qor_multi_key_equals(const QORHTTPHdrNameRef& a,
                                 const QORHTTPHdrNameRef& b)
{
    return a.sameName(b);
}
// A stored name keeps its cached header hash.
inline bool qor_multi_assign(QORHTTPHdrNameRef& dst, const QORHTTPHdrNameRef& src)
{
    dst = src;
    return true;
}

class QORHTTP {
public:
    // Points out at the method's text; "unrecognized" for -1 or any value
    // outside the table.
    static void getMethodName(QORHTTPMethod method, QORStringRefT<char>* out);
    // The method whose text has text's length and bytes (case-sensitive),
    // else qor_method_unrecognized.
    static void getMethod(const QORStringRefT<char>& text, QORHTTPMethod* out);
    static QORHTTPMethod getMethod(const char* text, int length);
    // The reason phrase of code. A class outside 1xx..5xx reads as 500
    // ("Server Error"); a detail beyond its class's table as the class's
    // first entry (299 is "OK").
    static void getReason(int code, QORStringRefT<char>* out);

    // True when url starts with "https://" or "http://", ignoring case.
    static bool isAbsoluteURL(const QORStringRefT<char>& url);

    // scheme "://" host [":" port] uri ["?" query]. The port is left out
    // when empty or the scheme's default ("80" for a scheme equal to "http"
    // under its own comparator, else "443"); a host containing ":" is
    // bracketed. False, or null, when memory fails.
    static bool buildUrl(const QORStringRef& scheme, const QORStringRef& host,
                         const QORStringRef& port, const QORStringRef& uri,
                         const QORStringRef& query, QORString* out);
    static bool buildUrl(const QORLCPStringRef& scheme, const QORLCPStringRef& host,
                         const QORLCPStringRef& port, const QORLCPStringRef& uri,
                         const QORLCPStringRef& query, QORLCPString* out);
    // A zero-terminated array from a; the caller frees it through a.
    static char* buildUrl(const QORStringRef& scheme, const QORStringRef& host,
                          const QORStringRef& port, const QORStringRef& uri,
                          const QORStringRef& query, QORAllocator* a);

    // url when it is absolute; else url resolved against base's scheme,
    // host and port: from the root when url starts with "/", else from the
    // directory of base's path. base's query is dropped. A base that does
    // not parse as a URL returns the parser's status.
    static QORStatus buildAbsoluteURL(const QORStringRef& base,
                                      const QORStringRef& url, QORString* out);

    // The canonical object name of a request path: repeated "/" collapsed,
    // spaces leading a segment dropped, "." and ".." kept as they are.
    // Unless caseSensitive, segments are lower-cased (UTF-8, process
    // locale). With win32Filesystem, a segment whose name before its first
    // "." ends in "~" and a digit (a short 8.3 alias of another name) is
    // refused with qor_s_access_denied, and trailing dots are dropped from
    // the lower-cased segments. Other failures: qor_s_no_memory,
    // qor_s_mb_to_wc_failed, qor_s_wc_to_mb_failed (both reported).
    static QORStatus processURI(bool caseSensitive, bool win32Filesystem,
                                const QORStringRef& uri, QORString* out);
    // The same appended to what out holds (a branch name, say), as if to an
    // empty string; on failure out holds part of it.
    static QORStatus appendURI(bool caseSensitive, bool win32Filesystem,
                               const QORStringRef& uri, QORString* out);
};

extern const QORHTTPHdrNameRef qor_hdr_accept;
extern const QORHTTPHdrNameRef qor_hdr_accept_charset;
extern const QORHTTPHdrNameRef qor_hdr_accept_encoding;
extern const QORHTTPHdrNameRef qor_hdr_accept_language;
extern const QORHTTPHdrNameRef qor_hdr_accept_ranges;
extern const QORHTTPHdrNameRef qor_hdr_age;
extern const QORHTTPHdrNameRef qor_hdr_allow;
extern const QORHTTPHdrNameRef qor_hdr_authorization;
extern const QORHTTPHdrNameRef qor_hdr_cache_control;
extern const QORHTTPHdrNameRef qor_hdr_connection;
extern const QORHTTPHdrNameRef qor_hdr_content_encoding;
extern const QORHTTPHdrNameRef qor_hdr_content_language;
extern const QORHTTPHdrNameRef qor_hdr_content_length;
extern const QORHTTPHdrNameRef qor_hdr_content_location;
extern const QORHTTPHdrNameRef qor_hdr_content_md5;
extern const QORHTTPHdrNameRef qor_hdr_content_range;
extern const QORHTTPHdrNameRef qor_hdr_content_type;
extern const QORHTTPHdrNameRef qor_hdr_cookie;
extern const QORHTTPHdrNameRef qor_hdr_date;
extern const QORHTTPHdrNameRef qor_hdr_etag;
extern const QORHTTPHdrNameRef qor_hdr_expect;
extern const QORHTTPHdrNameRef qor_hdr_expires;
extern const QORHTTPHdrNameRef qor_hdr_from;
extern const QORHTTPHdrNameRef qor_hdr_host;
extern const QORHTTPHdrNameRef qor_hdr_if_match;
extern const QORHTTPHdrNameRef qor_hdr_if_modified_since;
extern const QORHTTPHdrNameRef qor_hdr_if_unmodified_since;
extern const QORHTTPHdrNameRef qor_hdr_keep_alive;
extern const QORHTTPHdrNameRef qor_hdr_last_modified;
extern const QORHTTPHdrNameRef qor_hdr_location;
extern const QORHTTPHdrNameRef qor_hdr_max_forwards;
extern const QORHTTPHdrNameRef qor_hdr_no_cache;
extern const QORHTTPHdrNameRef qor_hdr_pragma;
extern const QORHTTPHdrNameRef qor_hdr_proxy_authenticate;
extern const QORHTTPHdrNameRef qor_hdr_proxy_authorization;
extern const QORHTTPHdrNameRef qor_hdr_range;
extern const QORHTTPHdrNameRef qor_hdr_referer;
extern const QORHTTPHdrNameRef qor_hdr_retry_after;
extern const QORHTTPHdrNameRef qor_hdr_server;
extern const QORHTTPHdrNameRef qor_hdr_set_cookie;
extern const QORHTTPHdrNameRef qor_hdr_te;
extern const QORHTTPHdrNameRef qor_hdr_trailer;
extern const QORHTTPHdrNameRef qor_hdr_transfer_encoding;
extern const QORHTTPHdrNameRef qor_hdr_translate;
extern const QORHTTPHdrNameRef qor_hdr_upgrade;
extern const QORHTTPHdrNameRef qor_hdr_user_agent;
extern const QORHTTPHdrNameRef qor_hdr_vary;
extern const QORHTTPHdrNameRef qor_hdr_via;
extern const QORHTTPHdrNameRef qor_hdr_warning;
extern const QORHTTPHdrNameRef qor_hdr_www_authenticate;
extern const QORHTTPHdrNameRef qor_hdr_if_none_match;
extern const QORHTTPHdrNameRef qor_hdr_if_range;

extern const QORStringRef qor_val_text_html;
extern const QORStringRef qor_val_text_html_iso_8859_1;
extern const QORStringRef qor_val_text_html_utf8;
extern const QORStringRef qor_val_form_data;
extern const QORStringRef qor_val_conn_close;
extern const QORStringRef qor_val_conn_keep_alive;
extern const QORStringRef qor_protocol_http;
extern const QORStringRef qor_protocol_https;
extern const QORStringRef qor_scheme_http;
extern const QORStringRef qor_scheme_https;
extern const QORStringRef qor_str_ampersand;
extern const QORStringRef qor_str_equals;
extern const QORStringRef qor_str_question;
extern const QORStringRef qor_str_slash;
extern const QORStringRef qor_str_crlf;
extern const QORStringRef qor_str_header_sep;
extern const QORStringRef qor_str_scheme;

QOR_EXPORT_END
