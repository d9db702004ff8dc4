// qornginxheaders.h: the request's headers and the response's as an answer
// leaves them: identity headers stripped from what clients send, the
// request headers the answer changed, and the response headers it set
// (checked first).
#pragma once
#include "qornginxstate.h"

namespace qor_nginx {

// Removes the configured identity headers (lower-case names in strip).
ngx_int_t stripHeaders(ngx_http_request_t* r, const ngx_array_t* strip);
// The request headers as the answer left them. Untouched headers keep
// their memory, so nginx's direct pointers to them stay valid.
ngx_int_t applyHeaders(ngx_http_request_t* r, QORNginxRequest& req);
// False, with a log line, when a response header of the answer must not
// reach nginx.
bool checkResponseHeaders(ngx_http_request_t* r, const QORNginxResponse& rsp);
// Sets the answer's response headers on r (after checkResponseHeaders).
bool setResponseHeaders(ngx_http_request_t* r, const QORNginxResponse& rsp);

// The start of every log line about a refused answer.
extern const char* const kRefused;

} // namespace qor_nginx
