// qornginxanswer.h: an answer applied on the event loop, once checked: the
// request carried on as the answer changed it, the response the
// authorization server built, or the web server's default response.
#pragma once
#include "qornginxstate.h"

namespace qor_nginx {

// The answer of state->trans to the access phase: what the access handler
// returns.
ngx_int_t applyAnswer(ngx_http_request_t* r, QORNginxState* state);
// The body of a built response into *out: its pieces, or a file under the
// configured directory. NGX_OK, NGX_ERROR, or the status to fail with.
ngx_int_t builtBody(ngx_http_request_t* r, const QORNginxResponse& rsp, ngx_chain_t* out);

} // namespace qor_nginx
