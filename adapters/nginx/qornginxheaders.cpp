// qornginxheaders.cpp: request and response headers as an answer leaves
// them.
#include "qornginxheaders.h"

#include <strings.h>

namespace qor_nginx {

const char* const kRefused = "dxqor: the authorization server's answer was refused: ";

namespace {

// Drops nginx's direct pointer to a header that is going away
// (r->headers_in.authorization and the like).
void forgetKnownHeader(ngx_http_request_t* r, ngx_table_elt_t* h)
{
    ngx_http_core_main_conf_t* cmcf = static_cast<ngx_http_core_main_conf_t*>(
        ngx_http_get_module_main_conf(r, ngx_http_core_module));
    ngx_http_header_t* hh = static_cast<ngx_http_header_t*>(
        ngx_hash_find(&cmcf->headers_in_hash, h->hash, h->lowcase_key, h->key.len));
    if (hh == nullptr || hh->offset == 0)
        return;
    // Only a pointer that points at this very header is one: the multi-value
    // headers keep an array at their offset instead.
    ngx_table_elt_t** p = reinterpret_cast<ngx_table_elt_t**>(
        reinterpret_cast<char*>(&r->headers_in) + hh->offset);
    if (*p == h)
        *p = nullptr;
}

bool stripsHeader(const ngx_array_t* strip, const ngx_table_elt_t& h)
{
    const ngx_str_t* names = static_cast<const ngx_str_t*>(strip->elts);
    for (ngx_uint_t i = 0; i < strip->nelts; i++)
        if (names[i].len == h.key.len && ngx_strncmp(names[i].data, h.lowcase_key, h.key.len) == 0)
            return true;
    return false;
}

// A response header of the answer into r->headers_out; nginx's own fields
// for the headers it treats apart.
bool addResponseHeader(ngx_http_request_t* r, const std::string& name, const std::string& value)
{
    ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(ngx_list_push(&r->headers_out.headers));
    if (h == nullptr || !setStr(r, &h->key, name) || !setStr(r, &h->value, value))
        return false;
    h->hash = 1;
    if (strcasecmp(name.c_str(), "Location") == 0)
        r->headers_out.location = h;
    else if (strcasecmp(name.c_str(), "WWW-Authenticate") == 0)
        r->headers_out.www_authenticate = h;
    return true;
}

} // namespace

// Removes the configured identity headers: nginx's list has no removal, so
// a list without them replaces it.
ngx_int_t stripHeaders(ngx_http_request_t* r, const ngx_array_t* strip)
{
    bool any = false;
    ngx_uint_t count = 0;
    for (ngx_list_part_t* part = &r->headers_in.headers.part; part; part = part->next) {
        ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(part->elts);
        for (ngx_uint_t i = 0; i < part->nelts; i++, count++)
            any = any || stripsHeader(strip, h[i]);
    }
    if (!any)
        return NGX_OK;
    ngx_list_t list;
    if (ngx_list_init(&list, r->pool, count ? count : 1, sizeof(ngx_table_elt_t)) != NGX_OK)
        return NGX_ERROR;
    for (ngx_list_part_t* part = &r->headers_in.headers.part; part; part = part->next) {
        ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(part->elts);
        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            if (stripsHeader(strip, h[i])) {
                forgetKnownHeader(r, &h[i]);
                continue;
            }
            ngx_table_elt_t* copy = static_cast<ngx_table_elt_t*>(ngx_list_push(&list));
            if (copy == nullptr)
                return NGX_ERROR;
            *copy = h[i];
        }
    }
    r->headers_in.headers = list;
    return NGX_OK;
}

// The request headers as the answer left them. Untouched headers keep
// their memory, so nginx's direct pointers to them stay valid.
ngx_int_t applyHeaders(ngx_http_request_t* r, QORNginxRequest& req)
{
    ngx_list_t list;
    if (ngx_list_init(&list, r->pool, req.headers.size() + 1, sizeof(ngx_table_elt_t)) != NGX_OK)
        return NGX_ERROR;
    for (QORNginxHeader& h : req.headers) {
        if (h.removed) {
            if (h.original != nullptr)
                forgetKnownHeader(r, h.original);
            continue;
        }
        ngx_table_elt_t* e = static_cast<ngx_table_elt_t*>(ngx_list_push(&list));
        if (e == nullptr)
            return NGX_ERROR;
        if (h.original != nullptr) {
            *e = *h.original;
            continue;
        }
        if (!setStr(r, &e->key, h.name) || !setStr(r, &e->value, h.value))
            return NGX_ERROR;
        e->lowcase_key = static_cast<u_char*>(ngx_pnalloc(r->pool, h.name.size()));
        if (e->lowcase_key == nullptr)
            return NGX_ERROR;
        e->hash = ngx_hash_strlow(e->lowcase_key, e->key.data, e->key.len);
        if (e->hash == 0)
            e->hash = 1;
    }
    r->headers_in.headers = list;
    return NGX_OK;
}

// Response headers the adapter sets itself or refuses. The length of the
// body is nginx's to state (the library counts the file's name, not the
// file), and a Transfer-Encoding would contradict it.
bool checkResponseHeaders(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    const QORAnswerLimits limits = answerLimits(r);
    for (const auto& h : rsp.headers) {
        const char* what = nullptr;
        if (!qor_answer_header_name(h.name.data(), h.name.size()))
            what = "response header name";
        else if (!qor_answer_header_value(limits, h.value.data(), h.value.size()))
            what = "response header value";
        else if (strcasecmp(h.name.c_str(), "Transfer-Encoding") == 0)
            what = "Transfer-Encoding";
        if (what != nullptr) {
            ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%s%s", kRefused, what);
            return false;
        }
    }
    return true;
}

bool setResponseHeaders(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    for (const auto& h : rsp.headers) {
        if (strcasecmp(h.name.c_str(), "Content-Length") == 0
            || strcasecmp(h.name.c_str(), "Content-Type") == 0)
            continue;
        if (h.replace) {
            // nginx skips a header whose hash is 0.
            for (ngx_list_part_t* part = &r->headers_out.headers.part; part; part = part->next) {
                ngx_table_elt_t* e = static_cast<ngx_table_elt_t*>(part->elts);
                for (ngx_uint_t i = 0; i < part->nelts; i++)
                    if (e[i].key.len == h.name.size()
                        && strncasecmp(reinterpret_cast<char*>(e[i].key.data), h.name.data(),
                                       h.name.size()) == 0)
                        e[i].hash = 0;
            }
        }
        if (!addResponseHeader(r, h.name, h.value))
            return false;
    }
    return true;
}

} // namespace qor_nginx
