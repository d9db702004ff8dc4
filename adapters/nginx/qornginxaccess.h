// qornginxaccess.h: the access phase: a request decided on the event loop
// when that needs no question, otherwise asked on the worker's threads, where
// the core waits for the authorization server, and resumed on the loop
// once the answer is back.
#pragma once
#include "qornginxstate.h"

namespace qor_nginx {

// Hands state's question to the worker's threads: NGX_AGAIN until the answer
// is back, else the status to end the request with.
ngx_int_t dispatch(ngx_http_request_t* r, QORNginxState* state);
// Reads the body the authorization server asked for, then asks again.
void onBodyRead(ngx_http_request_t* r);

} // namespace qor_nginx
