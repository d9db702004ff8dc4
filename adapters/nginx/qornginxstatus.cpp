// qornginxstatus.cpp: the dxqor_status location: the plug-in's figures of
// the worker process that answers, as plain text, the way stub_status
// answers its own.
#include <cstring>

#include "ngx_http_dxqor_module.h"
#include "plugin/core/qoradapter.h"

extern "C" ngx_int_t ngx_http_dxqor_status_handler(ngx_http_request_t* r)
{
    if (!(r->method & (NGX_HTTP_GET | NGX_HTTP_HEAD)))
        return NGX_HTTP_NOT_ALLOWED;
    ngx_int_t rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK)
        return rc;
    char text[512];
    int n = qor_plugin_figures_text(text, sizeof text);
    size_t len = n < static_cast<int>(sizeof text) ? static_cast<size_t>(n) : sizeof text - 1;
    static const char kType[] = "text/plain; charset=utf-8";
    r->headers_out.content_type.data = reinterpret_cast<u_char*>(const_cast<char*>(kType));
    r->headers_out.content_type.len = sizeof kType - 1;
    r->headers_out.content_type_len = r->headers_out.content_type.len;
    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = static_cast<off_t>(len);
    if (r->method == NGX_HTTP_HEAD) {
        rc = ngx_http_send_header(r);
        return rc;
    }
    ngx_buf_t* b = ngx_create_temp_buf(r->pool, len);
    if (b == nullptr)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    b->last = ngx_cpymem(b->last, text, len);
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;
    rc = ngx_http_send_header(r);
    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only)
        return rc;
    ngx_chain_t out = {b, nullptr};
    return ngx_http_output_filter(r, &out);
}
