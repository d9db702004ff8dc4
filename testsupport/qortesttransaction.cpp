// qortesttransaction.cpp: the in-memory transaction, its call log and its
// failure rules.
#include "qortesttransaction.h"

#include <algorithm>
#include <memory>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <type_traits>

namespace {

// Arguments for "%.*s": a view's length and characters.
#define QOR_TS(ref) (ref).length(), (ref).data()
// A buffer's bytes as text, cut to what a log line holds.
#define QOR_TB(buf) std::min((buf).getLen(), 64), reinterpret_cast<const char*>((buf).getData())

QORStringRef view(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

std::string text(const QORStringRefT<char>& r)
{
    return std::string(r.data(), static_cast<size_t>(r.length()));
}

const char* yesNo(bool b)
{
    return b ? "true" : "false";
}

} // namespace

// Call log.

void QORTestCallLog::clear()
{
    m_text.clear();
    m_starts.clear();
}

std::string QORTestCallLog::at(int i) const
{
    if (i < 0 || i >= size())
        return std::string();
    size_t start = static_cast<size_t>(m_starts[static_cast<size_t>(i)]);
    size_t end = m_text.find('\n', start);
    return m_text.substr(start, end - start);
}

std::vector<std::string> QORTestCallLog::calls() const
{
    std::vector<std::string> out;
    for (int i = 0; i < size(); i++)
        out.push_back(at(i));
    return out;
}

bool QORTestCallLog::matches(const char* line, int length, const char* pattern)
{
    int n = static_cast<int>(strlen(pattern));
    if (strchr(pattern, '(') != nullptr)
        return n == length && memcmp(line, pattern, static_cast<size_t>(n)) == 0;
    const char* paren = static_cast<const char*>(memchr(line, '(', static_cast<size_t>(length)));
    int opEnd = paren ? static_cast<int>(paren - line) : length;
    if (strchr(pattern, '.') == nullptr) {
        const char* dot = static_cast<const char*>(memchr(line, '.', static_cast<size_t>(opEnd)));
        if (dot != nullptr) {
            int skip = static_cast<int>(dot - line) + 1;
            line += skip;
            opEnd -= skip;
        }
    }
    return n == opEnd && memcmp(line, pattern, static_cast<size_t>(n)) == 0;
}

int QORTestCallLog::find(const char* pattern, int from) const
{
    for (int i = std::max(from, 0); i < size(); i++) {
        size_t start = static_cast<size_t>(m_starts[static_cast<size_t>(i)]);
        size_t end = m_text.find('\n', start);
        if (matches(m_text.data() + start, static_cast<int>(end - start), pattern))
            return i;
    }
    return -1;
}

int QORTestCallLog::count(const char* pattern) const
{
    int n = 0;
    for (int i = find(pattern); i >= 0; i = find(pattern, i + 1))
        n++;
    return n;
}

void QORTestCallLog::failOn(const char* op, QORStatus status, int after)
{
    for (Failure& f : m_failures) {
        if (f.pattern == op) {
            f = Failure{op, status, after, 0};
            return;
        }
    }
    m_failures.push_back(Failure{op, status, after, 0});
}

bool QORTestCallLog::enter(const char* object, const char* op, QORStatus* forced,
                           const char* fmt, ...)
{
    if (!m_recording && m_failures.empty())
        return false;
    char line[kMaxLine];
    int n = snprintf(line, sizeof line, "%s.%s(", object, op);
    if (n < 0 || n >= kMaxLine - 2)
        n = kMaxLine - 2;
    int opEnd = static_cast<int>(strlen(object)) + 1 + static_cast<int>(strlen(op));
    if (m_recording) {
        if (fmt != nullptr) {
            va_list args;
            va_start(args, fmt);
            int m = vsnprintf(line + n, static_cast<size_t>(kMaxLine - 1 - n), fmt, args);
            va_end(args);
            if (m > 0)
                n = std::min(n + m, kMaxLine - 2);
        }
        line[n++] = ')';
        if (m_text.capacity() == 0) {
            m_text.reserve(4096);
            m_starts.reserve(128);
        }
        m_starts.push_back(static_cast<int>(m_text.size()));
        m_text.append(line, static_cast<size_t>(n));
        m_text.push_back('\n');
    }
    for (Failure& f : m_failures) {
        if (!matches(line, opEnd, f.pattern.c_str()))
            continue;
        if (f.seen++ < f.after)
            return false;
        *forced = f.status;
        return true;
    }
    return false;
}

// Records the call and returns the forced status when a rule says so.
#define QOR_TEST_ENTER(...)                                              \
    do {                                                                 \
        QORStatus forced_;                                               \
        if (m_log->enter(m_name, __func__, &forced_, __VA_ARGS__))      \
            return forced_;                                              \
    } while (0)
#define QOR_TEST_RECORD(...)                                             \
    do {                                                                 \
        QORStatus ignored_;                                              \
        m_log->enter(m_name, __func__, &ignored_, __VA_ARGS__);          \
    } while (0)

// Headers.

int QORTestHeaders::find(const QORStringRefT<char>& name, int from) const
{
    for (int i = std::max(from, 0); i < size(); i++) {
        const std::string& n = m_list[static_cast<size_t>(i)].name;
        if (static_cast<int>(n.size()) == name.length()
            && strncasecmp(n.data(), name.data(), n.size()) == 0)
            return i;
    }
    return -1;
}

void QORTestHeaders::add(const QORStringRefT<char>& name, const QORStringRefT<char>& value)
{
    m_list.push_back(QORTestHeader{text(name), text(value)});
}

void QORTestHeaders::add(const char* name, const char* value)
{
    m_list.push_back(QORTestHeader{name, value});
}

void QORTestHeaders::set(const QORStringRefT<char>& name, const QORStringRefT<char>& value)
{
    int first = find(name);
    if (first < 0) {
        add(name, value);
        return;
    }
    m_list[static_cast<size_t>(first)].value.assign(value.data(),
                                                    static_cast<size_t>(value.length()));
    for (int i = find(name, first + 1); i >= 0; i = find(name, i))
        m_list.erase(m_list.begin() + i);
}

bool QORTestHeaders::remove(const QORStringRefT<char>& name)
{
    bool any = false;
    for (int i = find(name); i >= 0; i = find(name, i)) {
        m_list.erase(m_list.begin() + i);
        any = true;
    }
    return any;
}

const char* QORTestHeaders::get(const char* name) const
{
    int i = find(QORStringRef(name));
    return i < 0 ? nullptr : m_list[static_cast<size_t>(i)].value.c_str();
}

int QORTestHeaders::count(const char* name) const
{
    int n = 0;
    QORStringRef key(name);
    for (int i = find(key); i >= 0; i = find(key, i + 1))
        n++;
    return n;
}

// Client certificate.

namespace {
QORStatus certText(const std::string& s, QORStringRef* out)
{
    if (s.empty())
        return qor_s_not_available;
    out->set(s.data(), static_cast<int>(s.size()));
    return qor_s_ok;
}
} // namespace

QORStatus QORTestClientCert::getIssuerDN(QORStringRef* dn)
{
    QOR_TEST_ENTER(nullptr);
    return certText(issuerDN, dn);
}

QORStatus QORTestClientCert::getSubjectDN(QORStringRef* dn)
{
    QOR_TEST_ENTER(nullptr);
    return certText(subjectDN, dn);
}

QORStatus QORTestClientCert::getSerialNumber(QORStringRef* serial)
{
    QOR_TEST_ENTER(nullptr);
    return certText(serialNumber, serial);
}

// Server.

QORStatus QORTestServer::getVHostID(QORStringRef* id)
{
    QOR_TEST_ENTER(nullptr);
    id->set(vhostID.data(), static_cast<int>(vhostID.size()));
    return qor_s_ok;
}

QORStatus QORTestServer::getName(QORStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(name.data(), static_cast<int>(name.size()));
    return qor_s_ok;
}

QORStatus QORTestServer::getPort(int* out)
{
    QOR_TEST_ENTER(nullptr);
    *out = port;
    return qor_s_ok;
}

QORStatus QORTestServer::getPortString(QORStringRefT<char>* out)
{
    QOR_TEST_ENTER(nullptr);
    return QORServer::getPortString(out);
}

// SSL session.

QORStatus QORTestSSLSession::getID(QORBuffer* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORSSLSession::getID(out);
    if (id.empty())
        return qor_s_not_available;
    out->set(reinterpret_cast<const unsigned char*>(id.data()), static_cast<int>(id.size()));
    return qor_s_ok;
}

bool QORTestSSLSession::canRequestClientCert()
{
    QOR_TEST_RECORD(nullptr);
    return m_libraryDefaults ? QORSSLSession::canRequestClientCert() : canRequest;
}

QORStatus QORTestSSLSession::requestClientCert()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORSSLSession::requestClientCert();
    certRequests++;
    return qor_s_ok;
}

bool QORTestSSLSession::requestCertByRedirect()
{
    QOR_TEST_RECORD(nullptr);
    return m_libraryDefaults ? QORSSLSession::requestCertByRedirect() : certByRedirect;
}

QORTestClientCert* QORTestSSLSession::addClientCert()
{
    auto cert = std::make_unique<QORTestClientCert>();
    cert->attach(m_log);
    cert->setLibraryDefaults(m_libraryDefaults);
    QORTestClientCert* made = cert.get();
    adoptClientCert(std::move(cert));
    return made;
}

// Request and response.

namespace {

// A response's headers cannot be read back with the library's defaults.
template <class Base>
constexpr bool kHeaderDefaults = std::is_same<Base, QORResponse>::value;

} // namespace

template <class Base>
QORStatus QORTestMessage<Base>::headerAt(int i, QORStringRefT<char>* value)
{
    m_nextHeader = i < 0 ? -1 : i + 1;
    if (i < 0)
        return qor_s_not_available;
    value->set(headers[i].value.data(), static_cast<int>(headers[i].value.size()));
    return qor_s_ok;
}

template <class Base>
QORStatus QORTestMessage<Base>::firstHeader(const QORStringRef& name,
                                            QORStringRefT<char>* value)
{
    m_nextName = text(name);
    return headerAt(headers.find(name), value);
}

template <class Base>
QORStatus QORTestMessage<Base>::nextHeader(QORStringRefT<char>* value)
{
    if (m_nextHeader < 0)
        return qor_s_not_available;
    return headerAt(headers.find(view(m_nextName), m_nextHeader), value);
}

template <class Base>
QORStatus QORTestMessage<Base>::getUTF8Header(const QORStringRef& name, QORStringRef* value)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(name));
    if constexpr (kHeaderDefaults<Base>) {
        if (m_libraryDefaults)
            return Base::getUTF8Header(name, value);
    }
    return firstHeader(name, value);
}

template <class Base>
QORStatus QORTestMessage<Base>::getNCPHeader(const QORStringRef& name, QORNCPStringRef* value)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(name));
    if constexpr (kHeaderDefaults<Base>) {
        if (m_libraryDefaults)
            return Base::getNCPHeader(name, value);
    }
    return firstHeader(name, value);
}

template <class Base>
QORStatus QORTestMessage<Base>::getNextUTF8Header(QORStringRef* value)
{
    QOR_TEST_ENTER(nullptr);
    if constexpr (kHeaderDefaults<Base>) {
        if (m_libraryDefaults)
            return Base::getNextUTF8Header(value);
    }
    return nextHeader(value);
}

template <class Base>
QORStatus QORTestMessage<Base>::getNextNCPHeader(QORNCPStringRef* value)
{
    QOR_TEST_ENTER(nullptr);
    if constexpr (kHeaderDefaults<Base>) {
        if (m_libraryDefaults)
            return Base::getNextNCPHeader(value);
    }
    return nextHeader(value);
}

template <class Base>
QORStatus QORTestMessage<Base>::setHeader(const QORStringRef& name,
                                          const QORStringRefT<char>& value)
{
    QOR_TEST_ENTER("%.*s, %.*s", QOR_TS(name), QOR_TS(value));
    headers.set(name, value);
    return qor_s_ok;
}

template <class Base>
QORStatus QORTestMessage<Base>::addHeader(const QORStringRef& name,
                                          const QORStringRefT<char>& value)
{
    QOR_TEST_ENTER("%.*s, %.*s", QOR_TS(name), QOR_TS(value));
    headers.add(name, value);
    return qor_s_ok;
}

template <class Base>
QORStatus QORTestMessage<Base>::finalizeHeader()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return Base::finalizeHeader();
    headerFinalized++;
    return qor_s_ok;
}

template <class Base>
QORStatus QORTestMessage<Base>::finalizeBody()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return Base::finalizeBody();
    bodyFinalized++;
    return qor_s_ok;
}

template <class Base>
QORStatus QORTestMessage<Base>::getContentLength(unsigned int* length)
{
    QOR_TEST_ENTER(nullptr);
    return Base::getContentLength(length);
}

template <class Base>
QORStatus QORTestMessage<Base>::setCookie(const QORStringRef& name,
                                          const QORStringRefT<char>& value,
                                          const QORStringRefT<char>* path,
                                          const QORStringRefT<char>* domain, int flags)
{
    QOR_TEST_ENTER("%.*s, %.*s, %d", QOR_TS(name), QOR_TS(value), flags);
    QORTestCookie c{text(name), text(value), path ? text(*path) : std::string(),
                    domain ? text(*domain) : std::string(), flags};
    for (QORTestCookie& old : cookies) {
        if (old.name == c.name) {
            old = c;
            return qor_s_ok;
        }
    }
    cookies.push_back(c);
    return qor_s_ok;
}

template <class Base>
const QORTestCookie* QORTestMessage<Base>::findCookie(const QORStringRef& name) const
{
    for (const QORTestCookie& c : cookies) {
        if (name.equals(view(c.name)))
            return &c;
    }
    return nullptr;
}

template class QORTestMessage<QORRequest>;
template class QORTestMessage<QORResponse>;

// Request.

QORStatus QORTestRequest::getCookie(const QORStringRef& name, QORNCPStringRef* value,
                                    QORNCPStringRef* path, QORNCPStringRef* domain,
                                    int* flags)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(name));
    const QORTestCookie* c = findCookie(name);
    if (c == nullptr)
        return qor_s_not_available;
    if (value)
        value->set(c->value.data(), static_cast<int>(c->value.size()));
    if (path)
        path->set(c->path.data(), static_cast<int>(c->path.size()));
    if (domain)
        domain->set(c->domain.data(), static_cast<int>(c->domain.size()));
    if (flags)
        *flags = c->flags;
    return qor_s_ok;
}

QORStatus QORTestRequest::removeHeader(const QORStringRef& name)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(name));
    headers.remove(name);
    return qor_s_ok;
}

QORStatus QORTestRequest::getQuery(QORStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    if (!hasQuery)
        return qor_s_not_available;
    out->set(query.data(), static_cast<int>(query.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setQuery(const QORStringRef& q)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(q));
    query.assign(q.data(), static_cast<size_t>(q.length()));
    hasQuery = true;
    return qor_s_ok;
}

QORStatus QORTestRequest::getURI(QORStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(uri.data(), static_cast<int>(uri.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setURI(const QORStringRef& u)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(u));
    uri.assign(u.data(), static_cast<size_t>(u.length()));
    return qor_s_ok;
}

QORStatus QORTestRequest::getClientIP(QORStringRef& address)
{
    QOR_TEST_ENTER(nullptr);
    address.set(clientIP.data(), static_cast<int>(clientIP.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::getSecurity(int* level)
{
    QOR_TEST_ENTER(nullptr);
    *level = security;
    return qor_s_ok;
}

QORStatus QORTestRequest::setSecurity(int level)
{
    QOR_TEST_ENTER("%d", level);
    if (m_libraryDefaults)
        return QORRequest::setSecurity(level);
    security = level;
    return qor_s_ok;
}

QORStatus QORTestRequest::getMethod(QORHTTPMethod* out)
{
    QOR_TEST_ENTER("number");
    *out = QORHTTP::getMethod(method.data(), static_cast<int>(method.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::getMethod(QORStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(method.data(), static_cast<int>(method.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setMethod(QORHTTPMethod m)
{
    QOR_TEST_ENTER("%d", static_cast<int>(m));
    QORStringRefT<char> name;
    QORHTTP::getMethodName(m, &name);
    method = text(name);
    return qor_s_ok;
}

QORStatus QORTestRequest::setMethod(const QORStringRef& m)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(m));
    method = text(m);
    return qor_s_ok;
}

QORStatus QORTestRequest::getVersion(QORStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(version.data(), static_cast<int>(version.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setVersion(const QORStringRef& v)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(v));
    version = text(v);
    return qor_s_ok;
}

QORStatus QORTestRequest::getPostData(QORBuffer* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(reinterpret_cast<const unsigned char*>(postData.data()),
             static_cast<int>(postData.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setBody(const QORBuffer& body)
{
    QOR_TEST_ENTER("%.*s", QOR_TB(body));
    if (m_libraryDefaults)
        return QORRequest::setBody(body);
    postData.assign(reinterpret_cast<const char*>(body.getData()),
                    static_cast<size_t>(body.getLen()));
    return qor_s_ok;
}

QORStatus QORTestRequest::retrieveBody(int length)
{
    QOR_TEST_ENTER("%d", length);
    if (m_libraryDefaults)
        return QORRequest::retrieveBody(length);
    size_t n = pendingBody.size();
    if (length > 0 && static_cast<size_t>(length) < n)
        n = static_cast<size_t>(length);
    postData.append(pendingBody, 0, n);
    pendingBody.erase(0, n);
    return qor_s_ok;
}

QORStatus QORTestRequest::getHTTPBuffer(QORBuffer* out)
{
    QOR_TEST_ENTER(nullptr);
    out->set(reinterpret_cast<const unsigned char*>(httpBuffer.data()),
             static_cast<int>(httpBuffer.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::getFullURL(QORStringRef* url)
{
    QOR_TEST_ENTER(nullptr);
    return QORRequest::getFullURL(url);
}

QORStatus QORTestRequest::getConnectionID(QORStringRef* id)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORRequest::getConnectionID(id);
    if (connectionID.empty())
        return qor_s_not_available;
    id->set(connectionID.data(), static_cast<int>(connectionID.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::getWSAUser(QORStringRef* user)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORRequest::getWSAUser(user);
    if (wsaUser.empty())
        return qor_s_not_available;
    user->set(wsaUser.data(), static_cast<int>(wsaUser.size()));
    return qor_s_ok;
}

QORStatus QORTestRequest::setWSAUser(QORStringRef* user)
{
    QOR_TEST_ENTER("%.*s", user ? user->length() : 0, user ? user->data() : "");
    if (m_libraryDefaults)
        return QORRequest::setWSAUser(user);
    wsaUser = user ? text(*user) : std::string();
    return qor_s_ok;
}

QORStatus QORTestRequest::requestWSA()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORRequest::requestWSA();
    wsaRequested = true;
    return qor_s_ok;
}

QORStatus QORTestRequest::setWSARequested()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORRequest::setWSARequested();
    wsaRequested = true;
    return qor_s_ok;
}

QORStatus QORTestRequest::getWSARequested(bool& requested)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORRequest::getWSARequested(requested);
    requested = wsaRequested;
    return qor_s_ok;
}

bool QORTestRequest::isSubRequest()
{
    QOR_TEST_RECORD(nullptr);
    return m_libraryDefaults ? QORRequest::isSubRequest() : subRequest;
}

QORStatus QORTestRequest::setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                                        const QORStringRef& third)
{
    QOR_TEST_ENTER("%.*s, %.*s, %.*s", QOR_TS(first), QOR_TS(second), QOR_TS(third));
    webLogUser[0] = text(first);
    webLogUser[1] = text(second);
    webLogUser[2] = text(third);
    return qor_s_ok;
}

bool QORTestRequest::requestWSAByRedirect()
{
    QOR_TEST_RECORD(nullptr);
    return m_libraryDefaults ? QORRequest::requestWSAByRedirect() : wsaByRedirect;
}

QORTestServer* QORTestRequest::addServer(const char* vhostID, const char* name, int port)
{
    auto server = std::make_unique<QORTestServer>(vhostID, name, port);
    server->attach(m_log);
    server->setLibraryDefaults(m_libraryDefaults);
    QORTestServer* made = server.get();
    adoptServer(std::move(server));
    return made;
}

QORTestSSLSession* QORTestRequest::addSSLSession()
{
    auto session = std::make_unique<QORTestSSLSession>();
    session->attach(m_log);
    session->setLibraryDefaults(m_libraryDefaults);
    QORTestSSLSession* made = session.get();
    adoptSSLSession(std::move(session));
    return made;
}

// Response.

QORTestResponse::QORTestResponse()
    : QORTestMessage("rsp")
{
    m_code = 200;
}

QORStatus QORTestResponse::getCookie(const QORStringRef& name, QORNCPStringRef* value,
                                     QORNCPStringRef* path, QORNCPStringRef* domain,
                                     QORNCPStringRef* expires, QORNCPStringRef* version,
                                     int* secure, int* maxAge)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(name));
    if (m_libraryDefaults)
        return QORResponse::getCookie(name, value, path, domain, expires, version, secure,
                                      maxAge);
    const QORTestCookie* c = findCookie(name);
    if (c == nullptr)
        return qor_s_not_available;
    if (value)
        value->set(c->value.data(), static_cast<int>(c->value.size()));
    if (path)
        path->set(c->path.data(), static_cast<int>(c->path.size()));
    if (domain)
        domain->set(c->domain.data(), static_cast<int>(c->domain.size()));
    if (expires)
        expires->set("", 0);
    if (version)
        version->set("", 0);
    if (secure)
        *secure = c->flags;
    if (maxAge)
        *maxAge = -1;
    return qor_s_ok;
}

QORStatus QORTestResponse::getBody(QORBuffer* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::getBody(out);
    out->set(reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size()));
    return qor_s_ok;
}

QORStatus QORTestResponse::getHTTPBuffer(QORBuffer* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::getHTTPBuffer(out);
    out->set(reinterpret_cast<const unsigned char*>(httpBuffer.data()),
             static_cast<int>(httpBuffer.size()));
    return qor_s_ok;
}

QORStatus QORTestResponse::appendBody(const QORBuffer& piece)
{
    QOR_TEST_ENTER("%.*s", QOR_TB(piece));
    body.append(reinterpret_cast<const char*>(piece.getData()),
                static_cast<size_t>(piece.getLen()));
    bodyPieces++;
    return qor_s_ok;
}

QORStatus QORTestResponse::setBodyFromFile(const char* fileName)
{
    QOR_TEST_ENTER("%s", fileName ? fileName : "(null)");
    bodyFile = fileName ? fileName : "";
    return qor_s_ok;
}

QORStatus QORTestResponse::getCode(int* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::getCode(out);
    *out = m_code;
    return qor_s_ok;
}

QORStatus QORTestResponse::setCode(int c)
{
    QOR_TEST_ENTER("%d", c);
    m_code = c;
    return qor_s_ok;
}

QORStatus QORTestResponse::getSubCode(int* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults || !hasSubCode)
        return QORResponse::getSubCode(out);
    *out = subCode;
    return qor_s_ok;
}

QORStatus QORTestResponse::setSubCode(int c)
{
    QOR_TEST_ENTER("%d", c);
    if (m_libraryDefaults)
        return QORResponse::setSubCode(c);
    subCode = c;
    hasSubCode = true;
    return qor_s_ok;
}

QORStatus QORTestResponse::getContentType(QORNCPStringRef* out)
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::getContentType(out);
    if (contentType.empty())
        return qor_s_not_available;
    out->set(contentType.data(), static_cast<int>(contentType.size()));
    return qor_s_ok;
}

QORStatus QORTestResponse::setContentType(const QORStringRef& type)
{
    QOR_TEST_ENTER("%.*s", QOR_TS(type));
    contentType = text(type);
    return qor_s_ok;
}

QORStatus QORTestResponse::setKeepAlive()
{
    QOR_TEST_ENTER(nullptr);
    return QORResponse::setKeepAlive();
}

QORStatus QORTestResponse::setUseDefaultResponse(bool useDefault)
{
    QOR_TEST_ENTER("%s", yesNo(useDefault));
    m_useDefaultResponse = useDefault;
    return qor_s_ok;
}

QORStatus QORTestResponse::setCaptureRsp(const QORStringRef& id, const QORStringRef& vhostID,
                                         const QORStringRef& uri, int security)
{
    QOR_TEST_ENTER("%.*s, %.*s, %.*s, %d", QOR_TS(id), QOR_TS(vhostID), QOR_TS(uri), security);
    if (m_libraryDefaults)
        return QORResponse::setCaptureRsp(id, vhostID, uri, security);
    captured = true;
    captureID = text(id);
    captureVHostID = text(vhostID);
    captureURI = text(uri);
    captureSecurity = security;
    return qor_s_ok;
}

QORStatus QORTestResponse::beginNew()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::beginNew();
    m_code = 200;
    hasSubCode = false;
    subCode = 0;
    contentType.clear();
    headers.clear();
    cookies.clear();
    body.clear();
    bodyPieces = 0;
    bodyFile.clear();
    bodyIsDefault = false;
    newResponses++;
    return qor_s_ok;
}

QORStatus QORTestResponse::setBodyToDefault()
{
    QOR_TEST_ENTER(nullptr);
    if (m_libraryDefaults)
        return QORResponse::setBodyToDefault();
    body.clear();
    bodyPieces = 0;
    bodyFile.clear();
    bodyIsDefault = true;
    return qor_s_ok;
}

// Transaction.

QORTestTransaction::QORTestTransaction(QORAllocator* allocator)
    : QORTransaction(allocator)
    , QORTestRecorder("trans")
    , m_testRequest(allocator)
{
    m_testRequest.attach(m_log);
    m_testResponse.attach(m_log);
    m_request = &m_testRequest;
    m_response = &m_testResponse;
}

QORTestTransaction::~QORTestTransaction() = default;

QORStatus QORTestTransaction::logMessage(qor_log_levels_e level, int messageID, ...)
{
    QOR_TEST_RECORD("%d, %#x", static_cast<int>(level), static_cast<unsigned>(messageID));
    loggedMessages.push_back(messageID);
    va_list args;
    va_start(args, messageID);
    QORStatus st = vlogMessage(level, messageID, args);
    va_end(args);
    return st;
}

QORStatus QORTestTransaction::logText(qor_log_levels_e level, const char* line)
{
    QOR_TEST_ENTER("%d, %s", static_cast<int>(level), line ? line : "(null)");
    logLines.push_back(line ? line : "");
    return qor_s_ok;
}

void QORTestTransaction::setRetry(bool retry)
{
    QOR_TEST_RECORD("%s", yesNo(retry));
    QORTransaction::setRetry(retry);
}

QORStatus QORTestTransaction::prepareForRetry()
{
    QOR_TEST_ENTER(nullptr);
    retryPreparations++;
    return QORTransaction::prepareForRetry();
}

QORTestServer* QORTestTransaction::addServer(const char* vhostID, const char* name, int port)
{
    return m_testRequest.addServer(vhostID, name, port);
}

QORTestSSLSession* QORTestTransaction::addSSLSession()
{
    return m_testRequest.addSSLSession();
}

void QORTestTransaction::setLibraryDefaults(bool on)
{
    QORTestRecorder::setLibraryDefaults(on);
    m_testRequest.setLibraryDefaults(on);
    m_testResponse.setLibraryDefaults(on);
    if (QORTestServer* s = m_testRequest.server())
        s->setLibraryDefaults(on);
    if (QORTestSSLSession* s = m_testRequest.sslSession()) {
        s->setLibraryDefaults(on);
        if (QORClientCert* c = s->clientCert())
            static_cast<QORTestClientCert*>(c)->setLibraryDefaults(on);
    }
}
