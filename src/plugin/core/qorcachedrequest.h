// qorcachedrequest.h: QORCachedRequest, a minimal request made of a virtual
// host ID, a URI and a security level, for adapters that must ask about a
// resource without a live web-server request. Everything else is
// unsupported (qor_s_not_supported) or absent (qor_s_not_available).
#pragma once
#include "plugin/core/qorcachedserver.h"
#include "plugin/core/qorrequest.h"

class QORCachedRequest : public QORRequest {
public:
    // No server, empty URI, level 0.
    QORCachedRequest();
    // The server is the embedded one, holding vhostID; vhostID and uri are
    // views whose text must outlive the request.
    QORCachedRequest(const QORStringRef& vhostID, const QORStringRef& uri,
                     int security);
    // Takes the embedded server back before the base deletes it.
    ~QORCachedRequest() override;

    QORStatus getUTF8Header(const QORStringRef& name, QORStringRef* value) override;
    QORStatus getNCPHeader(const QORStringRef& name, QORNCPStringRef* value) override;
    QORStatus getNextUTF8Header(QORStringRef* value) override;
    QORStatus getNextNCPHeader(QORNCPStringRef* value) override;
    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus addHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;

    QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                        QORNCPStringRef* path, QORNCPStringRef* domain,
                        int* flags) override;
    QORStatus setCookie(const QORStringRef& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path,
                        const QORStringRefT<char>* domain, int flags) override;
    QORStatus removeHeader(const QORStringRef& name) override;
    QORStatus getQuery(QORStringRef* query) override;
    QORStatus setQuery(const QORStringRef& query) override;
    // The URI and the level are the request's own; setURI keeps a view.
    QORStatus getURI(QORStringRef* uri) override;
    QORStatus setURI(const QORStringRef& uri) override;
    QORStatus getClientIP(QORStringRef& address) override;
    QORStatus getSecurity(int* level) override;
    QORStatus setSecurity(int level) override;
    QORStatus getMethod(QORHTTPMethod* method) override;
    QORStatus getMethod(QORStringRef* method) override;
    QORStatus setMethod(QORHTTPMethod method) override;
    QORStatus setMethod(const QORStringRef& method) override;
    QORStatus getVersion(QORStringRef* version) override;
    QORStatus setVersion(const QORStringRef& version) override;
    QORStatus getPostData(QORBuffer* data) override;
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    QORStatus getFullURL(QORStringRef* url) override;
    // qor_s_not_available.
    QORStatus setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                            const QORStringRef& third) override;

    // qor_s_not_supported.
    virtual QORStatus setPostData(const QORBuffer& data);
    // Integrated Windows authentication: qor_s_not_available.
    virtual QORStatus getNTLMAuthenticatedUser(QORStringRef* user);
    virtual QORStatus setNTLMAuthenticatedUser(const QORStringRef& user);
    virtual QORStatus requestNTLMAuthentication();
    virtual QORStatus setNTLMAuthenticationRequested();
    virtual QORStatus getNTLMAuthenticationRequested(bool& requested);

    QORCachedServer& cachedServer() { return m_cachedServer; }

private:
    QORCachedServer m_cachedServer;
    QORStringRef m_uri;
    int m_security = 0;
};
