// qorapachestatus.cpp: the status page, as mod_status pages are made: a
// handler the administrator puts on a location.
#include "qorapachestatus.h"
#include <cstring>
#include "http_protocol.h"
#include "plugin/core/qoradapter.h"

int qor_apache_status_handler(request_rec* r)
{
    if (r->handler == nullptr || strcmp(r->handler, "dxqor-status") != 0)
        return DECLINED;
    r->allowed |= (AP_METHOD_BIT << M_GET);
    if (r->method_number != M_GET)
        return HTTP_METHOD_NOT_ALLOWED;
    char text[512];
    int n = qor_plugin_figures_text(text, sizeof text);
    ap_set_content_type(r, "text/plain; charset=utf-8");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    if (!r->header_only)
        ap_rwrite(text, n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1, r);
    return OK;
}
