// qornginxanswer.cpp: answers applied to the request.
#include "qornginxanswer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstring>

#include "qornginxaccess.h"
#include "qornginxheaders.h"
#include "qornginxlogtext.h"

namespace qor_nginx {

namespace {

// Checks every change the answer made to the request; false, with a log
// line, on the first that must not reach nginx. *uri is the decoded path
// when the URI changed.
bool checkRequestChanges(ngx_http_request_t* r, QORNginxRequest& req, std::string* uri,
                         unsigned* version)
{
    const QORAnswerLimits limits = answerLimits(r);
    const char* what = nullptr;
    int major = 0, minor = 0;
    size_t length = 0;
    if (req.uriSet)
        uri->resize(req.uri.size());
    if (req.methodSet && !qor_answer_method(req.method.data(), req.method.size()))
        what = "method";
    else if (req.versionSet
             && !qor_answer_version(req.version.data(), req.version.size(), &major, &minor))
        what = "version";
    else if (req.querySet && !qor_answer_query(limits, req.query.data(), req.query.size()))
        what = "query";
    // nginx's r->uri is the decoded path.
    else if (req.uriSet
             && !qor_answer_path(limits, req.uri.data(), req.uri.size(), &(*uri)[0], &length))
        what = "URI";
    uri->resize(length);
    *version = static_cast<unsigned>(major * 1000 + minor);
    for (const QORNginxHeader& h : req.headers) {
        if (what != nullptr || h.removed || h.original != nullptr)
            continue;
        if (!qor_answer_header_name(h.name.data(), h.name.size()))
            what = "request header name";
        else if (!qor_answer_header_value(limits, h.value.data(), h.value.size()))
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
    if (!qor_answer_default_status(rsp.code())) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sstatus %d", kRefused, rsp.code());
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!checkResponseHeaders(r, rsp) || !setResponseHeaders(r, rsp))
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    return rsp.code();
}


} // namespace

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
    char resolved[PATH_MAX];
    std::string root(reinterpret_cast<char*>(lcf->body_root.data), lcf->body_root.len);
    // The name must hold no NUL: the check resolves it as a C string.
    if (!qor_answer_header_value(answerLimits(r), rsp.bodyFile.data(), rsp.bodyFile.size())
        || !qor_answer_body_file(root.c_str(), rsp.bodyFile.c_str(), resolved)) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sbody file outside %V", kRefused,
                      &lcf->body_root);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    std::string path(resolved);
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

namespace {

// The response the authorization server built, sent as built.
ngx_int_t builtResponse(ngx_http_request_t* r, const QORNginxResponse& rsp)
{
    if (!qor_answer_built_status(rsp.code())) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "%sstatus %d", kRefused, rsp.code());
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    if (rsp.contentTypeSet
        && (rsp.contentType.empty()
            || !qor_answer_header_value(answerLimits(r), rsp.contentType.data(),
                                        rsp.contentType.size()))) {
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

} // namespace

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

} // namespace qor_nginx
