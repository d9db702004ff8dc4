// qorcachedrequest.cpp: a request made of a virtual host ID, a URI and a
// security level; everything else is unsupported or absent.
#include "plugin/core/qorcachedrequest.h"

QORCachedRequest::QORCachedRequest() = default;

QORCachedRequest::QORCachedRequest(const QORStringRef& vhostID, const QORStringRef& uri,
                                   int security)
    : m_uri(uri)
    , m_security(security)
{
    m_cachedServer.setVHostID(vhostID);
    m_server = &m_cachedServer;
}

QORCachedRequest::~QORCachedRequest()
{
    // The embedded server is a member, not the base's to delete.
    if (m_server == &m_cachedServer)
        m_server = nullptr;
}

QORStatus QORCachedRequest::getUTF8Header(const QORStringRef&, QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getNCPHeader(const QORStringRef&, QORNCPStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getNextUTF8Header(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getNextNCPHeader(QORNCPStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setHeader(const QORStringRef&, const QORStringRefT<char>&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::addHeader(const QORStringRef&, const QORStringRefT<char>&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getCookie(const QORStringRef&, QORNCPStringRef*,
                                      QORNCPStringRef*, QORNCPStringRef*, int*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setCookie(const QORStringRef&, const QORStringRefT<char>&,
                                      const QORStringRefT<char>*,
                                      const QORStringRefT<char>*, int)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::removeHeader(const QORStringRef&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getQuery(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setQuery(const QORStringRef&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getURI(QORStringRef* uri)
{
    *uri = m_uri;
    return qor_s_ok;
}

QORStatus QORCachedRequest::setURI(const QORStringRef& uri)
{
    m_uri = uri;
    return qor_s_ok;
}

QORStatus QORCachedRequest::getClientIP(QORStringRef&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getSecurity(int* level)
{
    *level = m_security;
    return qor_s_ok;
}

QORStatus QORCachedRequest::setSecurity(int level)
{
    m_security = level;
    return qor_s_ok;
}

QORStatus QORCachedRequest::getMethod(QORHTTPMethod*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getMethod(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setMethod(QORHTTPMethod)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setMethod(const QORStringRef&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getVersion(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setVersion(const QORStringRef&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getPostData(QORBuffer*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getHTTPBuffer(QORBuffer*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getFullURL(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::setWebLogUser(const QORStringRef&, const QORStringRef&,
                                          const QORStringRef&)
{
    return qor_s_not_available;
}

QORStatus QORCachedRequest::setPostData(const QORBuffer&)
{
    return qor_s_not_supported;
}

QORStatus QORCachedRequest::getNTLMAuthenticatedUser(QORStringRef*)
{
    return qor_s_not_available;
}

QORStatus QORCachedRequest::setNTLMAuthenticatedUser(const QORStringRef&)
{
    return qor_s_not_available;
}

QORStatus QORCachedRequest::requestNTLMAuthentication()
{
    return qor_s_not_available;
}

QORStatus QORCachedRequest::setNTLMAuthenticationRequested()
{
    return qor_s_not_available;
}

QORStatus QORCachedRequest::getNTLMAuthenticationRequested(bool&)
{
    return qor_s_not_available;
}
