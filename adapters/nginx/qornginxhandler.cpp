// qornginxhandler.cpp: the nginx adapter's work. One QORCore per worker
// process. A request is decided on the event loop when that needs no
// question (an unprotected virtual host, the unprotected-resource cache);
// otherwise it is handed to nginx's thread pool, where the core asks the
// authorization server and waits, and the request resumes on the loop once
// the answer is back, where it is checked and applied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "ngx_http_dxqor_module.h"
#include "plugin/core/qorpluginvirtualhostkey.h"
#include "qornginxcheck.h"
#include "qornginxtransaction.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"

namespace {

// The core's log: error lines into nginx's error log, from any thread
// (nginx writes a line with one write()).
class QORNginxLog : public QORLog {
public:
    QORNginxLog() : QORLog(true) {}
    void logImpl(QORLogSeverity severity, const char*, unsigned, const char* component,
                 const QORStringRefT<char>& text) override
    {
        ngx_uint_t level = severity == qor_log_error     ? NGX_LOG_ERR
                           : severity == qor_log_warning ? NGX_LOG_WARN
                                                         : NGX_LOG_INFO;
        ngx_log_error(level, ngx_cycle->log, 0, "dxqor: %s: %*s", component,
                      static_cast<size_t>(text.length()), text.data());
    }
};

// What a worker process holds. initialized is read and written on the
// event loop only, so no core call overlaps initialize().
struct QORNginxProcess {
    ngx_http_dxqor_main_conf_t* conf = nullptr;
    std::unique_ptr<QORCore> core;
    QORNginxLog log;
    bool initialized = false;
    bool initializing = false;
    QORStatus initStatus = qor_s_ok;
    ngx_event_t retry;
    ngx_thread_task_t* initTask = nullptr;
    std::string serverID;
};

QORNginxProcess* g_process = nullptr;

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

void stateCleanup(void* data)
{
    delete static_cast<QORNginxState*>(data);
}

QORNginxState* findState(ngx_http_request_t* r, bool create)
{
    for (ngx_pool_cleanup_t* c = r->main->pool->cleanup; c; c = c->next)
        if (c->handler == stateCleanup)
            return static_cast<QORNginxState*>(c->data);
    if (!create)
        return nullptr;
    ngx_pool_cleanup_t* c = ngx_pool_cleanup_add(r->main->pool, 0);
    if (c == nullptr)
        return nullptr;
    c->data = new QORNginxState();
    c->handler = stateCleanup;
    return static_cast<QORNginxState*>(c->data);
}

ngx_http_dxqor_loc_conf_t* locConf(ngx_http_request_t* r)
{
    return static_cast<ngx_http_dxqor_loc_conf_t*>(
        ngx_http_get_module_loc_conf(r, ngx_http_dxqor_module));
}

u_char* poolCopy(ngx_http_request_t* r, const std::string& s)
{
    u_char* p = static_cast<u_char*>(ngx_pnalloc(r->pool, s.size() + 1));
    if (p != nullptr) {
        memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
    }
    return p;
}

bool setStr(ngx_http_request_t* r, ngx_str_t* out, const std::string& s)
{
    u_char* p = poolCopy(r, s);
    if (p == nullptr)
        return false;
    out->data = p;
    out->len = s.size();
    return true;
}

// Request headers.

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

// Answers.

const char* const kRefused = "dxqor: the authorization server's answer was refused: ";

// Checks every change the answer made to the request; false, with a log
// line, on the first that must not reach nginx. *uri is the normalized path
// when the URI changed.
bool checkRequestChanges(ngx_http_request_t* r, QORNginxRequest& req, std::string* uri,
                         unsigned* version)
{
    const char* what = nullptr;
    if (req.methodSet && !qor_ngx_valid_method(req.method.data(), req.method.size()))
        what = "method";
    else if (req.versionSet && !qor_ngx_parse_version(req.version.data(), req.version.size(),
                                                       version))
        what = "version";
    else if (req.querySet && !qor_ngx_valid_query(req.query.data(), req.query.size()))
        what = "query";
    else if (req.uriSet && !qor_ngx_normalize_uri(req.uri.data(), req.uri.size(), uri))
        what = "URI";
    for (const QORNginxHeader& h : req.headers) {
        if (what != nullptr || h.removed || h.original != nullptr)
            continue;
        if (!qor_ngx_valid_header_name(h.name.data(), h.name.size()))
            what = "request header name";
        else if (!qor_ngx_valid_header_value(h.value.data(), h.value.size()))
            what = "request header value";
    }
    if (what == nullptr)
        return true;
    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%s%s", kRefused, what);
    return false;
}

ngx_uint_t methodNumber(const std::string& m)
{
    static const struct {
        const char* name;
        ngx_uint_t number;
    } kMethods[] = {
        {"GET", NGX_HTTP_GET},         {"HEAD", NGX_HTTP_HEAD},
        {"POST", NGX_HTTP_POST},       {"PUT", NGX_HTTP_PUT},
        {"DELETE", NGX_HTTP_DELETE},   {"MKCOL", NGX_HTTP_MKCOL},
        {"COPY", NGX_HTTP_COPY},       {"MOVE", NGX_HTTP_MOVE},
        {"OPTIONS", NGX_HTTP_OPTIONS}, {"PROPFIND", NGX_HTTP_PROPFIND},
        {"PROPPATCH", NGX_HTTP_PROPPATCH}, {"LOCK", NGX_HTTP_LOCK},
        {"UNLOCK", NGX_HTTP_UNLOCK},   {"PATCH", NGX_HTTP_PATCH},
        {"TRACE", NGX_HTTP_TRACE},     {"CONNECT", NGX_HTTP_CONNECT},
    };
    for (const auto& k : kMethods)
        if (m == k.name)
            return k.number;
    return NGX_HTTP_UNKNOWN;
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

// Response headers the adapter sets itself or refuses. The length of the
// body is nginx's to state (the library counts the file's name, not the
// file), and a Transfer-Encoding would contradict it.
bool checkResponseHeaders(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    for (const auto& h : rsp.headers) {
        const char* what = nullptr;
        if (!qor_ngx_valid_header_name(h.name.data(), h.name.size()))
            what = "response header name";
        else if (!qor_ngx_valid_header_value(h.value.data(), h.value.size()))
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

// Carries the request on as the answer changed it. NGX_DONE when a new URI
// sent it through an internal redirect.
ngx_int_t applyRequest(ngx_http_request_t* r, QORNginxState* state, QORNginxTransaction& trans,
                       ngx_int_t proceed)
{
    QORNginxRequest& req = trans.request;
    std::string uri;
    unsigned version = 0;
    if (!checkRequestChanges(r, req, &uri, &version) || !checkResponseHeaders(r, trans.response))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    // Headers the answer gives the response the request goes on to make.
    if (!setResponseHeaders(r, trans.response))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    if (req.methodSet) {
        if (!setStr(r, &r->method_name, req.method))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        r->method = methodNumber(req.method);
    }
    if (req.versionSet) {
        if (!setStr(r, &r->http_protocol, req.version))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        r->http_version = version;
    }
    if (req.querySet) {
        if (!setStr(r, &r->args, req.query))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        r->valid_unparsed_uri = 0;
    }
    if (req.headersChanged && applyHeaders(r, req) != NGX_OK)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    if (req.logUserSet) {
        for (const std::string& t : req.logUser) {
            if (!t.empty()) {
                state->logUser = qor_ngx_escape_log_text(t.data(), t.size());
                break;
            }
        }
    }
    state->carriedOn = true;
    state->decidedURI.assign(reinterpret_cast<char*>(r->uri.data), r->uri.len);
    if (req.uriSet) {
        ngx_str_t path;
        if (!setStr(r, &path, uri))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        // The location was chosen for the old URI: find it again.
        ngx_str_t args = r->args;
        (void)ngx_http_internal_redirect(r, &path, &args);  // finalizes on failure
        ngx_http_finalize_request(r, NGX_DONE);
        return NGX_DONE;
    }
    return proceed;
}

// The web server's default response for the code, so that error_page
// applies; the answer's headers (a Location, a WWW-Authenticate) go with it.
ngx_int_t defaultResponse(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    if (!qor_ngx_valid_default_status(rsp.code())) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sstatus %d", kRefused, rsp.code());
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!checkResponseHeaders(r, rsp) || !setResponseHeaders(r, rsp))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    return rsp.code();
}

// The body of a built response: its pieces, or a file under the
// configured directory.
ngx_int_t builtBody(ngx_http_request_t* r, const QORNginxResponse& rsp, ngx_chain_t* out)
{
    ngx_buf_t* b = static_cast<ngx_buf_t*>(ngx_pcalloc(r->pool, sizeof(ngx_buf_t)));
    if (b == nullptr)
        return NGX_ERROR;
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;
    out->buf = b;
    out->next = nullptr;
    if (!rsp.bodyFileSet) {
        r->headers_out.content_length_n = static_cast<off_t>(rsp.body.size());
        if (!rsp.body.empty()) {
            b->start = b->pos = poolCopy(r, rsp.body);
            if (b->pos == nullptr)
                return NGX_ERROR;
            b->end = b->last = b->pos + rsp.body.size();
            b->memory = 1;
        }
        return NGX_OK;
    }

    ngx_http_dxqor_loc_conf_t* lcf = locConf(r);
    std::string path;
    if (!qor_ngx_valid_header_value(rsp.bodyFile.data(), rsp.bodyFile.size())
        || !qor_ngx_resolve_body_file(std::string(reinterpret_cast<char*>(lcf->body_root.data),
                                                  lcf->body_root.len),
                                      rsp.bodyFile, &path)) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sbody file outside %V", kRefused,
                      &lcf->body_root);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    ngx_file_t* file = static_cast<ngx_file_t*>(ngx_pcalloc(r->pool, sizeof(ngx_file_t)));
    ngx_pool_cleanup_t* cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_pool_cleanup_file_t));
    if (file == nullptr || cln == nullptr)
        return NGX_ERROR;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        ngx_log_error(NGX_LOG_ERR, r->connection->log, ngx_errno, "%sbody file unreadable",
                      kRefused);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    ngx_pool_cleanup_file_t* clnf = static_cast<ngx_pool_cleanup_file_t*>(cln->data);
    clnf->fd = fd;
    clnf->name = poolCopy(r, path);
    clnf->log = r->connection->log;
    cln->handler = ngx_pool_cleanup_file;
    file->fd = fd;
    file->name.data = clnf->name;
    file->name.len = path.size();
    file->log = r->connection->log;
    r->headers_out.content_length_n = st.st_size;
    b->file = file;
    b->file_pos = 0;
    b->file_last = st.st_size;
    b->in_file = st.st_size ? 1 : 0;
    return NGX_OK;
}

// The response the authorization server built, sent as built.
ngx_int_t builtResponse(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    if (!qor_ngx_valid_built_status(rsp.code())) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sstatus %d", kRefused, rsp.code());
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (rsp.contentTypeSet
        && (rsp.contentType.empty()
            || !qor_ngx_valid_header_value(rsp.contentType.data(), rsp.contentType.size()))) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%scontent type", kRefused);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!checkResponseHeaders(r, rsp))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    if (ngx_http_discard_request_body(r) != NGX_OK)
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    ngx_chain_t out;
    ngx_int_t rc = builtBody(r, rsp, &out);
    if (rc != NGX_OK)
        return rc == NGX_ERROR ? NGX_HTTP_INTERNAL_SERVER_ERROR : rc;
    r->headers_out.status = static_cast<ngx_uint_t>(rsp.code());
    if (rsp.contentTypeSet) {
        if (!setStr(r, &r->headers_out.content_type, rsp.contentType))
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        r->headers_out.content_type_len = rsp.contentType.size();
    }
    if (!setResponseHeaders(r, rsp))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    rc = ngx_http_send_header(r);
    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        ngx_http_finalize_request(r, rc);
        return NGX_DONE;
    }
    ngx_http_finalize_request(r, ngx_http_output_filter(r, &out));
    return NGX_DONE;
}

// Questions.

void askInThread(void* data, ngx_log_t*);
void onAnswered(ngx_event_t* ev);

struct QORNginxJob {
    ngx_http_request_t* r;
    QORNginxState* state;
};

// Runs work on the thread pool and done back on the event loop; the request
// is blocked (nginx keeps it, whatever the client does) until done. NGX_OK,
// NGX_ERROR when no task could be made, NGX_DECLINED when it could not be
// posted.
ngx_int_t postJob(ngx_http_request_t* r, QORNginxState* state,
                  void (*work)(void*, ngx_log_t*), void (*done)(ngx_event_t*))
{
    ngx_thread_task_t* task = ngx_thread_task_alloc(r->pool, sizeof(QORNginxJob));
    if (task == nullptr)
        return NGX_ERROR;
    QORNginxJob* job = static_cast<QORNginxJob*>(task->ctx);
    job->r = r;
    job->state = state;
    task->handler = work;
    task->event.data = job;
    task->event.handler = done;
    if (ngx_thread_task_post(g_process->conf->pool, task) != NGX_OK)
        return NGX_DECLINED;
    r->main->blocked++;
    return NGX_OK;
}

// Hands the question to the thread pool until onAnswered.
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

void askInThread(void* data, ngx_log_t*)
{
    QORNginxJob* job = static_cast<QORNginxJob*>(data);
    QORNginxTransaction* trans = job->state->trans.get();
    if (job->state->bodySent)
        (void)trans->request.loadBody();  // a failed read asks without the body
    trans->status = g_process->core->handleReq(trans);
}

void onAnswered(ngx_event_t* ev)
{
    QORNginxJob* job = static_cast<QORNginxJob*>(ev->data);
    ngx_http_request_t* r = job->r;
    ngx_connection_t* c = r->connection;
    r->main->blocked--;
    job->state->phase = qor_ngx_answered;
    job->state->trans->flushLog(c->log);
    // Back into the phases (or to nginx's finalizer, should the request
    // have been ended meanwhile).
    r->write_event_handler(r);
    ngx_http_run_posted_requests(c);
}

void onBodyRead(ngx_http_request_t* r)
{
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

// The answer, on the event loop.
ngx_int_t applyAnswer(ngx_http_request_t* r, QORNginxState* state)
{
    // Held here: finishing the request below may free the state with its
    // pool.
    std::unique_ptr<QORNginxTransaction> trans = std::move(state->trans);
    state->phase = qor_ngx_decided;
    if (trans->status != qor_s_ok) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "dxqor: no decision (status 0x%xD): the authorization server is unavailable",
                      static_cast<uint32_t>(trans->status));
        return NGX_HTTP_SERVICE_UNAVAILABLE;
    }
    ngx_int_t rc;
    switch (trans->getResult()) {
    case qor_continue:
        rc = applyRequest(r, state, *trans, NGX_OK);
        break;
    case qor_continue_uninteresting:
        rc = applyRequest(r, state, *trans, NGX_DECLINED);
        break;
    case qor_send_rsp_to_client:
        rc = builtResponse(r, trans->response);
        break;
    case qor_send_default_rsp_to_client:
        rc = defaultResponse(r, trans->response);
        break;
    case qor_require_more_body_data:
        // Once with the whole body; a server asking again gets no loop.
        if (state->bodySent) {
            ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                          "%sbody asked for again", kRefused);
            rc = NGX_HTTP_INTERNAL_SERVER_ERROR;
            break;
        }
        state->phase = qor_ngx_reading;
        state->trans = std::move(trans);
        rc = ngx_http_read_client_request_body(r, onBodyRead);
        if (rc >= NGX_HTTP_SPECIAL_RESPONSE) {
            state->phase = qor_ngx_decided;
            return rc;
        }
        // The read holds its own reference; the phases end here until the
        // body is in.
        ngx_http_finalize_request(r, NGX_DONE);
        return NGX_DONE;
    default:
        rc = NGX_HTTP_INTERNAL_SERVER_ERROR;
        break;
    }
    return rc;
}

// The client certificate from the ssl module's variable, decoded.
void addClientCert(ngx_http_request_t* r, QORNginxRequest& req)
{
    if (req.m_sslSession == nullptr)
        return;
    static ngx_str_t name = ngx_string("ssl_client_raw_cert");
    static ngx_uint_t key = ngx_hash_key(name.data, name.len);
    ngx_http_variable_value_t* v = ngx_http_get_variable(r, &name, key);
    if (v == nullptr || v->not_found || v->len == 0)
        return;
    std::string pem(reinterpret_cast<char*>(v->data), v->len);
    size_t begin = pem.find("-----BEGIN CERTIFICATE-----");
    size_t end = pem.find("-----END CERTIFICATE-----");
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        return;
    std::string b64;
    for (size_t i = begin + 27; i < end; i++)
        if (pem[i] != '\n' && pem[i] != '\r' && pem[i] != ' ' && pem[i] != '\t')
            b64 += pem[i];
    ngx_str_t src = {b64.size(), reinterpret_cast<u_char*>(&b64[0])};
    std::string der(ngx_base64_decoded_length(b64.size()), '\0');
    ngx_str_t dst = {0, reinterpret_cast<u_char*>(&der[0])};
    if (ngx_decode_base64(&dst, &src) != NGX_OK)
        return;
    QORNginxClientCert* cert = QORNginxClientCert::decode(dst.data, static_cast<int>(dst.len));
    if (cert == nullptr) {
        ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                      "dxqor: the client certificate could not be decoded");
        return;
    }
    req.m_sslSession->setClientCert(cert);
}

// Initialization.

void initInThread(void*, ngx_log_t*)
{
    g_process->initStatus =
        g_process->core->initialize(g_process->serverID.c_str(), &g_process->log);
}

void onInitialized(ngx_event_t*)
{
    g_process->initializing = false;
    if (g_process->initStatus == qor_s_ok) {
        g_process->initialized = true;
        ngx_log_error(NGX_LOG_NOTICE, ngx_cycle->log, 0,
                      "dxqor: attached to authorization server \"%s\"",
                      g_process->serverID.c_str());
        return;
    }
    ngx_log_error(NGX_LOG_ERR, ngx_cycle->log, 0,
                  "dxqor: authorization server \"%s\" not usable (status 0x%xD); "
                  "trying again in %M ms",
                  g_process->serverID.c_str(), static_cast<uint32_t>(g_process->initStatus),
                  g_process->conf->init_retry);
    if (!ngx_exiting && !ngx_terminate && !ngx_quit)
        ngx_add_timer(&g_process->retry, g_process->conf->init_retry);
}

void startInitialize(ngx_event_t*)
{
    if (g_process->initialized || g_process->initializing)
        return;
    g_process->initializing = true;
    if (ngx_thread_task_post(g_process->conf->pool, g_process->initTask) != NGX_OK) {
        g_process->initializing = false;
        ngx_add_timer(&g_process->retry, g_process->conf->init_retry);
    }
}

// Response inspection.

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

void inspectInThread(void* data, ngx_log_t*)
{
    QORNginxJob* job = static_cast<QORNginxJob*>(data);
    QORNginxTransaction* trans = job->state->rspTrans.get();
    trans->status = g_process->core->handleRsp(trans);
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
    if (!qor_ngx_valid_built_status(rsp.code())
        || (rsp.contentTypeSet
            && !qor_ngx_valid_header_value(rsp.contentType.data(), rsp.contentType.size()))
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
                       && qor_ngx_valid_default_status(trans.response.code())
                   ? trans.response.code()
                   : NGX_HTTP_INTERNAL_SERVER_ERROR;
    return ngx_http_filter_finalize_request(r, &ngx_http_dxqor_module, code);
}

void onInspected(ngx_event_t* ev)
{
    QORNginxJob* job = static_cast<QORNginxJob*>(ev->data);
    ngx_http_request_t* r = job->r;
    ngx_connection_t* c = r->connection;
    QORNginxState* state = job->state;
    r->main->blocked--;
    r->buffered &= ~kHeldBuffered;
    std::unique_ptr<QORNginxTransaction> trans = std::move(state->rspTrans);
    trans->flushLog(c->log);
    if (applyInspection(r, state, *trans) == NGX_ERROR)
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

extern "C" ngx_int_t ngx_http_dxqor_header_filter(ngx_http_request_t* r)
{
    if (!inspects(r))
        return ngx_http_dxqor_next_header_filter(r);
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->rspPhase != QORNginxState::rsp_none)
        return ngx_http_dxqor_next_header_filter(r);
    ngx_http_dxqor_loc_conf_t* lcf = locConf(r);
    state->rspTrans.reset(new QORNginxTransaction(r, lcf->vhost_id));
    state->rspTrans->response.raw = responseHead(r);
    // Only stores the number; cannot fail.
    (void)state->rspTrans->response.setCode(static_cast<int>(r->headers_out.status));
    if (postJob(r, state, inspectInThread, onInspected) != NGX_OK)
        return NGX_ERROR;
    r->buffered |= kHeldBuffered;
    state->rspPhase = QORNginxState::rsp_asking;
    return NGX_OK;
}

extern "C" ngx_int_t ngx_http_dxqor_body_filter(ngx_http_request_t* r, ngx_chain_t* in)
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

extern "C" ngx_int_t ngx_http_dxqor_access_handler(ngx_http_request_t* r)
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

extern "C" ngx_int_t ngx_http_dxqor_user_variable(ngx_http_request_t* r,
                                                  ngx_http_variable_value_t* v, uintptr_t)
{
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->logUser.empty()) {
        v->not_found = 1;
        return NGX_OK;
    }
    v->data = reinterpret_cast<u_char*>(&state->logUser[0]);
    v->len = state->logUser.size();
    v->valid = 1;
    v->no_cacheable = 1;
    v->not_found = 0;
    return NGX_OK;
}

extern "C" ngx_int_t ngx_http_dxqor_init_process(ngx_cycle_t* cycle)
{
    ngx_http_dxqor_main_conf_t* mcf = static_cast<ngx_http_dxqor_main_conf_t*>(
        ngx_http_cycle_get_module_main_conf(cycle, ngx_http_dxqor_module));
    if (mcf == nullptr || mcf->server_id.len == 0 || mcf->pool == nullptr)
        return NGX_OK;
    g_process = new QORNginxProcess();
    g_process->conf = mcf;
    g_process->serverID.assign(reinterpret_cast<char*>(mcf->server_id.data), mcf->server_id.len);
    g_process->core.reset(new QORCore("nginx"));
    g_process->initTask = ngx_thread_task_alloc(cycle->pool, 0);
    if (g_process->initTask == nullptr)
        return NGX_ERROR;
    g_process->initTask->handler = initInThread;
    g_process->initTask->event.handler = onInitialized;
    g_process->initTask->event.data = g_process;
    g_process->retry.handler = startInitialize;
    g_process->retry.data = g_process;
    g_process->retry.log = cycle->log;
    // A pending retry must not hold up a graceful shutdown.
    g_process->retry.cancelable = 1;
    startInitialize(nullptr);
    return NGX_OK;
}

extern "C" void ngx_http_dxqor_exit_process(ngx_cycle_t*)
{
    if (g_process == nullptr)
        return;
    // The thread pools have been stopped by now (their module exits
    // first), so no question or initialize is running.
    if (g_process->initialized)
        (void)g_process->core->shutdown();  // the process ends either way
    delete g_process;
    g_process = nullptr;
}
