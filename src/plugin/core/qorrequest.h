// qorrequest.h: QORRequest, the request of a web transaction as the web
// server holds it. The adapter implements the pure operations; the library
// builds the full URL and supplies the defaults of the optional operations:
// qor_s_not_supported when the web server cannot do something,
// qor_s_not_available when it has no such data. Callers tell absent data
// from failure by these two codes.
// The order of the virtual operations is part of the adapter contract.
#pragma once
#include <memory>

#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstring.h"
#include "core/http/qorhttp.h"
#include "plugin/core/qormessage.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORServer;
class QORSSLSession;

class QORRequest : public QORMessage {
public:
    explicit QORRequest(QORAllocator* allocator = nullptr);
    // Deletes the server and the SSL session.
    ~QORRequest() override;

    // The server the request arrived on and its SSL session, or null. The
    // request owns both: adopt* takes one over, deleting any earlier one.
    QORServer* server() const { return m_server; }
    QORSSLSession* sslSession() const { return m_sslSession; }
    void adoptServer(std::unique_ptr<QORServer> server);
    void adoptSSLSession(std::unique_ptr<QORSSLSession> session);

    // The cookie parameters beyond the name are the adapter's to define; the
    // library does not call these two.
    virtual QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                                QORNCPStringRef* path, QORNCPStringRef* domain,
                                int* flags) = 0;
    virtual QORStatus setCookie(const QORStringRef& name,
                                const QORStringRefT<char>& value,
                                const QORStringRefT<char>* path,
                                const QORStringRefT<char>* domain, int flags) = 0;
    virtual QORStatus removeHeader(const QORStringRef& name) = 0;
    // The query without its "?"; qor_s_not_available when the request has none.
    virtual QORStatus getQuery(QORStringRef* query) = 0;
    virtual QORStatus setQuery(const QORStringRef& query) = 0;
    // The path, without the query.
    virtual QORStatus getURI(QORStringRef* uri) = 0;
    virtual QORStatus setURI(const QORStringRef& uri) = 0;
    virtual QORStatus getClientIP(QORStringRef& address) = 0;
    // 0 for plain HTTP, non-zero for HTTPS.
    virtual QORStatus getSecurity(int* level) = 0;
    virtual QORStatus setSecurity(int level);
    virtual QORStatus getMethod(QORHTTPMethod* method) = 0;
    // Never qor_s_not_available: the cache would take that for a retry request.
    virtual QORStatus getMethod(QORStringRef* method) = 0;
    virtual QORStatus setMethod(QORHTTPMethod method) = 0;
    virtual QORStatus setMethod(const QORStringRef& method) = 0;
    virtual QORStatus getVersion(QORStringRef* version) = 0;
    virtual QORStatus setVersion(const QORStringRef& version) = 0;
    virtual QORStatus getPostData(QORBuffer* data) = 0;
    virtual QORStatus setBody(const QORBuffer& body);
    // Fetch (up to) length bytes of the body from the client; qor_s_not_available
    // when it is not there yet and the web server will call again.
    virtual QORStatus retrieveBody(int length);
    // The raw request as received.
    virtual QORStatus getHTTPBuffer(QORBuffer* buffer) = 0;
    // scheme "://" name [":" port] uri ["?" query], built once; the port is
    // left out when it is the scheme's default. qor_s_not_available without a server.
    virtual QORStatus getFullURL(QORStringRef* url);
    virtual QORStatus getConnectionID(QORStringRef* id);
    // Web-server authentication.
    virtual QORStatus getWSAUser(QORStringRef* user);
    virtual QORStatus setWSAUser(QORStringRef* user);
    virtual QORStatus requestWSA();
    virtual QORStatus setWSARequested();
    virtual QORStatus getWSARequested(bool& requested);
    virtual bool isSubRequest();
    // The user the web server records in its log; the three texts pass
    // unchanged from the authorization server.
    virtual QORStatus setWebLogUser(const QORStringRef& first,
                                    const QORStringRef& second,
                                    const QORStringRef& third) = 0;
    virtual bool requestWSAByRedirect();

    // Set when the authorization server has asked for the body; reported in
    // every question.
    bool bodyRequested() const { return m_bodyRequested; }
    void setBodyRequested(bool requested) { m_bodyRequested = requested; }

protected:
    bool m_bodyRequested = false;
    // Owned (set through adopt*); a subclass that points one at an object
    // of its own takes it back before this destructor runs.
    QORSSLSession* m_sslSession = nullptr;
    QORServer* m_server = nullptr;
    bool m_fullURLBuilt = false;
    QORString m_fullURL;
    QORAllocator* m_allocator;
};

QOR_EXPORT_END
