// qorrequest.cpp: the request's full URL and the defaults of its optional
// operations.
#include "plugin/core/qorrequest.h"

#include "plugin/core/qorserver.h"
#include "plugin/core/qorsslsession.h"

QORRequest::QORRequest(QORAllocator* allocator)
    : m_fullURL(allocator)
    , m_allocator(allocator)
{
}

QORRequest::~QORRequest()
{
    delete m_sslSession;
    delete m_server;
}

void QORRequest::adoptServer(std::unique_ptr<QORServer> server)
{
    delete m_server;
    m_server = server.release();
    m_fullURLBuilt = false;
}

void QORRequest::adoptSSLSession(std::unique_ptr<QORSSLSession> session)
{
    delete m_sslSession;
    m_sslSession = session.release();
}

QORStatus QORRequest::setSecurity(int)
{
    return qor_s_not_supported;
}

QORStatus QORRequest::setBody(const QORBuffer&)
{
    return qor_s_not_supported;
}

QORStatus QORRequest::retrieveBody(int)
{
    return qor_s_not_supported;
}

QORStatus QORRequest::getFullURL(QORStringRef* url)
{
    if (m_fullURLBuilt) {
        url->set(m_fullURL);
        return qor_s_ok;
    }
    if (m_server == nullptr)
        return qor_s_not_available;

    int level = 0;
    QORStatus st = getSecurity(&level);
    if (st != qor_s_ok)
        return st;
    const char* scheme = level != 0 ? "https://" : "http://";
    const QORStringRef defaultPort(level != 0 ? "443" : "80");

    QORStringRef name;
    if ((st = m_server->getName(&name)) != qor_s_ok)
        return st;
    QORStringRefT<char> port;
    if ((st = m_server->getPortString(&port)) != qor_s_ok)
        return st;
    QORStringRef uri;
    st = getURI(&uri);
    if (st == qor_s_not_available)
        uri.set("", 0);
    else if (st != qor_s_ok)
        return st;
    QORStringRef query;
    st = getQuery(&query);
    bool hasQuery = st == qor_s_ok;
    if (st != qor_s_ok && st != qor_s_not_available)
        return st;

    m_fullURL.clear();
    bool grown = m_fullURL.append(scheme, -1) && m_fullURL.append(name);
    if (grown && !(port.length() == defaultPort.length() && port.compare(defaultPort) == 0))
        grown = m_fullURL.append(':') && m_fullURL.append(port);
    grown = grown && m_fullURL.append(uri);
    if (grown && hasQuery)
        grown = m_fullURL.append('?') && m_fullURL.append(query);
    if (!grown) {
        m_fullURL.clear();
        return qor_s_no_memory;
    }
    m_fullURLBuilt = true;
    url->set(m_fullURL);
    return qor_s_ok;
}

QORStatus QORRequest::getConnectionID(QORStringRef*)
{
    return qor_s_not_available;
}

QORStatus QORRequest::getWSAUser(QORStringRef*)
{
    return qor_s_not_available;
}

QORStatus QORRequest::setWSAUser(QORStringRef*)
{
    return qor_s_not_available;
}

QORStatus QORRequest::requestWSA()
{
    return qor_s_not_available;
}

QORStatus QORRequest::setWSARequested()
{
    return qor_s_not_available;
}

QORStatus QORRequest::getWSARequested(bool&)
{
    return qor_s_not_available;
}

bool QORRequest::isSubRequest()
{
    return false;
}

bool QORRequest::requestWSAByRedirect()
{
    return false;
}
