// qornginxinspect.cpp: response inspection. The header filter holds the
// response (its head, and its body as the content handler produces it)
// while the core shows the head to the authorization server on the thread
// pool; back on the event loop the response goes on as it was, with the
// answer's headers, or is replaced.
#include <cstring>
#include <string>

#include "qornginxanswer.h"
#include "qornginxguard.h"
#include "qornginxheaders.h"
#include "qornginxprocess.h"

namespace qor_nginx {

namespace {

// r->buffered bit (four bits wide) while the response is held: nginx then
// does not finish the request. The image filter's bit: that filter holds
// whole images and is not combined with inspection.
const unsigned kHeldBuffered = 0x08;

std::string responseHead(ngx_http_request_t* r)
{
    std::string head = "HTTP/1.1 " + std::to_string(r->headers_out.status) + "\r\n";
    if (r->headers_out.content_type.len) {
        head += "Content-Type: ";
        head.append(reinterpret_cast<char*>(r->headers_out.content_type.data),
                    r->headers_out.content_type.len);
        head += "\r\n";
    }
    if (r->headers_out.content_length_n >= 0)
        head += "Content-Length: " + std::to_string(r->headers_out.content_length_n) + "\r\n";
    for (ngx_list_part_t* part = &r->headers_out.headers.part; part; part = part->next) {
        ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(part->elts);
        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            if (h[i].hash == 0)
                continue;
            head.append(reinterpret_cast<char*>(h[i].key.data), h[i].key.len);
            head += ": ";
            head.append(reinterpret_cast<char*>(h[i].value.data), h[i].value.len);
            head += "\r\n";
        }
    }
    return head + "\r\n";
}

void inspectInThread(QORNginxJob* job)
{
    ngx_log_t* log = ngx_cycle->log;
    QORNginxTransaction* trans = job->state->rspTrans.get();
    if (!qor_ngx_try(log, "showing the response",
                     [&] { trans->status = g_process->core->handleRsp(trans); }))
        trans->status = qor_s_no_memory;
}

// Copies what the content handler produced into the held chain and marks
// its buffers as sent, so that it goes on producing.
ngx_int_t holdBody(ngx_http_request_t* r, QORNginxState* state, ngx_chain_t* in)
{
    for (ngx_chain_t* cl = in; cl; cl = cl->next) {
        ngx_buf_t* b = cl->buf;
        off_t size = ngx_buf_size(b);
        ngx_buf_t* copy = ngx_create_temp_buf(r->pool, size > 0 ? static_cast<size_t>(size) : 1);
        ngx_chain_t* link = ngx_alloc_chain_link(r->pool);
        if (copy == nullptr || link == nullptr)
            return NGX_ERROR;
        if (ngx_buf_in_memory(b)) {
            copy->last = ngx_cpymem(copy->pos, b->pos, static_cast<size_t>(size));
        } else if (b->in_file && size > 0) {
            ssize_t n = ngx_read_file(b->file, copy->pos, static_cast<size_t>(size), b->file_pos);
            if (n != static_cast<ssize_t>(size))
                return NGX_ERROR;
            copy->last = copy->pos + n;
        }
        copy->memory = 1;
        copy->temporary = 1;
        copy->last_buf = b->last_buf;
        copy->last_in_chain = b->last_in_chain;
        copy->flush = b->flush;
        if (ngx_buf_in_memory(b))
            b->pos = b->last;
        if (b->in_file)
            b->file_pos = b->file_last;
        link->buf = copy;
        link->next = nullptr;
        *state->heldLast = link;
        state->heldLast = &link->next;
    }
    return NGX_OK;
}

// The response the server built takes the place of the one held.
ngx_int_t replaceResponse(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    if (!qor_answer_built_status(rsp.code())
        || (rsp.contentTypeSet
            && !qor_answer_header_value(answerLimits(r), rsp.contentType.data(),
                                        rsp.contentType.size()))
        || !checkResponseHeaders(r, rsp)) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sbuilt response", kRefused);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    ngx_chain_t out;
    ngx_int_t rc = builtBody(r, rsp, &out);
    if (rc != NGX_OK)
        return rc == NGX_ERROR ? NGX_HTTP_INTERNAL_SERVER_ERROR : rc;
    off_t length = r->headers_out.content_length_n;
    if (ngx_list_init(&r->headers_out.headers, r->pool, 8, sizeof(ngx_table_elt_t)) != NGX_OK)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    r->headers_out.status = static_cast<ngx_uint_t>(rsp.code());
    r->headers_out.status_line.len = 0;
    r->headers_out.content_type.len = 0;
    r->headers_out.content_type_lowcase = nullptr;
    if (rsp.contentTypeSet) {
        if (!setStr(r, &r->headers_out.content_type, rsp.contentType))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        r->headers_out.content_type_len = rsp.contentType.size();
    }
    r->headers_out.content_length = nullptr;
    r->headers_out.content_length_n = length;
    r->headers_out.last_modified_time = -1;
    r->headers_out.last_modified = nullptr;
    r->headers_out.location = nullptr;
    r->headers_out.etag = nullptr;
    r->headers_out.content_encoding = nullptr;
    r->headers_out.accept_ranges = nullptr;
    r->headers_out.www_authenticate = nullptr;
    if (!setResponseHeaders(r, rsp))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    rc = ngx_http_dxqor_next_header_filter(r);
    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only)
        return rc > NGX_OK ? NGX_ERROR : rc;
    return ngx_http_dxqor_next_body_filter(r, &out);
}

// The response, once the server has seen it: passed on as it is (with the
// answer's headers), replaced, or turned into an error.
ngx_int_t applyInspection(ngx_http_request_t* r, QORNginxState* state, QORNginxTransaction& trans)
{
    qor_proxy_rsp_code_e result = trans.status == qor_s_ok ? trans.getResult() : qor_severe_error;
    if (trans.status != qor_s_ok)
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "dxqor: the response could not be shown (status 0x%xD)",
                      static_cast<uint32_t>(trans.status));
    if (result == qor_continue || result == qor_continue_uninteresting) {
        if (!checkResponseHeaders(r, trans.response) || !setResponseHeaders(r, trans.response))
            result = qor_severe_error;
    }
    if (result == qor_continue || result == qor_continue_uninteresting) {
        state->rspPhase = QORNginxState::rsp_passing;
        ngx_int_t rc = ngx_http_dxqor_next_header_filter(r);
        if (rc == NGX_ERROR || rc > NGX_OK || r->header_only || state->held == nullptr)
            return rc > NGX_OK ? NGX_ERROR : rc;
        ngx_chain_t* held = state->held;
        state->held = nullptr;
        state->heldLast = &state->held;
        return ngx_http_dxqor_next_body_filter(r, held);
    }
    state->rspPhase = QORNginxState::rsp_replaced;
    if (result == qor_send_rsp_to_client) {
        ngx_int_t rc = replaceResponse(r, trans.response);
        if (rc <= NGX_OK)
            return rc;
        return ngx_http_filter_finalize_request(r, &ngx_http_dxqor_module, rc);
    }
    int code = result == qor_send_default_rsp_to_client
                       && qor_answer_default_status(trans.response.code())
                   ? trans.response.code()
                   : NGX_HTTP_INTERNAL_SERVER_ERROR;
    return ngx_http_filter_finalize_request(r, &ngx_http_dxqor_module, code);
}

void onInspected(QORNginxJob* job)
{
    ngx_http_request_t* r = job->r;
    ngx_connection_t* c = r->connection;
    QORNginxState* state = job->state;
    r->main->blocked--;
    r->buffered &= ~kHeldBuffered;
    std::unique_ptr<QORNginxTransaction> trans = std::move(state->rspTrans);
    ngx_int_t rc = NGX_ERROR;
    (void)qor_ngx_try(c->log, "applying the response's answer", [&] {
        trans->flushLog(c->log);
        rc = applyInspection(r, state, *trans);
    });
    if (rc == NGX_ERROR)
        c->error = 1;
    // The writer (or whatever produces the body) carries on from here.
    r->write_event_handler(r);
    ngx_http_run_posted_requests(c);
}

bool inspects(ngx_http_request_t* r)
{
    if (r != r->main || g_process == nullptr || !g_process->initialized)
        return false;
    ngx_http_dxqor_loc_conf_t* lcf = locConf(r);
    return lcf->enable && lcf->inspect;
}

} // namespace

} // namespace qor_nginx

using namespace qor_nginx;

namespace {

ngx_int_t headerFilter(ngx_http_request_t* r)
{
    if (!inspects(r))
        return ngx_http_dxqor_next_header_filter(r);
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->rspPhase != QORNginxState::rsp_none)
        return ngx_http_dxqor_next_header_filter(r);
    ngx_http_dxqor_loc_conf_t* lcf = locConf(r);
    state->rspTrans.reset(new QORNginxTransaction(r, lcf->vhost_id));
    state->rspTrans->response.raw = responseHead(r);
    state->rspTrans->response.storeCode(static_cast<int>(r->headers_out.status));
    if (postJob(r, state, inspectInThread, onInspected) != NGX_OK)
        return NGX_ERROR;
    r->buffered |= kHeldBuffered;
    state->rspPhase = QORNginxState::rsp_asking;
    return NGX_OK;
}

ngx_int_t bodyFilter(ngx_http_request_t* r, ngx_chain_t* in)
{
    if (!inspects(r))
        return ngx_http_dxqor_next_body_filter(r, in);
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->rspPhase == QORNginxState::rsp_none
        || state->rspPhase == QORNginxState::rsp_passing)
        return ngx_http_dxqor_next_body_filter(r, in);
    if (state->rspPhase == QORNginxState::rsp_replaced) {
        // The original body goes nowhere.
        for (ngx_chain_t* cl = in; cl; cl = cl->next) {
            cl->buf->pos = cl->buf->last;
            cl->buf->file_pos = cl->buf->file_last;
        }
        return NGX_OK;
    }
    return holdBody(r, state, in);
}

} // namespace

extern "C" ngx_int_t ngx_http_dxqor_header_filter(ngx_http_request_t* r)
{
    ngx_int_t rc = NGX_ERROR;
    (void)qor_ngx_try(r->connection->log, "the header filter", [&] { rc = headerFilter(r); });
    return rc;
}

extern "C" ngx_int_t ngx_http_dxqor_body_filter(ngx_http_request_t* r, ngx_chain_t* in)
{
    ngx_int_t rc = NGX_ERROR;
    (void)qor_ngx_try(r->connection->log, "the body filter", [&] { rc = bodyFilter(r, in); });
    return rc;
}
