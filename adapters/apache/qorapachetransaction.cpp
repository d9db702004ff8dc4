// qorapachetransaction.cpp: the transaction model over request_rec.
#include "qorapachetransaction.h"

#include <sys/stat.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "apr_strings.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"

extern "C" module AP_MODULE_DECLARE_DATA dxqor_module;

#ifdef APLOG_USE_MODULE
APLOG_USE_MODULE(dxqor);
#endif

namespace {

const char* dup(apr_pool_t* pool, const QORStringRefT<char>& s)
{
    return apr_pstrmemdup(pool, s.data() ? s.data() : "", static_cast<apr_size_t>(s.length()));
}

apr_status_t deleteState(void* p)
{
    delete static_cast<QORApacheRequestState*>(p);
    return APR_SUCCESS;
}

// Logs the text of the answer that was refused and marks the request, which
// then fails whatever the core made of the command.
QORStatus refuseText(request_rec* r, QORApacheRequestState* state, const char* what,
                     const QORStringRefT<char>& text)
{
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                  "dxqor: the authorization server's %s was refused: %s", what,
                  ap_escape_logitem(r->pool, dup(r->pool, text)));
    state->refused = true;
    return qor_s_invalid_argument;
}

// A header name Apache must keep to itself: the framing of the message.
bool isFramingHeader(const char* name)
{
    return strcasecmp(name, "Content-Length") == 0 || strcasecmp(name, "Transfer-Encoding") == 0;
}

} // namespace

QORApacheRequestState* QORApacheRequestState::of(request_rec* r, bool create)
{
    auto* state = static_cast<QORApacheRequestState*>(
        ap_get_module_config(r->request_config, &dxqor_module));
    if (state != nullptr || !create)
        return state;
    state = new (std::nothrow) QORApacheRequestState;
    if (state == nullptr)
        return nullptr;
    apr_pool_cleanup_register(r->pool, state, deleteState, apr_pool_cleanup_null);
    ap_set_module_config(r->request_config, &dxqor_module, state);
    return state;
}

// Server.

QORApacheServer::QORApacheServer(request_rec* r, const char* vhostID)
    : m_r(r)
    , m_vhostID(vhostID)
{
}

QORStatus QORApacheServer::getVHostID(QORStringRef* id)
{
    const char* v = m_vhostID ? m_vhostID : m_r->server->server_hostname;
    if (v == nullptr)
        return qor_s_not_available;
    id->set(v);
    return qor_s_ok;
}

QORStatus QORApacheServer::getName(QORStringRef* name)
{
    const char* v = ap_get_server_name(m_r);
    if (v == nullptr)
        return qor_s_not_available;
    name->set(v);
    return qor_s_ok;
}

QORStatus QORApacheServer::getPort(int* port)
{
    *port = static_cast<int>(ap_get_server_port(m_r));
    return *port >= 1 && *port <= 65535 ? qor_s_ok : qor_s_not_available;
}

// SSL session.

QORStatus QORApacheSSLSession::getID(QORBuffer* id)
{
    if (m_id == nullptr || *m_id == '\0')
        return qor_s_not_available;
    id->set(reinterpret_cast<const unsigned char*>(m_id), static_cast<int>(std::strlen(m_id)));
    return qor_s_ok;
}

// Request.

QORApacheRequest::QORApacheRequest(request_rec* r, QORApacheRequestState* state,
                                   const QORApacheOptions& options)
    : m_r(r)
    , m_state(state)
    , m_options(options)
{
}

QORStatus QORApacheRequest::refuse(const char* what, const QORStringRefT<char>& text)
{
    return refuseText(m_r, m_state, what, text);
}

QORStatus QORApacheRequest::nextValue(const char** value)
{
    if (m_lastName == nullptr)
        return qor_s_not_available;
    const apr_array_header_t* arr = apr_table_elts(m_r->headers_in);
    auto* e = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
    for (int i = m_nextIndex; i < arr->nelts; ++i) {
        if (e[i].key != nullptr && strcasecmp(e[i].key, m_lastName) == 0) {
            m_nextIndex = i + 1;
            *value = e[i].val;
            return qor_s_ok;
        }
    }
    m_nextIndex = arr->nelts;
    return qor_s_not_available;
}

QORStatus QORApacheRequest::getUTF8Header(const QORStringRef& name, QORStringRef* value)
{
    m_lastName = dup(m_r->pool, name);
    m_nextIndex = 0;
    const char* v = nullptr;
    QORStatus st = nextValue(&v);
    if (st == qor_s_ok)
        value->set(v);
    return st;
}

QORStatus QORApacheRequest::getNCPHeader(const QORStringRef& name, QORNCPStringRef* value)
{
    QORStringRef v;
    QORStatus st = getUTF8Header(name, &v);
    if (st == qor_s_ok)
        value->set(v.data(), v.length());
    return st;
}

QORStatus QORApacheRequest::getNextUTF8Header(QORStringRef* value)
{
    const char* v = nullptr;
    QORStatus st = nextValue(&v);
    if (st == qor_s_ok)
        value->set(v);
    return st;
}

QORStatus QORApacheRequest::getNextNCPHeader(QORNCPStringRef* value)
{
    const char* v = nullptr;
    QORStatus st = nextValue(&v);
    if (st == qor_s_ok)
        value->set(v);
    return st;
}

QORStatus QORApacheRequest::putHeader(const QORStringRef& name,
                                      const QORStringRefT<char>& value, bool add)
{
    if (!qor_answer_header_name(name.data(), name.length()))
        return refuse("request header name", name);
    if (!qor_answer_header_value(m_options.limits, value.data(), value.length()))
        return refuse("request header value", value);
    const char* n = dup(m_r->pool, name);
    if (isFramingHeader(n))
        return refuse("request header", name);
    if (add)
        apr_table_add(m_r->headers_in, n, dup(m_r->pool, value));
    else
        apr_table_set(m_r->headers_in, n, dup(m_r->pool, value));
    return qor_s_ok;
}

QORStatus QORApacheRequest::setHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return putHeader(name, value, false);
}

QORStatus QORApacheRequest::addHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return putHeader(name, value, true);
}

QORStatus QORApacheRequest::getCookie(const QORStringRef&, QORNCPStringRef*, QORNCPStringRef*,
                                      QORNCPStringRef*, int*)
{
    return qor_s_not_supported;
}

QORStatus QORApacheRequest::setCookie(const QORStringRef&, const QORStringRefT<char>&,
                                      const QORStringRefT<char>*, const QORStringRefT<char>*, int)
{
    return qor_s_not_supported;
}

QORStatus QORApacheRequest::removeHeader(const QORStringRef& name)
{
    if (!qor_answer_header_name(name.data(), name.length()))
        return refuse("request header name", name);
    apr_table_unset(m_r->headers_in, dup(m_r->pool, name));
    return qor_s_ok;
}

QORStatus QORApacheRequest::getQuery(QORStringRef* query)
{
    if (m_r->args == nullptr)
        return qor_s_not_available;
    query->set(m_r->args);
    return qor_s_ok;
}

QORStatus QORApacheRequest::setQuery(const QORStringRef& query)
{
    if (!qor_answer_query(m_options.limits, query.data(), query.length()))
        return refuse("query", query);
    m_r->args = const_cast<char*>(dup(m_r->pool, query));
    return qor_s_ok;
}

QORStatus QORApacheRequest::getURI(QORStringRef* uri)
{
    if (m_r->uri == nullptr)
        return qor_s_not_available;
    // A directory is named without its trailing slash: the library takes
    // the parent of "/a/b/" to be "/a", so "/admin/" would otherwise be
    // decided by the object above /admin, not by /admin.
    int length = static_cast<int>(std::strlen(m_r->uri));
    while (length > 1 && m_r->uri[length - 1] == '/')
        --length;
    uri->set(m_r->uri, length);
    return qor_s_ok;
}

QORStatus QORApacheRequest::setURI(const QORStringRef& uri)
{
    // Apache's r->uri is the decoded path; the redirect escapes it again.
    char* v = static_cast<char*>(apr_palloc(m_r->pool, static_cast<apr_size_t>(uri.length()) + 1));
    size_t length = 0;
    if (!qor_answer_path(m_options.limits, uri.data(), uri.length(), v, &length))
        return refuse("URI", uri);
    v[length] = '\0';
    if (std::strcmp(v, m_r->uri) != 0) {
        m_r->uri = v;
        m_state->redirectTo = v;
    }
    return qor_s_ok;
}

QORStatus QORApacheRequest::getClientIP(QORStringRef& address)
{
    const char* ip = m_r->useragent_ip ? m_r->useragent_ip : m_r->connection->client_ip;
    if (ip == nullptr)
        return qor_s_not_available;
    address.set(ip);
    return qor_s_ok;
}

QORStatus QORApacheRequest::getSecurity(int* level)
{
    *level = m_secure ? 1 : 0;
    return qor_s_ok;
}

QORStatus QORApacheRequest::getMethod(QORHTTPMethod* method)
{
    QORHTTP::getMethod(QORStringRefT<char>(m_r->method), method);
    return qor_s_ok;
}

QORStatus QORApacheRequest::getMethod(QORStringRef* method)
{
    method->set(m_r->method);
    return qor_s_ok;
}

QORStatus QORApacheRequest::setMethod(QORHTTPMethod method)
{
    if (method == qor_method_unrecognized)
        return qor_s_invalid_argument;
    QORStringRefT<char> name;
    QORHTTP::getMethodName(method, &name);
    return setMethod(QORStringRef(name));
}

QORStatus QORApacheRequest::setMethod(const QORStringRef& method)
{
    if (!qor_answer_method(method.data(), method.length()))
        return refuse("method", method);
    m_r->method = dup(m_r->pool, method);
    m_r->method_number = ap_method_number_of(m_r->method);
    m_r->header_only = m_r->method_number == M_GET && std::strcmp(m_r->method, "HEAD") == 0;
    return qor_s_ok;
}

QORStatus QORApacheRequest::getVersion(QORStringRef* version)
{
    version->set(m_r->protocol ? m_r->protocol : "HTTP/1.0");
    return qor_s_ok;
}

QORStatus QORApacheRequest::setVersion(const QORStringRef& version)
{
    int major = 0, minor = 0;
    if (!qor_answer_version(version.data(), version.length(), &major, &minor))
        return refuse("version", version);
    m_r->protocol = const_cast<char*>(dup(m_r->pool, version));
    m_r->proto_num = HTTP_VERSION(major, minor);
    return qor_s_ok;
}

QORStatus QORApacheRequest::getPostData(QORBuffer* data)
{
    if (m_state->body.empty())
        return qor_s_not_available;
    data->set(reinterpret_cast<const unsigned char*>(m_state->body.data()),
              static_cast<int>(m_state->body.size()));
    return qor_s_ok;
}

QORStatus QORApacheRequest::setBody(const QORBuffer& body)
{
    // The client's body is read to its end first so that nothing of it
    // follows the new one.
    QORStatus st = readMoreBody();
    if (st != qor_s_ok)
        return st;
    m_state->body.assign(reinterpret_cast<const char*>(body.getData()),
                         static_cast<size_t>(body.getLen()));
    m_state->replayed = 0;
    apr_table_unset(m_r->headers_in, "Transfer-Encoding");
    apr_table_setn(m_r->headers_in, "Content-Length",
                   apr_psprintf(m_r->pool, "%" APR_SIZE_T_FMT, m_state->body.size()));
    return qor_s_ok;
}

QORStatus QORApacheRequest::retrieveBody(int length)
{
    if (m_state->bodyComplete)
        return qor_s_ok;
    if (!m_state->filterAdded) {
        m_state->source = m_r->input_filters;
        ap_add_input_filter("DXQOR_BODY", m_state, m_r, m_r->connection);
        m_state->filterAdded = true;
    }
    size_t want = length > 0 ? static_cast<size_t>(length) : static_cast<size_t>(m_options.maxBody);
    if (want > static_cast<size_t>(m_options.maxBody))
        want = static_cast<size_t>(m_options.maxBody);
    apr_bucket_brigade* bb = apr_brigade_create(m_r->pool, m_r->connection->bucket_alloc);
    while (!m_state->bodyComplete && m_state->body.size() < want) {
        apr_status_t rv = ap_get_brigade(m_state->source, bb, AP_MODE_READBYTES, APR_BLOCK_READ,
                                         static_cast<apr_off_t>(want - m_state->body.size()));
        if (rv != APR_SUCCESS) {
            ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, m_r, "dxqor: reading the request body failed");
            apr_brigade_destroy(bb);
            return qor_s_system_call_failed;
        }
        bool progress = false;
        for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
             b = APR_BUCKET_NEXT(b)) {
            if (APR_BUCKET_IS_EOS(b)) {
                m_state->bodyComplete = true;
                break;
            }
            const char* data = nullptr;
            apr_size_t n = 0;
            if (apr_bucket_read(b, &data, &n, APR_BLOCK_READ) == APR_SUCCESS && n > 0) {
                m_state->body.append(data, n);
                progress = true;
            }
        }
        apr_brigade_cleanup(bb);
        if (!progress && !m_state->bodyComplete)
            break;
    }
    apr_brigade_destroy(bb);
    // Read to its end, the body is described by its length alone, so that
    // the raw request (and a CGI's CONTENT_LENGTH) tells a chunked body's
    // true size.
    if (m_state->bodyComplete) {
        apr_table_unset(m_r->headers_in, "Transfer-Encoding");
        apr_table_setn(m_r->headers_in, "Content-Length",
                       apr_psprintf(m_r->pool, "%" APR_SIZE_T_FMT, m_state->body.size()));
    }
    return qor_s_ok;
}

QORStatus QORApacheRequest::readMoreBody()
{
    return retrieveBody(static_cast<int>(m_options.maxBody));
}

QORStatus QORApacheRequest::getHTTPBuffer(QORBuffer* buffer)
{
    // Apache keeps the parsed request, not its bytes: the head is written
    // again from the request line and the headers as they are now.
    m_http.clear();
    const char* line = m_r->the_request ? m_r->the_request : "";
    bool ok = m_http.append(line, -1) && m_http.append("\r\n", 2);
    const apr_array_header_t* arr = apr_table_elts(m_r->headers_in);
    auto* e = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
    for (int i = 0; ok && i < arr->nelts; ++i) {
        if (e[i].key == nullptr)
            continue;
        ok = m_http.append(e[i].key, -1) && m_http.append(": ", 2)
             && m_http.append(e[i].val ? e[i].val : "", -1) && m_http.append("\r\n", 2);
    }
    ok = ok && m_http.append("\r\n", 2)
         && m_http.append(m_state->body.data(), static_cast<int>(m_state->body.size()));
    if (!ok)
        return qor_s_no_memory;
    buffer->set(reinterpret_cast<const unsigned char*>(m_http.data()), m_http.length());
    return qor_s_ok;
}

QORStatus QORApacheRequest::getConnectionID(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORApacheRequest::setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                                          const QORStringRef& third)
{
    for (const QORStringRef* s : {&first, &second, &third})
        if (!qor_answer_header_value(m_options.limits, s->data(), s->length()))
            return refuse("log user", *s);
    const QORStringRef& user = !first.isEmpty() ? first : !second.isEmpty() ? second : third;
    if (user.isEmpty())
        return qor_s_ok;
    m_r->user = const_cast<char*>(ap_escape_logitem(m_r->pool, dup(m_r->pool, user)));
    return qor_s_ok;
}

// Response.

QORApacheResponse::QORApacheResponse(request_rec* r, QORApacheRequestState* state,
                                     const QORApacheOptions& options)
    : m_r(r)
    , m_state(state)
    , m_options(options)
    , m_headers(apr_table_make(r->pool, 4))
{
}

QORStatus QORApacheResponse::refuse(const char* what, const QORStringRefT<char>& text)
{
    return refuseText(m_r, m_state, what, text);
}

QORStatus QORApacheResponse::putHeader(const QORStringRef& name,
                                       const QORStringRefT<char>& value, bool add)
{
    if (!qor_answer_header_name(name.data(), name.length()))
        return refuse("response header name", name);
    if (!qor_answer_header_value(m_options.limits, value.data(), value.length()))
        return refuse("response header value", value);
    const char* n = dup(m_r->pool, name);
    // Apache frames the response itself: the length the library counted is
    // set again from the real body, and a chunked coding beside it would
    // let a client read two responses from one.
    if (strcasecmp(n, "Content-Length") == 0)
        return qor_s_ok;
    if (isFramingHeader(n))
        return refuse("response header", name);
    if (strcasecmp(n, "Connection") == 0)
        return qor_s_ok;
    if (add)
        apr_table_add(m_headers, n, dup(m_r->pool, value));
    else
        apr_table_set(m_headers, n, dup(m_r->pool, value));
    return qor_s_ok;
}

QORStatus QORApacheResponse::setHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return putHeader(name, value, false);
}

QORStatus QORApacheResponse::addHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return putHeader(name, value, true);
}

QORStatus QORApacheResponse::setCookie(const QORStringRef&, const QORStringRefT<char>&,
                                       const QORStringRefT<char>*, const QORStringRefT<char>*, int)
{
    return qor_s_not_supported;
}

QORStatus QORApacheResponse::appendBody(const QORBuffer& piece)
{
    m_body.append(reinterpret_cast<const char*>(piece.getData()), static_cast<size_t>(piece.getLen()));
    return qor_s_ok;
}

QORStatus QORApacheResponse::setBodyFromFile(const char* fileName)
{
    QORStringRefT<char> name(fileName);
    if (m_options.bodyFileDir == nullptr)
        return refuse("body file (no DxqorBodyFileDir)", name);
    char real[PATH_MAX];
    struct stat st;
    if (!qor_answer_body_file(m_options.bodyFileDir, fileName, real) || stat(real, &st) != 0
        || !S_ISREG(st.st_mode))
        return refuse("body file", name);
    m_bodyFile = apr_pstrdup(m_r->pool, real);
    return qor_s_ok;
}

QORStatus QORApacheResponse::getCode(int* code)
{
    *code = m_code;
    return qor_s_ok;
}

QORStatus QORApacheResponse::setCode(int code)
{
    // Either kind of response: a default one is narrowed in defaultStatus.
    if (!qor_answer_built_status(code))
        return refuse("status code", QORStringRefT<char>(apr_itoa(m_r->pool, code)));
    m_code = code;
    return qor_s_ok;
}

QORStatus QORApacheResponse::setContentType(const QORStringRef& type)
{
    if (type.isEmpty() || !qor_answer_header_value(m_options.limits, type.data(), type.length()))
        return refuse("content type", type);
    m_contentType = dup(m_r->pool, type);
    return qor_s_ok;
}

QORStatus QORApacheResponse::setKeepAlive()
{
    // Apache decides on keep-alive from the connection itself.
    m_keepAlive = true;
    return qor_s_ok;
}

QORStatus QORApacheResponse::setUseDefaultResponse(bool useDefault)
{
    m_useDefaultResponse = useDefault;
    return qor_s_ok;
}

QORStatus QORApacheResponse::beginNew()
{
    clear();
    return qor_s_ok;
}

void QORApacheResponse::clear()
{
    m_body.clear();
    m_bodyFile = nullptr;
    m_contentType = nullptr;
    m_code = 0;
    m_useDefaultResponse = false;
    m_keepAlive = false;
    apr_table_clear(m_headers);
}

QORStatus QORApacheResponse::setBodyToDefault()
{
    m_body.clear();
    m_bodyFile = nullptr;
    return qor_s_ok;
}

QORStatus QORApacheResponse::getHTTPBuffer(QORBuffer* buffer)
{
    int status = m_r->status != 0 ? m_r->status : HTTP_OK;
    const char* line = ap_get_status_line(status);
    m_http.assign(m_r->protocol ? m_r->protocol : "HTTP/1.1");
    m_http += ' ';
    m_http += line ? line : apr_itoa(m_r->pool, status);
    m_http += "\r\n";
    for (apr_table_t* t : {m_r->headers_out, m_r->err_headers_out}) {
        const apr_array_header_t* arr = apr_table_elts(t);
        auto* e = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
        for (int i = 0; i < arr->nelts; ++i) {
            if (e[i].key == nullptr)
                continue;
            m_http.append(e[i].key).append(": ").append(e[i].val ? e[i].val : "").append("\r\n");
        }
    }
    if (m_r->content_type != nullptr && apr_table_get(m_r->headers_out, "Content-Type") == nullptr)
        m_http.append("Content-Type: ").append(m_r->content_type).append("\r\n");
    m_http += "\r\n";
    buffer->set(reinterpret_cast<const unsigned char*>(m_http.data()), static_cast<int>(m_http.size()));
    return qor_s_ok;
}

int QORApacheResponse::replace(ap_filter_t* next, int defaultCode)
{
    apr_table_clear(m_r->headers_out);
    m_r->content_type = nullptr;
    commitHeaders();
    int code = defaultCode != 0 ? defaultCode : m_code != 0 ? m_code : HTTP_OK;
    m_r->status = code;
    m_r->status_line = nullptr;
    apr_bucket_alloc_t* ba = m_r->connection->bucket_alloc;
    apr_bucket_brigade* bb = apr_brigade_create(m_r->pool, ba);
    apr_off_t length = 0;
    if (defaultCode != 0) {
        // The error page Apache would write itself; ErrorDocument is not
        // consulted once the handler has started.
        const char* line = ap_get_status_line(code);
        const char* page = apr_psprintf(m_r->pool, "<html><body><h1>%s</h1></body></html>\n",
                                        ap_escape_html(m_r->pool, line ? line : ""));
        ap_set_content_type(m_r, "text/html; charset=iso-8859-1");
        length = static_cast<apr_off_t>(std::strlen(page));
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_pool_create(page, static_cast<apr_size_t>(length),
                                                           m_r->pool, ba));
    } else {
        if (m_contentType != nullptr)
            ap_set_content_type(m_r, m_contentType);
        if (!m_body.empty()) {
            char* copy = apr_pstrmemdup(m_r->pool, m_body.data(), m_body.size());
            APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_pool_create(copy, m_body.size(), m_r->pool, ba));
            length += static_cast<apr_off_t>(m_body.size());
        }
        if (m_bodyFile != nullptr) {
            apr_file_t* file = nullptr;
            apr_finfo_t info;
            apr_status_t rv = apr_file_open(&file, m_bodyFile, APR_READ | APR_BINARY, 0, m_r->pool);
            if (rv == APR_SUCCESS)
                rv = apr_file_info_get(&info, APR_FINFO_SIZE, file);
            if (rv != APR_SUCCESS) {
                ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, m_r, "dxqor: cannot open body file %s",
                              m_bodyFile);
                return HTTP_INTERNAL_SERVER_ERROR;
            }
            apr_brigade_insert_file(bb, file, 0, info.size, m_r->pool);
            length += info.size;
        }
    }
    ap_set_content_length(m_r, length);
    return ap_pass_brigade(next, bb) == APR_SUCCESS ? OK : HTTP_INTERNAL_SERVER_ERROR;
}

void QORApacheResponse::overrideHeaders()
{
    apr_table_overlap(m_r->headers_out, m_headers, APR_OVERLAP_TABLES_SET);
}

void QORApacheResponse::commitHeaders()
{
    apr_table_overlap(m_r->err_headers_out, m_headers, APR_OVERLAP_TABLES_MERGE);
    const char* location = apr_table_get(m_headers, "Location");
    if (location != nullptr)
        apr_table_set(m_r->headers_out, "Location", location);
}

int QORApacheResponse::defaultStatus() const
{
    return qor_answer_default_status(m_code) ? m_code : HTTP_INTERNAL_SERVER_ERROR;
}

int QORApacheResponse::send()
{
    commitHeaders();
    m_r->status = m_code != 0 ? m_code : HTTP_OK;
    if (m_contentType != nullptr)
        ap_set_content_type(m_r, m_contentType);
    if (m_bodyFile != nullptr) {
        apr_file_t* file = nullptr;
        apr_finfo_t info;
        apr_status_t rv = apr_file_open(&file, m_bodyFile, APR_READ | APR_BINARY, 0, m_r->pool);
        if (rv == APR_SUCCESS)
            rv = apr_file_info_get(&info, APR_FINFO_SIZE, file);
        if (rv != APR_SUCCESS) {
            ap_log_rerror(APLOG_MARK, APLOG_ERR, rv, m_r, "dxqor: cannot open body file %s",
                          m_bodyFile);
            return HTTP_INTERNAL_SERVER_ERROR;
        }
        // The file's own length: the library counted the name, not the file.
        ap_set_content_length(m_r, info.size + static_cast<apr_off_t>(m_body.size()));
        if (!m_body.empty())
            ap_rwrite(m_body.data(), static_cast<int>(m_body.size()), m_r);
        apr_size_t sent = 0;
        ap_send_fd(file, m_r, 0, static_cast<apr_size_t>(info.size), &sent);
        return DONE;
    }
    ap_set_content_length(m_r, static_cast<apr_off_t>(m_body.size()));
    if (!m_body.empty())
        ap_rwrite(m_body.data(), static_cast<int>(m_body.size()), m_r);
    return DONE;
}

// Transaction.

QORApacheTransaction::QORApacheTransaction(request_rec* r, QORApacheRequestState* state,
                                           const QORApacheOptions& options)
    : QORTransaction(nullptr)
    , m_r(r)
    , m_req(r, state, options)
    , m_rsp(r, state, options)
{
    m_request = &m_req;
    m_response = &m_rsp;
    m_req.adoptServer(std::unique_ptr<QORServer>(new (std::nothrow) QORApacheServer(r, options.vhostID)));
}

QORApacheTransaction::~QORApacheTransaction() = default;

QORStatus QORApacheTransaction::logText(qor_log_levels_e level, const char* text)
{
    int apLevel = level == qor_log_level_error     ? APLOG_ERR
                  : level == qor_log_level_warning ? APLOG_WARNING
                                                   : APLOG_INFO;
    ap_log_rerror(APLOG_MARK, apLevel, 0, m_r, "dxqor: %s", text);
    return qor_s_ok;
}

QORStatus QORApacheTransaction::prepareForRetry()
{
    m_rsp.clear();
    return qor_s_ok;
}
