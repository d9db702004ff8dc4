// qorapachecheck.h: the checks mod_dxqor makes on every text the
// authorization server asks it to put into a request or a response before
// Apache sees it. Answers are untrusted: a CR or LF in a header value would
// split the response, a bad method or version would be echoed into logs
// and upstream requests. Each check is a pure function over a view so that
// it can be tested without a web server.
#pragma once
#include <cstddef>

namespace qor_apache {

// Longest header name, method and version the adapter passes on.
const int kMaxTokenLength = 256;

// No CR, LF or NUL anywhere in the length bytes.
bool isSafeText(const char* text, int length);
// A non-empty HTTP token (RFC 9110 tchar) of at most kMaxTokenLength bytes.
bool isToken(const char* text, int length);
// "HTTP/" digit "." digit.
bool isVersion(const char* text, int length);
// An absolute path without CR, LF, NUL, "?" or "#" whose segments are
// neither "." nor "..", also after percent-decoding.
bool isSafePath(const char* text, int length);
// A query without CR, LF, NUL or "#".
bool isSafeQuery(const char* text, int length);
// A status code Apache can send: 100 to 599.
bool isStatusCode(int code);
// realPath lies inside directory (both absolute, already resolved).
bool isInsideDirectory(const char* realPath, const char* directory);

} // namespace qor_apache
