// qornginxaccess.cpp: the access phase and its questions.
#include "qornginxaccess.h"

#include <cstring>

#include "qornginxanswer.h"
#include "qornginxguard.h"
#include "qornginxheaders.h"
#include "qornginxprocess.h"

namespace qor_nginx {

namespace {

void askInThread(QORNginxJob* job)
{
    ngx_log_t* log = ngx_cycle->log;
    QORNginxTransaction* trans = job->state->trans.get();
    if (job->state->bodySent)
        (void)trans->request.loadBody();  // a failed read asks without the body
    if (!qor_ngx_try(log, "asking the authorization server",
                     [&] { trans->status = g_process->core->handleReq(trans); }))
        trans->status = qor_s_no_memory;
}

void onAnswered(QORNginxJob* job)
{
    ngx_http_request_t* r = job->r;
    ngx_connection_t* c = r->connection;
    r->main->blocked--;
    job->state->phase = qor_ngx_answered;
    // Writes what the lines hold; allocates nothing.
    job->state->trans->flushLog(c->log);
    // Back into the phases (or to nginx's finalizer, should the request
    // have been ended meanwhile).
    r->write_event_handler(r);
    ngx_http_run_posted_requests(c);
}

// The client certificate from the ssl module's variable, decoded.
void addClientCert(ngx_http_request_t* r, QORNginxRequest& req)
{
    if (req.sslSession() == nullptr)
        return;
    static ngx_str_t name = ngx_string("ssl_client_raw_cert");
    static ngx_uint_t key = ngx_hash_key(name.data, name.len);
    ngx_http_variable_value_t* v = ngx_http_get_variable(r, &name, key);
    if (v == nullptr || v->not_found || v->len == 0)
        return;
    std::unique_ptr<QORPEMClientCert> cert =
        QORPEMClientCert::decode(reinterpret_cast<const char*>(v->data), v->len);
    if (cert == nullptr) {
        ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                      "dxqor: the client certificate could not be decoded");
        return;
    }
    req.sslSession()->adoptClientCert(std::move(cert));
}

} // namespace

// Hands the question to the worker's threads until onAnswered.
ngx_int_t dispatch(ngx_http_request_t* r, QORNginxState* state)
{
    ngx_int_t rc = postJob(r, state, askInThread, onAnswered);
    if (rc == NGX_ERROR)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    if (rc != NGX_OK) {
        state->phase = qor_ngx_decided;
        return NGX_HTTP_SERVICE_UNAVAILABLE;
    }
    state->phase = qor_ngx_asking;
    return NGX_AGAIN;
}

void onBodyRead(ngx_http_request_t* r)
{
    // Resets and posts: nothing here allocates on the heap.
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->phase != qor_ngx_reading) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }
    state->bodySent = true;
    if (state->trans->prepareForRetry() != qor_s_ok) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }
    ngx_int_t rc = dispatch(r, state);
    if (rc != NGX_AGAIN)
        ngx_http_finalize_request(r, rc);
}

namespace {

ngx_int_t access(ngx_http_request_t* r)
{
    ngx_http_dxqor_loc_conf_t* lcf = locConf(r);
    bool strip = lcf->strip != nullptr && lcf->strip->nelts > 0;
    if (!lcf->enable && !strip)
        return NGX_DECLINED;
    QORNginxState* state = findState(r, true);
    if (state == nullptr)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    if (strip && !state->stripped) {
        state->stripped = true;
        if (stripHeaders(r, lcf->strip) != NGX_OK)
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!lcf->enable)
        return NGX_DECLINED;

    if (state->phase == qor_ngx_decided) {
        bool sameURI = state->decidedURI.size() == r->uri.len
                       && memcmp(state->decidedURI.data(), r->uri.data, r->uri.len) == 0;
        if (!state->carriedOn || sameURI)
            return NGX_DECLINED;
        state->phase = qor_ngx_fresh;
        state->carriedOn = false;
        state->bodySent = false;
    }
    switch (state->phase) {
    case qor_ngx_decided:
        return NGX_DECLINED;
    case qor_ngx_asking:
    case qor_ngx_reading:
        return NGX_AGAIN;
    case qor_ngx_answered:
        return applyAnswer(r, state);
    case qor_ngx_fresh:
        break;
    }

    if (g_process == nullptr || !g_process->core) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "dxqor: \"dxqor on\" without \"dxqor_server_id\"");
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    state->trans.reset(new QORNginxTransaction(r, lcf->vhost_id));
    // Unprotected hosts and resources the cache knows to be open are decided
    // here, on the event loop; anything that may wait goes to a thread.
    if (g_process->core->decideLocally(state->trans.get())) {
        // An answer the decision cache kept is applied as the server's is.
        if (state->trans->getResult() != qor_continue_uninteresting) {
            state->trans->status = qor_s_ok;
            return applyAnswer(r, state);
        }
        state->trans.reset();
        state->phase = qor_ngx_decided;
        state->carriedOn = true;
        state->decidedURI.assign(reinterpret_cast<char*>(r->uri.data), r->uri.len);
        return NGX_DECLINED;
    }
    if (!g_process->initialized) {
        state->trans.reset();
        state->phase = qor_ngx_decided;
        qor_plugin_count(qor_fig_unavailable);
        return NGX_HTTP_SERVICE_UNAVAILABLE;
    }
    addClientCert(r, state->trans->request);
    return dispatch(r, state);
}

} // namespace

} // namespace qor_nginx

extern "C" ngx_int_t ngx_http_dxqor_access_handler(ngx_http_request_t* r)
{
    ngx_int_t rc = NGX_HTTP_INTERNAL_SERVER_ERROR;
    (void)qor_ngx_try(r->connection->log, "the access phase", [&] { rc = qor_nginx::access(r); });
    return rc;
}
