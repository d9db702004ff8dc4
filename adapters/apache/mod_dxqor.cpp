// mod_dxqor.cpp: the Apache httpd 2.4 module that puts every request of the
// servers and directories it is enabled for before the plug-in core. One
// QORCore per child process, made in the child-init hook and shut down with
// the child's pool. Requests are decided in the access phase, when Apache
// has normalised and mapped the URI and merged the directory configuration;
// a body the authorization server asks for is read there and replayed to
// the handler by the DXQOR_BODY input filter.
#include <time.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "httpd.h"
#include "apr_optional.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "mod_ssl.h"

#include "core/shutdown/qorshutdown.h"
#include "qorapachestatus.h"
#include "qorapachetransaction.h"

extern "C" module AP_MODULE_DECLARE_DATA dxqor_module;

#ifdef APLOG_USE_MODULE
APLOG_USE_MODULE(dxqor);
#endif

namespace {

enum : int { kUnset = -1 };

struct ServerConfig {
    int enabled = kUnset;
    const char* vhostID = nullptr;
    apr_array_header_t* stripHeaders = nullptr;
    int inspectResponses = kUnset;
    const char* bodyFileDir = nullptr;
};

struct DirConfig {
    int enabled = kUnset;
};

// Process-wide settings: one core per process talks to one server.
const char* g_serverID = nullptr;
const char* g_root = nullptr;
int g_retrySeconds = 10;
long g_maxBody = 1 << 20;

// The child's core. Requests hold the lock shared; a retried initialize
// holds it alone, since initialize may overlap no other call.
QORCore* g_core = nullptr;
std::shared_mutex g_coreLock;
std::atomic<long> g_nextInitialize{0};
server_rec* g_server = nullptr;

APR_OPTIONAL_FN_TYPE(ssl_var_lookup)* g_sslVar = nullptr;
APR_OPTIONAL_FN_TYPE(ssl_is_https)* g_isHTTPS = nullptr;

// Writes the core's lines to the error log of the main server.
class ApacheLog : public QORLog {
public:
    ApacheLog() : QORLog(true) {}
    void logImpl(QORLogSeverity severity, const char*, unsigned, const char* component,
                 const QORStringRefT<char>& text) override
    {
        int level = severity == qor_log_error     ? APLOG_ERR
                    : severity == qor_log_warning ? APLOG_WARNING
                    : severity == qor_log_info    ? APLOG_INFO
                                                  : APLOG_DEBUG;
        ap_log_error(APLOG_MARK, level, 0, g_server, "dxqor %s: %.*s", component ? component : "",
                     text.length(), text.data() ? text.data() : "");
    }
};
ApacheLog* g_log = nullptr;

long now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec);
}

void* createServerConfig(apr_pool_t* pool, server_rec*)
{
    void* mem = apr_pcalloc(pool, sizeof(ServerConfig));
    return new (mem) ServerConfig;
}

void* mergeServerConfig(apr_pool_t* pool, void* baseConf, void* addConf)
{
    auto* base = static_cast<ServerConfig*>(baseConf);
    auto* add = static_cast<ServerConfig*>(addConf);
    auto* c = static_cast<ServerConfig*>(createServerConfig(pool, nullptr));
    c->enabled = add->enabled != kUnset ? add->enabled : base->enabled;
    c->vhostID = add->vhostID ? add->vhostID : base->vhostID;
    c->inspectResponses = add->inspectResponses != kUnset ? add->inspectResponses
                                                          : base->inspectResponses;
    c->bodyFileDir = add->bodyFileDir ? add->bodyFileDir : base->bodyFileDir;
    if (base->stripHeaders && add->stripHeaders)
        c->stripHeaders = apr_array_append(pool, base->stripHeaders, add->stripHeaders);
    else
        c->stripHeaders = add->stripHeaders ? add->stripHeaders : base->stripHeaders;
    return c;
}

void* createDirConfig(apr_pool_t* pool, char*)
{
    void* mem = apr_pcalloc(pool, sizeof(DirConfig));
    return new (mem) DirConfig;
}

void* mergeDirConfig(apr_pool_t* pool, void* baseConf, void* addConf)
{
    auto* base = static_cast<DirConfig*>(baseConf);
    auto* add = static_cast<DirConfig*>(addConf);
    auto* c = static_cast<DirConfig*>(createDirConfig(pool, nullptr));
    c->enabled = add->enabled != kUnset ? add->enabled : base->enabled;
    return c;
}

ServerConfig* serverConfig(server_rec* s)
{
    return static_cast<ServerConfig*>(ap_get_module_config(s->module_config, &dxqor_module));
}

const char* setEnable(cmd_parms* cmd, void* dirConf, int on)
{
    if (cmd->path != nullptr)
        static_cast<DirConfig*>(dirConf)->enabled = on;
    else
        serverConfig(cmd->server)->enabled = on;
    return nullptr;
}

const char* setInspect(cmd_parms* cmd, void*, int on)
{
    serverConfig(cmd->server)->inspectResponses = on;
    return nullptr;
}

const char* setServerID(cmd_parms* cmd, void*, const char* arg)
{
    const char* err = ap_check_cmd_context(cmd, GLOBAL_ONLY);
    if (err != nullptr)
        return err;
    g_serverID = arg;
    return nullptr;
}

const char* setRoot(cmd_parms* cmd, void*, const char* arg)
{
    const char* err = ap_check_cmd_context(cmd, GLOBAL_ONLY);
    if (err != nullptr)
        return err;
    g_root = arg;
    return nullptr;
}

const char* setVHostID(cmd_parms* cmd, void*, const char* arg)
{
    serverConfig(cmd->server)->vhostID = arg;
    return nullptr;
}

const char* setBodyFileDir(cmd_parms* cmd, void*, const char* arg)
{
    if (arg[0] != '/')
        return "DxqorBodyFileDir needs an absolute path";
    char* real = realpath(arg, nullptr);
    if (real == nullptr)
        return apr_psprintf(cmd->pool, "DxqorBodyFileDir %s does not exist", arg);
    serverConfig(cmd->server)->bodyFileDir = apr_pstrdup(cmd->pool, real);
    free(real);
    return nullptr;
}

const char* addStripHeader(cmd_parms* cmd, void*, const char* arg)
{
    ServerConfig* c = serverConfig(cmd->server);
    if (c->stripHeaders == nullptr)
        c->stripHeaders = apr_array_make(cmd->pool, 4, sizeof(const char*));
    *static_cast<const char**>(apr_array_push(c->stripHeaders)) = arg;
    return nullptr;
}

const char* setNumber(cmd_parms* cmd, const char* arg, long low, long* out)
{
    char* end = nullptr;
    long v = std::strtol(arg, &end, 10);
    if (end == arg || *end != '\0' || v < low)
        return apr_psprintf(cmd->pool, "%s needs a number of at least %ld", cmd->cmd->name, low);
    *out = v;
    return nullptr;
}

const char* setRetry(cmd_parms* cmd, void*, const char* arg)
{
    long v = 0;
    const char* err = setNumber(cmd, arg, 1, &v);
    if (err == nullptr)
        g_retrySeconds = static_cast<int>(v);
    return err;
}

const char* setMaxBody(cmd_parms* cmd, void*, const char* arg)
{
    return setNumber(cmd, arg, 0, &g_maxBody);
}

// The directive table holds every handler as cmd_func, whatever its
// arguments; a cast through a plain function pointer says so.
template <class F>
cmd_func command(F f)
{
    return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(f));
}

const command_rec kCommands[] = {
    AP_INIT_FLAG("Dxqor", command(setEnable), nullptr, RSRC_CONF | ACCESS_CONF,
                 "On to put the requests of this server or directory before the authorization server"),
    AP_INIT_TAKE1("DxqorServerID", command(setServerID), nullptr, RSRC_CONF,
                  "the authorization server's identifier"),
    AP_INIT_TAKE1("DxqorRoot", command(setRoot), nullptr, RSRC_CONF,
                  "the prefix of the dxqor installation (where opt/dxqor/etc/dxqor.conf is)"),
    AP_INIT_TAKE1("DxqorVirtualHostID", command(setVHostID), nullptr, RSRC_CONF,
                  "the virtual host's ID for the authorization server (default: ServerName)"),
    AP_INIT_ITERATE("DxqorStripHeader", command(addStripHeader), nullptr,
                    RSRC_CONF, "identity headers removed from every incoming request"),
    AP_INIT_FLAG("DxqorInspectResponses", command(setInspect), nullptr, RSRC_CONF,
                 "On to show the responses of decided requests to the authorization server"),
    AP_INIT_TAKE1("DxqorBodyFileDir", command(setBodyFileDir), nullptr, RSRC_CONF,
                  "the directory response bodies may be taken from"),
    AP_INIT_TAKE1("DxqorInitRetryInterval", command(setRetry), nullptr, RSRC_CONF,
                  "seconds between attempts to reach the authorization server"),
    AP_INIT_TAKE1("DxqorMaxBody", command(setMaxBody), nullptr, RSRC_CONF,
                  "most bytes of a request body read for the authorization server"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};

// Attaches the core; on failure the next attempt waits g_retrySeconds.
// REQUIRES: g_coreLock held alone.
void tryInitialize()
{
    if (g_core == nullptr || g_core->isInitialized() || g_serverID == nullptr)
        return;
    QORStatus st = g_core->initialize(g_serverID, g_log);
    if (st == qor_s_ok)
        ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, g_server,
                     "dxqor: attached to authorization server %s", g_serverID);
    if (st != qor_s_ok) {
        g_nextInitialize = now() + g_retrySeconds;
        ap_log_error(APLOG_MARK, APLOG_WARNING, 0, g_server,
                     "dxqor: authorization server %s not reachable (status %#x); "
                     "requests get 503 until it is",
                     g_serverID, (unsigned int)st);
    }
}

apr_status_t shutdownCore(void*)
{
    std::unique_lock<std::shared_mutex> lock(g_coreLock);
    if (g_core != nullptr) {
        g_core->shutdown();
        delete g_core;
        g_core = nullptr;
        qor_shutdown();
    }
    delete g_log;
    g_log = nullptr;
    return APR_SUCCESS;
}

int postConfig(apr_pool_t*, apr_pool_t*, apr_pool_t*, server_rec* s)
{
    // The core reads DXQOR_ROOT when it starts, in the children.
    if (g_root != nullptr)
        setenv("DXQOR_ROOT", g_root, 1);
    g_server = s;
    return OK;
}

void childInit(apr_pool_t* pool, server_rec* s)
{
    g_server = s;
    if (g_serverID == nullptr)
        return;
    g_log = new (std::nothrow) ApacheLog;
    g_core = new (std::nothrow) QORCore("mod_dxqor");
    if (g_log == nullptr || g_core == nullptr) {
        ap_log_error(APLOG_MARK, APLOG_CRIT, 0, s, "dxqor: out of memory");
        return;
    }
    apr_pool_cleanup_register(pool, nullptr, shutdownCore, apr_pool_cleanup_null);
    std::unique_lock<std::shared_mutex> lock(g_coreLock);
    tryInitialize();
}

void retrieveOptionalFunctions()
{
    g_sslVar = APR_RETRIEVE_OPTIONAL_FN(ssl_var_lookup);
    g_isHTTPS = APR_RETRIEVE_OPTIONAL_FN(ssl_is_https);
}

// Identity headers are dropped from every request, decided here or not,
// before any module can read them.
int postReadRequest(request_rec* r)
{
    ServerConfig* c = serverConfig(r->server);
    // An internal redirect runs this hook again on the headers of the
    // request it came from: cleaned already, and perhaps given the
    // identity by the authorization server since.
    if (c->stripHeaders == nullptr || r->prev != nullptr || r->main != nullptr)
        return DECLINED;
    auto* names = reinterpret_cast<const char**>(c->stripHeaders->elts);
    for (int i = 0; i < c->stripHeaders->nelts; ++i)
        apr_table_unset(r->headers_in, names[i]);
    return DECLINED;
}

bool enabledFor(request_rec* r)
{
    auto* d = static_cast<DirConfig*>(ap_get_module_config(r->per_dir_config, &dxqor_module));
    if (d != nullptr && d->enabled != kUnset)
        return d->enabled == 1;
    return serverConfig(r->server)->enabled == 1;
}

void fillSSL(request_rec* r, QORApacheTransaction& trans)
{
    if (g_isHTTPS == nullptr || !g_isHTTPS(r->connection))
        return;
    trans.request().setSecure(true);
    const char* id = g_sslVar ? g_sslVar(r->pool, r->server, r->connection, r,
                                         const_cast<char*>("SSL_SESSION_ID"))
                              : nullptr;
    std::unique_ptr<QORSSLSession> session(new (std::nothrow) QORApacheSSLSession(id));
    if (session == nullptr)
        return;
    const char* pem = g_sslVar ? g_sslVar(r->pool, r->server, r->connection, r,
                                          const_cast<char*>("SSL_CLIENT_CERT"))
                               : nullptr;
    if (pem != nullptr && *pem != '\0') {
        std::unique_ptr<QORPEMClientCert> cert = QORPEMClientCert::decode(pem, std::strlen(pem));
        if (cert != nullptr)
            session->adoptClientCert(std::move(cert));
        else
            ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                          "dxqor: the client certificate could not be decoded");
    }
    trans.request().adoptSSLSession(std::move(session));
}

// What the configuration gives a transaction of r.
QORApacheOptions optionsFor(request_rec* r)
{
    ServerConfig* c = serverConfig(r->server);
    QORApacheOptions options;
    options.vhostID = c->vhostID;
    options.bodyFileDir = c->bodyFileDir;
    options.maxBody = g_maxBody;
    options.limits.maxHeaderValue = static_cast<size_t>(r->server->limit_req_fieldsize);
    options.limits.maxURI = static_cast<size_t>(r->server->limit_req_line);
    return options;
}

int decide(request_rec* r, QORApacheRequestState* state)
{
    QORApacheTransaction trans(r, state, optionsFor(r));
    if (trans.request().server() == nullptr)
        return HTTP_INTERNAL_SERVER_ERROR;
    fillSSL(r, trans);

    // isInitialized may be read while another thread initializes; a stale
    // false only sends this request to try the lock below.
    if (g_core != nullptr && !g_core->isInitialized() && now() >= g_nextInitialize) {
        std::unique_lock<std::shared_mutex> lock(g_coreLock, std::try_to_lock);
        if (lock.owns_lock())
            tryInitialize();
    }

    std::shared_lock<std::shared_mutex> lock(g_coreLock);
    if (g_core == nullptr) {
        qor_plugin_count(qor_fig_unavailable);
        return HTTP_SERVICE_UNAVAILABLE;
    }
    QORStatus st = g_core->handleReq(&trans);
    // The body is read in full when the server asks for more of it, so
    // this loop runs at most a few times.
    for (int round = 0; st == qor_s_ok && trans.getResult() == qor_require_more_body_data
                        && round < 4;
         ++round) {
        if (trans.request().readMoreBody() != qor_s_ok)
            return HTTP_BAD_REQUEST;
        trans.response().clear();
        st = g_core->handleReq(&trans);
    }
    lock.unlock();

    if (state->refused) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                      "dxqor: the request fails: the authorization server's answer was refused");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (st != qor_s_ok) {
        if (st != qor_s_not_initialized)
            ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "dxqor: no decision (status %#x)",
                          (unsigned int)st);
        return st == qor_s_not_initialized ? HTTP_SERVICE_UNAVAILABLE : HTTP_INTERNAL_SERVER_ERROR;
    }
    switch (trans.getResult()) {
    case qor_continue:
    case qor_continue_uninteresting:
        trans.response().commitHeaders();
        if (state->redirectTo != nullptr)
            state->redirectTo = r->args ? apr_pstrcat(r->pool, ap_escape_uri(r->pool, r->uri), "?",
                                                      r->args, nullptr)
                                        : ap_escape_uri(r->pool, r->uri);
        return DECLINED;
    case qor_send_rsp_to_client:
        return trans.response().send();
    case qor_send_default_rsp_to_client:
        trans.response().commitHeaders();
        return trans.response().defaultStatus();
    case qor_require_more_body_data:
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                      "dxqor: the authorization server still wants more body");
        return HTTP_INTERNAL_SERVER_ERROR;
    default:
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "dxqor: the request failed (result %d)",
                      static_cast<int>(trans.getResult()));
        return HTTP_INTERNAL_SERVER_ERROR;
    }
}

int accessChecker(request_rec* r)
{
    // A subrequest is a lookup made on behalf of a request decided already.
    if (r->main != nullptr)
        return DECLINED;
    // The redirect this module made for a rewritten URI: decided already,
    // only its body is carried over (wherever the new URI lies).
    if (r->prev != nullptr) {
        QORApacheRequestState* prev = QORApacheRequestState::of(r->prev, false);
        if (prev != nullptr && prev->decided && prev->redirectTo != nullptr) {
            ap_set_module_config(r->request_config, &dxqor_module, prev);
            prev->redirectTo = nullptr;
            if (prev->filterAdded) {
                prev->source = r->input_filters;
                ap_add_input_filter("DXQOR_BODY", prev, r, r->connection);
            }
            return DECLINED;
        }
    }
    if (!enabledFor(r))
        return DECLINED;
    QORApacheRequestState* state = QORApacheRequestState::of(r, true);
    if (state == nullptr)
        return HTTP_INTERNAL_SERVER_ERROR;
    // A TRACE let through in the storage step comes here decided.
    if (state->decided)
        return DECLINED;
    state->decided = true;
    return decide(r, state);
}

// Apache answers TRACE in the storage step, before the access check: it
// is decided here instead, under the configuration its location and
// directory give it, so that no echo of a request goes out undecided. A
// walk that fails refuses it.
int mapToStorage(request_rec* r)
{
    if (r->method_number != M_TRACE || r->main != nullptr)
        return DECLINED;
    for (int (*walk)(request_rec*) : {ap_directory_walk, ap_file_walk, ap_location_walk}) {
        int st = walk(r);
        if (st != OK)
            return st;
    }
    if (!enabledFor(r))
        return DECLINED;
    QORApacheRequestState* state = QORApacheRequestState::of(r, true);
    if (state == nullptr)
        return HTTP_INTERNAL_SERVER_ERROR;
    state->decided = true;
    return decide(r, state);
}

int redirectHandler(request_rec* r)
{
    QORApacheRequestState* state = QORApacheRequestState::of(r, false);
    if (state == nullptr || state->redirectTo == nullptr || r->main != nullptr)
        return DECLINED;
    ap_internal_redirect(state->redirectTo, r);
    return OK;
}

// Gives the handler the body read for the authorization server, then what
// is left of it below.
apr_status_t bodyFilter(ap_filter_t* f, apr_bucket_brigade* bb, ap_input_mode_t mode,
                        apr_read_type_e block, apr_off_t readbytes)
{
    auto* state = static_cast<QORApacheRequestState*>(f->ctx);
    if (state == nullptr || (mode != AP_MODE_READBYTES && mode != AP_MODE_SPECULATIVE
                             && mode != AP_MODE_GETLINE))
        return ap_get_brigade(f->next, bb, mode, block, readbytes);
    size_t left = state->body.size() - state->replayed;
    if (left == 0) {
        if (state->bodyComplete) {
            APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(f->c->bucket_alloc));
            return APR_SUCCESS;
        }
        return ap_get_brigade(f->next, bb, mode, block, readbytes);
    }
    size_t n = readbytes > 0 && static_cast<size_t>(readbytes) < left ? static_cast<size_t>(readbytes)
                                                                       : left;
    if (mode == AP_MODE_GETLINE) {
        const void* nl = std::memchr(state->body.data() + state->replayed, '\n', n);
        if (nl != nullptr)
            n = static_cast<size_t>(static_cast<const char*>(nl) - (state->body.data() + state->replayed)) + 1;
    }
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_heap_create(state->body.data() + state->replayed, n,
                                                       nullptr, f->c->bucket_alloc));
    if (mode != AP_MODE_SPECULATIVE)
        state->replayed += n;
    return APR_SUCCESS;
}

// The response of a request this module decided, shown to the
// authorization server before its first byte goes out.
struct ResponseFilterState {
    bool inspected = false;
    // The response was replaced: the handler's own body is dropped.
    bool discarding = false;
};

int inspectResponse(ap_filter_t* f, ResponseFilterState* ctx)
{
    request_rec* r = f->r;
    QORApacheRequestState* state = QORApacheRequestState::of(r, false);
    if (state == nullptr || g_core == nullptr)
        return OK;
    QORApacheTransaction trans(r, state, optionsFor(r));
    if (trans.request().server() == nullptr)
        return HTTP_INTERNAL_SERVER_ERROR;
    fillSSL(r, trans);
    std::shared_lock<std::shared_mutex> lock(g_coreLock);
    if (!g_core->isInitialized())
        return OK;
    QORStatus st = g_core->handleRsp(&trans);
    lock.unlock();
    if (state->refused)
        return HTTP_INTERNAL_SERVER_ERROR;
    if (st != qor_s_ok) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "dxqor: the response was not inspected (status %#x)",
                      (unsigned int)st);
        return OK;
    }
    switch (trans.getResult()) {
    case qor_continue:
    case qor_continue_uninteresting:
        trans.response().overrideHeaders();
        return OK;
    case qor_send_rsp_to_client:
        ctx->discarding = true;
        return trans.response().replace(f->next, 0) == OK ? DONE : HTTP_INTERNAL_SERVER_ERROR;
    case qor_send_default_rsp_to_client:
        ctx->discarding = true;
        return trans.response().replace(f->next, trans.response().defaultStatus()) == OK
                   ? DONE
                   : HTTP_INTERNAL_SERVER_ERROR;
    default:
        return HTTP_INTERNAL_SERVER_ERROR;
    }
}

apr_status_t responseFilter(ap_filter_t* f, apr_bucket_brigade* bb)
{
    auto* ctx = static_cast<ResponseFilterState*>(f->ctx);
    if (!ctx->inspected) {
        ctx->inspected = true;
        int rc = inspectResponse(f, ctx);
        if (rc != OK && rc != DONE) {
            ctx->discarding = true;
            QORApacheRequestState* state = QORApacheRequestState::of(f->r, false);
            QORApacheOptions options;
            QORApacheResponse failed(f->r, state, options);
            (void)failed.replace(f->next, rc);  // nothing better to send if this fails
        }
    }
    if (!ctx->discarding)
        return ap_pass_brigade(f->next, bb);
    // The replacement went out; of the handler's output only the end of
    // the response (and flushes) still passes.
    for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);) {
        apr_bucket* next = APR_BUCKET_NEXT(b);
        if (!APR_BUCKET_IS_METADATA(b))
            apr_bucket_delete(b);
        b = next;
    }
    return APR_BRIGADE_EMPTY(bb) ? APR_SUCCESS : ap_pass_brigade(f->next, bb);
}

void insertFilters(request_rec* r)
{
    QORApacheRequestState* state = QORApacheRequestState::of(r, false);
    if (state == nullptr || !state->decided || r->main != nullptr
        || serverConfig(r->server)->inspectResponses != 1)
        return;
    void* mem = apr_pcalloc(r->pool, sizeof(ResponseFilterState));
    ap_add_output_filter("DXQOR_RSP", new (mem) ResponseFilterState, r, r->connection);
}

void registerHooks(apr_pool_t*)
{
    ap_hook_post_config(postConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_child_init(childInit, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_optional_fn_retrieve(retrieveOptionalFunctions, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_post_read_request(postReadRequest, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    // Before Apache's own TRACE answer, which runs in the middle.
    ap_hook_map_to_storage(mapToStorage, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    ap_hook_access_checker(accessChecker, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    ap_hook_handler(redirectHandler, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    ap_hook_handler(qor_apache_status_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_register_input_filter("DXQOR_BODY", bodyFilter, nullptr, AP_FTYPE_RESOURCE);
    ap_hook_insert_filter(insertFilters, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Before the content-set filters (deflate) so that the answer sees the
    // handler's headers and a replacement is still compressed as usual.
    ap_register_output_filter("DXQOR_RSP", responseFilter, nullptr,
                              static_cast<ap_filter_type>(AP_FTYPE_CONTENT_SET - 1));
}

} // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA dxqor_module = {
    STANDARD20_MODULE_STUFF,
    createDirConfig,
    mergeDirConfig,
    createServerConfig,
    mergeServerConfig,
    kCommands,
    registerHooks,
#if defined(AP_MODULE_FLAG_ALWAYS_MERGE)
    AP_MODULE_FLAG_NONE,
#endif
};
}
