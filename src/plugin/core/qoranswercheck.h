// qoranswercheck.h: the one rule for what an authorization server's answer
// may hand a web server (header names and values, method, version, URI
// path, query, status codes, body files). Answers are untrusted: a CR or LF
// would split a message, a dot segment or an encoded slash would reach
// another resource than the one decided. Every adapter calls these before
// it gives its web server anything from an answer, passing the limits its
// server applies to requests, so that a text is refused or accepted alike
// on every server. Pure functions over byte ranges; no terminator needed.
#pragma once
#include <cstddef>

#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// What the web server itself accepts in a request, from its configuration.
// An answer is never handed more, nor more than the caps below, whatever
// the server would take: a server configured for long requests must not
// let an answer pass that every other server refuses.
struct QORAnswerLimits {
    // The longest header value (request or response, content types too).
    size_t maxHeaderValue;
    // The longest URI path and the longest query.
    size_t maxURI;
};

// Longest header name and method an answer may set.
const size_t kQORAnswerMaxName = 256;
const size_t kQORAnswerMaxMethod = 32;
// Longest header value and URI path or query an answer may set on any
// server: what common clients and proxies accept in a line.
const size_t kQORAnswerMaxHeaderValue = 16384;
const size_t kQORAnswerMaxURI = 8192;

// A header name: an HTTP token (RFC 9110 tchar), 1 to kQORAnswerMaxName bytes.
bool qor_answer_header_name(const char* s, size_t n);
// A header value or content type: no CR, LF or NUL, at most
// limits.maxHeaderValue and kQORAnswerMaxHeaderValue bytes.
bool qor_answer_header_value(const QORAnswerLimits& limits, const char* s, size_t n);
// A method: a token of 1 to kQORAnswerMaxMethod bytes.
bool qor_answer_method(const char* s, size_t n);
// "HTTP/" digit "." digit; *major and *minor its digits.
bool qor_answer_version(const char* s, size_t n, int* major, int* minor);
// A query: visible ASCII or bytes above 127 (no control, no space), no "#",
// at most limits.maxURI and kQORAnswerMaxURI bytes.
bool qor_answer_query(const QORAnswerLimits& limits, const char* s, size_t n);
// A URI path as sent on the wire: "/" first, visible ASCII or bytes above
// 127, no "?" or "#", every "%" followed by two hex digits, at most
// limits.maxURI and kQORAnswerMaxURI bytes. Refused: a segment that is "." or "..", also when
// written with "%2e", and an escape of "/", "\", a control byte or DEL.
// Dot segments are refused rather than resolved: the path the server
// decided on is the path served. On success the percent-decoded path is
// written to decoded (room for n bytes) and its length to *decodedLength.
bool qor_answer_path(const QORAnswerLimits& limits, const char* s, size_t n, char* decoded,
                     size_t* decodedLength);
// The status of a response the authorization server built (200 to 599: a
// 1xx is no final response) and of a default one the web server makes for
// it (300 to 599).
bool qor_answer_built_status(int code);
bool qor_answer_default_status(int code);
// The real path of file, into resolved (PATH_MAX bytes), when it is a path
// strictly inside the real path of directory; false when either does not
// resolve or directory is empty.
bool qor_answer_body_file(const char* directory, const char* file, char* resolved);
QOR_EXPORT_END
