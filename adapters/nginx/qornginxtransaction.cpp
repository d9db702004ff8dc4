#include "qornginxtransaction.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>

#include <exception>
#include <new>

namespace {

std::string text(const ngx_str_t& s)
{
    return std::string(reinterpret_cast<const char*>(s.data), s.len);
}

std::string text(const QORStringRefT<char>& s)
{
    return std::string(s.data(), static_cast<size_t>(s.length()));
}

bool sameName(const std::string& a, const QORStringRefT<char>& b)
{
    return a.size() == static_cast<size_t>(b.length())
           && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Runs body, which may allocate; its status, or qor_s_no_memory when an
// allocation threw.
template <class F>
QORStatus noThrow(F&& body) noexcept
{
    try {
        return body();
    } catch (const std::exception&) {
        return qor_s_no_memory;
    }
}

} // namespace

QORStatus QORNginxServer::getVHostID(QORStringRef* id)
{
    *id = QORStringRef(m_vhostID.data(), static_cast<int>(m_vhostID.size()));
    return qor_s_ok;
}

QORStatus QORNginxServer::getName(QORStringRef* name)
{
    *name = QORStringRef(m_name.data(), static_cast<int>(m_name.size()));
    return qor_s_ok;
}

QORStatus QORNginxServer::getPort(int* port)
{
    *port = m_port;
    return qor_s_ok;
}

// Request.

QORNginxRequest::QORNginxRequest(ngx_http_request_t* r, const ngx_str_t& vhostID)
    : m_r(r)
{
    ngx_connection_t* c = r->connection;
    ngx_http_core_srv_conf_t* cscf =
        static_cast<ngx_http_core_srv_conf_t*>(ngx_http_get_module_srv_conf(r, ngx_http_core_module));
    std::string serverName = text(cscf->server_name);
    std::string host = r->headers_in.server.len ? text(r->headers_in.server) : serverName;
    int port = 0;
    if (ngx_connection_local_sockaddr(c, nullptr, 0) == NGX_OK)
        port = ngx_inet_get_port(c->local_sockaddr);
    std::string id = vhostID.len ? text(vhostID) : serverName;
    adoptServer(std::make_unique<QORNginxServer>(id, host, port));
    m_clientIP = text(c->addr_text);
#if (NGX_HTTP_SSL)
    if (c->ssl != nullptr)
        adoptSSLSession(std::make_unique<QORSSLSession>());
#endif
}

void QORNginxRequest::copyHeaders()
{
    if (m_headersCopied)
        return;
    m_headersCopied = true;
    for (ngx_list_part_t* part = &m_r->headers_in.headers.part; part; part = part->next) {
        ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(part->elts);
        for (ngx_uint_t i = 0; i < part->nelts; i++)
            if (h[i].hash != 0)
                headers.push_back({text(h[i].key), text(h[i].value), &h[i], false, false});
    }
}

QORStatus QORNginxRequest::findHeader(const QORStringRef& name, size_t from,
                                      const std::string** value)
{
    copyHeaders();
    for (size_t i = from; i < headers.size(); i++) {
        if (!headers[i].removed && sameName(headers[i].name, name)) {
            m_iterName = text(name);
            m_iterNext = i + 1;
            *value = &headers[i].value;
            return qor_s_ok;
        }
    }
    m_iterNext = headers.size();
    return qor_s_not_available;
}

QORStatus QORNginxRequest::getUTF8Header(const QORStringRef& name, QORStringRef* value)
{
    return noThrow([&]() -> QORStatus {
        const std::string* found;
        QORStatus st = findHeader(name, 0, &found);
        if (st == qor_s_ok)
            *value = QORStringRef(found->data(), static_cast<int>(found->size()));
        return st;
    });
}

QORStatus QORNginxRequest::getNCPHeader(const QORStringRef& name, QORNCPStringRef* value)
{
    return noThrow([&]() -> QORStatus {
        const std::string* found;
        QORStatus st = findHeader(name, 0, &found);
        if (st == qor_s_ok)
            *value = QORNCPStringRef(found->data(), static_cast<int>(found->size()));
        return st;
    });
}

QORStatus QORNginxRequest::getNextUTF8Header(QORStringRef* value)
{
    return noThrow([&]() -> QORStatus {
        const std::string* found;
        std::string name = m_iterName;
        QORStatus st = findHeader(QORStringRef(name.data(), static_cast<int>(name.size())),
                                  m_iterNext, &found);
        if (st == qor_s_ok)
            *value = QORStringRef(found->data(), static_cast<int>(found->size()));
        return st;
    });
}

QORStatus QORNginxRequest::getNextNCPHeader(QORNCPStringRef* value)
{
    QORStringRef utf8;
    QORStatus st = getNextUTF8Header(&utf8);
    if (st == qor_s_ok)
        *value = QORNCPStringRef(utf8.data(), utf8.length());
    return st;
}

QORStatus QORNginxRequest::setHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    QORStatus st = removeHeader(name);
    if (st != qor_s_ok)
        return st;
    return addHeader(name, value);
}

QORStatus QORNginxRequest::addHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return noThrow([&]() -> QORStatus {
        copyHeaders();
        headers.push_back({text(name), text(value), nullptr, true, false});
        headersChanged = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getCookie(const QORStringRef&, QORNCPStringRef*, QORNCPStringRef*,
                                     QORNCPStringRef*, int*)
{
    return qor_s_not_supported;
}

QORStatus QORNginxRequest::setCookie(const QORStringRef&, const QORStringRefT<char>&,
                                     const QORStringRefT<char>*, const QORStringRefT<char>*, int)
{
    return qor_s_not_supported;
}

QORStatus QORNginxRequest::removeHeader(const QORStringRef& name)
{
    return noThrow([&]() -> QORStatus {
        copyHeaders();
        for (QORNginxHeader& h : headers) {
            if (!h.removed && sameName(h.name, name)) {
                h.removed = true;
                headersChanged = true;
            }
        }
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getQuery(QORStringRef* out)
{
    if (querySet) {
        *out = QORStringRef(query.data(), static_cast<int>(query.size()));
        return qor_s_ok;
    }
    if (m_r->args.len == 0 && (m_r->args_start == nullptr || m_r->args.data == nullptr))
        return qor_s_not_available;
    *out = QORStringRef(reinterpret_cast<const char*>(m_r->args.data),
                        static_cast<int>(m_r->args.len));
    return qor_s_ok;
}

QORStatus QORNginxRequest::setQuery(const QORStringRef& value)
{
    return noThrow([&]() -> QORStatus {
        query = text(value);
        querySet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getURI(QORStringRef* out)
{
    if (uriSet)
        *out = QORStringRef(uri.data(), static_cast<int>(uri.size()));
    else
        *out = QORStringRef(reinterpret_cast<const char*>(m_r->uri.data),
                            static_cast<int>(m_r->uri.len));
    return qor_s_ok;
}

QORStatus QORNginxRequest::setURI(const QORStringRef& value)
{
    return noThrow([&]() -> QORStatus {
        uri = text(value);
        uriSet = true;
        m_fullURLBuilt = false;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getClientIP(QORStringRef& address)
{
    address = QORStringRef(m_clientIP.data(), static_cast<int>(m_clientIP.size()));
    return qor_s_ok;
}

QORStatus QORNginxRequest::getSecurity(int* level)
{
    *level = sslSession() != nullptr ? 1 : 0;
    return qor_s_ok;
}

QORStatus QORNginxRequest::getMethod(QORHTTPMethod* out)
{
    QORStringRef name;
    QORStatus st = getMethod(&name);
    if (st == qor_s_ok)
        *out = QORHTTP::getMethod(name.data(), name.length());
    return st;
}

QORStatus QORNginxRequest::getMethod(QORStringRef* out)
{
    if (methodSet)
        *out = QORStringRef(method.data(), static_cast<int>(method.size()));
    else
        *out = QORStringRef(reinterpret_cast<const char*>(m_r->method_name.data),
                            static_cast<int>(m_r->method_name.len));
    return qor_s_ok;
}

QORStatus QORNginxRequest::setMethod(QORHTTPMethod value)
{
    return noThrow([&]() -> QORStatus {
        QORStringRefT<char> name;
        QORHTTP::getMethodName(value, &name);
        if (name.length() <= 0)
            return qor_s_not_supported;
        method = text(name);
        methodSet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::setMethod(const QORStringRef& value)
{
    return noThrow([&]() -> QORStatus {
        method = text(value);
        methodSet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getVersion(QORStringRef* out)
{
    if (versionSet)
        *out = QORStringRef(version.data(), static_cast<int>(version.size()));
    else
        *out = QORStringRef(reinterpret_cast<const char*>(m_r->http_protocol.data),
                            static_cast<int>(m_r->http_protocol.len));
    return qor_s_ok;
}

QORStatus QORNginxRequest::setVersion(const QORStringRef& value)
{
    return noThrow([&]() -> QORStatus {
        version = text(value);
        versionSet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getPostData(QORBuffer* data)
{
    if (!m_bodyLoaded)
        return qor_s_not_available;
    data->set(reinterpret_cast<const unsigned char*>(m_body.data()),
              static_cast<int>(m_body.size()));
    return qor_s_ok;
}

QORStatus QORNginxRequest::retrieveBody(int)
{
    return m_bodyLoaded ? qor_s_ok : qor_s_not_available;
}

QORStatus QORNginxRequest::loadBody()
{
    return noThrow([&]() -> QORStatus {
        m_body.clear();
        m_raw.clear();
        ngx_http_request_body_t* rb = m_r->request_body;
        if (rb == nullptr)
            return qor_s_not_available;
        for (ngx_chain_t* cl = rb->bufs; cl; cl = cl->next) {
            ngx_buf_t* b = cl->buf;
            if (!b->in_file) {
                m_body.append(reinterpret_cast<const char*>(b->pos),
                              static_cast<size_t>(b->last - b->pos));
                continue;
            }
            // The temporary file nginx wrote the rest of a large body to.
            off_t offset = b->file_pos;
            while (offset < b->file_last) {
                char chunk[16384];
                size_t want = static_cast<size_t>(
                    std::min<off_t>(static_cast<off_t>(sizeof chunk), b->file_last - offset));
                ssize_t got = pread(b->file->fd, chunk, want, offset);
                if (got <= 0)
                    return qor_s_system_call_failed;
                m_body.append(chunk, static_cast<size_t>(got));
                offset += got;
            }
        }
        m_bodyLoaded = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::getHTTPBuffer(QORBuffer* buffer)
{
    return noThrow([&]() -> QORStatus {
        if (m_raw.empty()) {
            m_raw = text(m_r->request_line);
            m_raw += "\r\n";
            for (ngx_list_part_t* part = &m_r->headers_in.headers.part; part; part = part->next) {
                ngx_table_elt_t* h = static_cast<ngx_table_elt_t*>(part->elts);
                for (ngx_uint_t i = 0; i < part->nelts; i++) {
                    m_raw += text(h[i].key);
                    m_raw += ": ";
                    m_raw += text(h[i].value);
                    m_raw += "\r\n";
                }
            }
            m_raw += "\r\n";
            // The body as far as it was read.
            m_raw += m_body;
        }
        buffer->set(reinterpret_cast<const unsigned char*>(m_raw.data()),
                    static_cast<int>(m_raw.size()));
        return qor_s_ok;
    });
}

QORStatus QORNginxRequest::setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                                         const QORStringRef& third)
{
    return noThrow([&]() -> QORStatus {
        logUser[0] = text(first);
        logUser[1] = text(second);
        logUser[2] = text(third);
        logUserSet = true;
        return qor_s_ok;
    });
}

void QORNginxRequest::resetChanges()
{
    uriSet = querySet = methodSet = versionSet = headersChanged = logUserSet = false;
    headers.clear();
    m_headersCopied = false;
    m_iterNext = 0;
    m_fullURLBuilt = false;
}

// Response.

QORStatus QORNginxResponse::setHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return noThrow([&]() -> QORStatus {
        for (size_t i = headers.size(); i-- > 0;)
            if (sameName(headers[i].name, name))
                headers.erase(headers.begin() + static_cast<long>(i));
        headers.push_back({text(name), text(value), true});
        return qor_s_ok;
    });
}

QORStatus QORNginxResponse::addHeader(const QORStringRef& name, const QORStringRefT<char>& value)
{
    return noThrow([&]() -> QORStatus {
        headers.push_back({text(name), text(value), false});
        return qor_s_ok;
    });
}

QORStatus QORNginxResponse::getHTTPBuffer(QORBuffer* buffer)
{
    buffer->set(reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(raw.size()));
    return qor_s_ok;
}

QORStatus QORNginxResponse::setCookie(const QORStringRef&, const QORStringRefT<char>&,
                                      const QORStringRefT<char>*, const QORStringRefT<char>*, int)
{
    return qor_s_not_supported;
}

QORStatus QORNginxResponse::appendBody(const QORBuffer& piece)
{
    return noThrow([&]() -> QORStatus {
        body.append(reinterpret_cast<const char*>(piece.getData()),
                    static_cast<size_t>(piece.getLen()));
        return qor_s_ok;
    });
}

QORStatus QORNginxResponse::setBodyFromFile(const char* fileName)
{
    return noThrow([&]() -> QORStatus {
        bodyFile = fileName;
        bodyFileSet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxResponse::getCode(int* code)
{
    if (m_code == 0)
        return qor_s_not_available;
    *code = m_code;
    return qor_s_ok;
}

QORStatus QORNginxResponse::setCode(int code)
{
    storeCode(code);
    return qor_s_ok;
}

QORStatus QORNginxResponse::setContentType(const QORStringRef& type)
{
    return noThrow([&]() -> QORStatus {
        contentType = text(type);
        contentTypeSet = true;
        return qor_s_ok;
    });
}

QORStatus QORNginxResponse::setUseDefaultResponse(bool useDefault)
{
    m_useDefaultResponse = useDefault;
    return qor_s_ok;
}

QORStatus QORNginxResponse::beginNew()
{
    headers.clear();
    contentType.clear();
    contentTypeSet = false;
    body.clear();
    bodyFile.clear();
    bodyFileSet = false;
    m_code = 0;
    m_useDefaultResponse = false;
    m_keepAlive = false;
    return qor_s_ok;
}

QORStatus QORNginxResponse::setBodyToDefault()
{
    body.clear();
    bodyFile.clear();
    bodyFileSet = false;
    return qor_s_ok;
}

// Transaction.

QORNginxTransaction::QORNginxTransaction(ngx_http_request_t* r, const ngx_str_t& vhostID)
    : QORTransaction(nullptr), request(r, vhostID)
{
    m_request = &request;
    m_response = &response;
}

QORNginxTransaction::~QORNginxTransaction() = default;

QORStatus QORNginxTransaction::logText(qor_log_levels_e, const char* line)
{
    return noThrow([&]() -> QORStatus {
        m_lines.emplace_back(line);
        return qor_s_ok;
    });
}

QORStatus QORNginxTransaction::prepareForRetry()
{
    request.resetChanges();
    return response.beginNew();
}

void QORNginxTransaction::flushLog(ngx_log_t* log)
{
    for (const std::string& line : m_lines)
        ngx_log_error(NGX_LOG_ERR, log, 0, "dxqor: %*s", line.size(), line.data());
    m_lines.clear();
}
