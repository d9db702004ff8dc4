// qorhttpparser.h: QORHTTPParser, the parser of HTTP text held in memory:
// request and status lines, header blocks, URLs, form data and query
// strings, chunks of a chunked body, and percent-encoded URIs. The request
// model, URL building and the cookie parser build on it.
//
// Every operation reads through a QORBufferCursor over bytes it does not
// own, returns views into those bytes, and commits the cursor only when an
// element has been accepted: a failed element leaves the cursor where it
// began, so a failed line or header stays just after the last part of it
// that was accepted (a method, a URI, a header name and colon). Statuses
// of a failure are exact; qor_s_not_available means "not here" (an absent
// optional element) rather than a failure. The bytes are untrusted: no
// input makes a parser read outside the cursor's range.
#pragma once
#include "core/buffers/qorbuffercursor.h"
#include "core/buffers/qorstring.h"
#include "core/http/qorhttp.h"
#include "core/http/qormultihashtable.h"
#include "core/system/qorstatus.h"

enum : QORStatusCode {
    qor_s_http_unknown_method          = QOR_MSG_ID(64),   // 0x35f02040, XLTIC0064I
    qor_s_http_bad_version             = QOR_MSG_ID(65),   // 0x35f02041
    qor_s_http_bad_uri                 = QOR_MSG_ID(66),   // 0x35f02042
    qor_s_http_no_version              = QOR_MSG_ID(67),   // 0x35f02043
    qor_s_http_request_line_unterminated = QOR_MSG_ID(68), // 0x35f02044
    qor_s_http_header_undelimited      = QOR_MSG_ID(69),   // 0x35f02045
    qor_s_http_bad_post_data           = QOR_MSG_ID(72),   // 0x35f02048
    qor_s_http_header_unterminated     = QOR_MSG_ID(73),   // 0x35f02049
    qor_s_http_unexpected_end          = QOR_MSG_ID(74),   // 0x35f0204a
    qor_s_http_bad_status_code         = QOR_MSG_ID(88),   // 0x35f02058
    qor_s_http_no_reason               = QOR_MSG_ID(90),   // 0x35f0205a
    qor_s_http_status_line_unterminated = QOR_MSG_ID(91),  // 0x35f0205b
    qor_s_http_bad_request             = QOR_MSG_ID(257),  // 0x35f02101
    qor_s_internal_config_error        = QOR_MSG_ID(1035), // 0x35f0240b
};

// Character classes: 1 for a byte that ends a run of the class.
//   token      0x00-0x20, 0x7F-0xFF, '"' and ( ) , / : ; < = > ? @ [ \ ] { }
//   text       0x00-0x08, 0x0A-0x1F, 0x7F (TAB and space are text)
//   reason     0x00-0x1F, 0x7F
//   uri        0x00-0x20, 0x7F
//   version    every byte but "0"-"9"
//   whitespace every byte but TAB and space
//   unquoted cookie value  0x00-0x08, 0x0A-0x1F, ",", ";", 0x7F
extern const unsigned char qor_http_token_delimiter[256];
extern const unsigned char qor_http_text_delimiter[256];
extern const unsigned char qor_http_reason_delimiter[256];
extern const unsigned char qor_http_uri_delimiter[256];
extern const unsigned char qor_http_version_delimiter[256];
extern const unsigned char qor_http_whitespace_delimiter[256];
extern const unsigned char qor_http_unquoted_cookie_value_delimiter[256];

// Header sets hold views into the parsed text; form-data sets own their
// decoded values; argument and query sets own UTF-8 copies.
typedef QORMultiHashTable<QORHTTPHdrNameRef, QORNCPStringRef, 17> QORHTTPHeaderSet;
typedef QORMultiHashTable<QORStringRef, QORNCPString, 1> QORHTTPFormDataSet;
typedef QORMultiHashTable<QORStringRef, QORString, 1> QORHTTPArgSet;

class QORHTTPParser {
public:
    // Primitive scanners: a run of bytes of one class from the current
    // position. On success out views the run and the cursor is committed
    // past it; an empty run is qor_s_not_available.
    static QORStatus parseRun(QORBufferCursor* c, const unsigned char* delimiters,
                              QORStringRefT<char>* out);
    static QORStatus parseToken(QORBufferCursor* c, QORStringRefT<char>* out);
    static QORStatus parseText(QORBufferCursor* c, QORStringRefT<char>* out);
    static QORStatus parseReasonPhrase(QORBufferCursor* c, QORStringRefT<char>* out);
    static QORStatus parseURI(QORBufferCursor* c, QORStringRefT<char>* out);
    static QORStatus parseUnquotedCookieValue(QORBufferCursor* c,
                                              QORStringRefT<char>* out);
    // A double-quoted string, quotes included in the view. Backslash
    // escapes any byte but zero; TAB is allowed; another unescaped control
    // byte, or no closing quote, is qor_s_not_available.
    static QORStatus parseQuotedString(QORBufferCursor* c, QORStringRefT<char>* out);
    // Exactly 29 bytes shaped as "Wdy, DD-Mon-YYYY HH:MM:SS GMT" (only the
    // punctuation, spaces and "GMT" are checked).
    static QORStatus parseCookieExpiresParam(QORBufferCursor* c,
                                             QORStringRefT<char>* out);
    // A quoted string, else an expires date, else an unquoted value.
    static QORStatus parseCookieValue(QORBufferCursor* c, QORStringRefT<char>* out);

    // Consumes one CR LF, LF or CR CR LF. Does not commit.
    static bool wasteTerminator(QORBufferCursor* c);
    // Consumes an optional line terminator and the TABs and spaces after
    // it; returns how many TABs and spaces. When there are none, nothing is
    // consumed. Does not commit.
    static int wasteWhiteSpace(QORBufferCursor* c);

    // A token looked up in the method table; an unknown one sets -1, still
    // views the token and returns qor_s_http_unknown_method.
    static QORStatus parseMethod(QORBufferCursor* c, QORHTTPMethod* method,
                                 QORStringRefT<char>* text);
    // "HTTP/" digits* "." digits+; else qor_s_http_bad_version.
    static QORStatus parseVersion(QORBufferCursor* c, QORStringRefT<char>* out);
    // A token of exactly three digits; else qor_s_http_bad_status_code.
    static QORStatus parseStatusCode(QORBufferCursor* c, QORStringRefT<char>* out);
    // method SP uri SP version terminator. An unknown method is parsed
    // through and reported as qor_s_http_unknown_method at the end.
    static QORStatus parseRequestLine(QORBufferCursor* c, QORHTTPMethod* method,
                                      QORStringRefT<char>* methodText,
                                      QORStringRefT<char>* uri,
                                      QORStringRefT<char>* version);
    // version SP code SP reason terminator. A malformed code is parsed
    // through and reported as qor_s_http_bad_status_code at the end.
    static QORStatus parseStatusLine(QORBufferCursor* c, QORStringRefT<char>* version,
                                     QORStringRefT<char>* code,
                                     QORStringRefT<char>* reason);

    // name ":" [white space] value, without the line terminator. An absent
    // value is an empty view at the cursor.
    static QORStatus parseHeader(QORBufferCursor* c, QORStringRefT<char>* name,
                                 QORStringRefT<char>* value);
    // Headers up to the first line that does not start with a token (the
    // empty line ending a block, left unconsumed). A value may start on a
    // folded continuation line; a continuation in mid-value is not joined.
    static QORStatus parseHeaderSet(QORBufferCursor* c, QORHTTPHeaderSet* headers);
    // Writes every header as "name: value\r\n" into one new block from a,
    // then re-parses the table from it, so all views point into the block.
    // *block (null for an empty table) is the caller's, to free through a.
    static QORStatus rebuildHeaderSet(QORHTTPHeaderSet* headers, QORAllocator* a,
                                      char** block);

    // URL parts. Each is qor_s_not_available when absent here.
    // scheme "://": the cursor moves past "://".
    static QORStatus parseURLScheme(QORBufferCursor* c, QORStringRefT<char>* out);
    // "[" literal "]" (brackets not in the view) or the run up to ":" or "/".
    static QORStatus parseURLHost(QORBufferCursor* c, QORStringRefT<char>* out);
    // ":" digits, recognised only when "/" follows; the cursor stops at "/".
    static QORStatus parseURLPort(QORBufferCursor* c, QORStringRefT<char>* out);
    // "/" and what follows up to "?" or the end; the "/" is in the view.
    static QORStatus parseURLLocation(QORBufferCursor* c, QORStringRefT<char>* out);
    // "?" and the rest; the "?" is not in the view.
    static QORStatus parseURLQuery(QORBufferCursor* c, QORStringRefT<char>* out);
    // All five; an absent part is an empty view. A scheme other than
    // "http" or "https" (any case) fails the whole URL.
    static QORStatus parseHTTPURL(QORBufferCursor* c, QORStringRefT<char>* scheme,
                                  QORStringRefT<char>* host, QORStringRefT<char>* port,
                                  QORStringRefT<char>* location,
                                  QORStringRefT<char>* query);

    // name "=" value, value up to "&" or a control byte. Every "+" of the
    // value is turned into a space in the parsed bytes themselves.
    // REQUIRES: the cursor's bytes are writable.
    static QORStatus parsePostData(QORBufferCursor* c, QORStringRefT<char>* name,
                                   QORStringRefT<char>* value);
    // Pairs separated by "&", values percent-decoded. Names view the text.
    // REQUIRES: the cursor's bytes are writable (see parsePostData).
    static QORStatus parsePostDataSet(QORBufferCursor* c, QORHTTPFormDataSet* set);
    // The pairs after the first "?" of url, read as form data ("+" is a
    // space in the decoded values; url itself is not changed).
    static QORStatus parseQueryArgsSet(const QORStringRef& url, QORHTTPArgSet* set);
    // name "=" value pairs separated by "&", values copied undecoded; ends
    // when no "=" remains.
    static QORStatus parseArgSet(QORBufferCursor* c, QORHTTPArgSet* set);

    // One chunk: hex size, extensions ignored, CR LF, size bytes, CR LF.
    // The view is the data (empty for the last chunk). A short or malformed
    // chunk, or a size beyond 32 bits, is qor_s_not_available and leaves
    // the cursor unchanged.
    static QORStatus parseChunk(QORBufferCursor* c, QORStringRefT<char>* out);

    // 0..15 for a hex digit of either case, else -1.
    static int atox(char c);
    // Percent-decoding: "%hh", "%%" and "%uhhhh" (a 16-bit character in the
    // local code page). "+" is kept. Without "%", out is the input. A bad
    // escape is traced and returns qor_s_http_bad_request with out holding
    // what was decoded before it.
    static QORStatus decodeURI(const QORStringRefT<char>& in, QORNCPString* out);
};
