// qornginxstate.h: what the nginx module's parts share about one request:
// its state, kept in a pool clean-up record across internal redirects;
// the location's configuration and the limits the answer check applies;
// copies into the request's pool; and jobs run on the worker's threads while
// the request waits.
#pragma once
#include <memory>
#include <string>

#include "ngx_http_dxqor_module.h"
#include "qornginxthreads.h"
#include "qornginxtransaction.h"

namespace qor_nginx {

// The per-request state lives in a pool clean-up record: unlike the
// module context it survives internal redirects, so a request is decided
// once (an error_page or index redirect is not asked again) and identity
// headers an answer set are not stripped again.
enum QORNginxPhase { qor_ngx_fresh, qor_ngx_asking, qor_ngx_answered, qor_ngx_reading,
                     qor_ngx_decided };

struct QORNginxState {
    QORNginxPhase phase = qor_ngx_fresh;
    bool stripped = false;
    bool bodySent = false;
    // The request carried on for decidedURI: an internal redirect to
    // another URI (an index file, a rewrite) is decided again; one after a
    // final response (error_page) is not.
    bool carriedOn = false;
    std::string decidedURI;
    // Response inspection: the response's head and body are held while the
    // core shows the head to the authorization server.
    enum { rsp_none, rsp_asking, rsp_passing, rsp_replaced } rspPhase = rsp_none;
    std::unique_ptr<QORNginxTransaction> rspTrans;
    ngx_chain_t* held = nullptr;
    ngx_chain_t** heldLast = &held;
    std::unique_ptr<QORNginxTransaction> trans;
    std::string logUser;
};

// The request's state, made (with its clean-up record) when create is set;
// null when it is not there or cannot be made.
QORNginxState* findState(ngx_http_request_t* r, bool create);
ngx_http_dxqor_loc_conf_t* locConf(ngx_http_request_t* r);
// What this server accepts in a request line or header line
// (large_client_header_buffers): no answer hands it more.
QORAnswerLimits answerLimits(ngx_http_request_t* r);
// s in the request's pool, zero-terminated; null when out of memory.
u_char* poolCopy(ngx_http_request_t* r, const std::string& s);
bool setStr(ngx_http_request_t* r, ngx_str_t* out, const std::string& s);

struct QORNginxJob {
    QORNginxTask task;  // its data is the job
    ngx_http_request_t* r;
    QORNginxState* state;
    void (*work)(QORNginxJob*);
    void (*done)(QORNginxJob*);
};

// Runs work on the worker's threads and done back on the event loop; the
// request is blocked (nginx keeps it, whatever the client does) until
// done. NGX_OK, NGX_ERROR when no job could be made, NGX_DECLINED when it
// could not be posted.
ngx_int_t postJob(ngx_http_request_t* r, QORNginxState* state, void (*work)(QORNginxJob*),
                  void (*done)(QORNginxJob*));

} // namespace qor_nginx
