// qornginxcheck.h: the checks the nginx adapter makes on everything an
// authorization server's answer would hand to nginx (header names and
// values, method, URI, query, version, status codes, content type, body
// files, log-user texts), so that no answer can split a response or reach
// outside what the configuration allows. Pure functions over byte ranges;
// the texts need no terminator.
#pragma once
#include <cstddef>
#include <string>

// A header name: a non-empty token of at most 256 bytes.
bool qor_ngx_valid_header_name(const char* s, size_t n);
// A header value or content type: no CR, LF or NUL, at most 16384 bytes.
bool qor_ngx_valid_header_value(const char* s, size_t n);
// A method: a non-empty token of at most 32 bytes.
bool qor_ngx_valid_method(const char* s, size_t n);
// "HTTP/x.y" with single digits; *version is x * 1000 + y.
bool qor_ngx_parse_version(const char* s, size_t n, unsigned* version);
// A query: visible ASCII and bytes above 127, no "#", at most 8192 bytes.
bool qor_ngx_valid_query(const char* s, size_t n);
// A URI path: begins with "/", visible ASCII or bytes above 127, valid
// %XX escapes. *path is its decoded form with "." segments removed and
// ".." segments resolved; false when one would climb above "/" or the
// decoded path holds a NUL, CR or LF.
bool qor_ngx_normalize_uri(const char* s, size_t n, std::string* path);
// The status code of a response built by the authorization server
// (200 to 599) and of the web server's default response (300 to 599).
bool qor_ngx_valid_built_status(int code);
bool qor_ngx_valid_default_status(int code);
// The real path of file when it lies under the real path of root (which
// must be non-empty); false otherwise or when either does not resolve.
bool qor_ngx_resolve_body_file(const std::string& root, const std::string& file,
                               std::string* resolved);
// text with every byte outside printable ASCII, and '"' and '\\', as \xHH:
// safe in any log line.
std::string qor_ngx_escape_log_text(const char* s, size_t n);
