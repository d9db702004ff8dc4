// qorapachetransaction.h: the library's transaction model over Apache's
// request_rec. mod_dxqor builds one QORApacheTransaction per request it
// decides; the request, response, server, SSL session and client
// certificate below read and change the request_rec directly, checking
// every text that comes from the authorization server first.
#pragma once
#include <string>

#include "httpd.h"
#include "http_config.h"
#include "util_filter.h"

#include "plugin/core/qoradapter.h"

// Per-request state that outlives one transaction: the body read for the
// authorization server (replayed to the handler by the DXQOR_BODY input
// filter) and what the handler phase still has to do.
struct QORApacheRequestState {
    std::string body;
    size_t replayed = 0;
    bool bodyComplete = false;
    bool filterAdded = false;
    // The input filters below the replay filter, where the body is read.
    ap_filter_t* source = nullptr;
    // A URI changed by the answer: the request is redirected internally to
    // it (with its query) so that Apache maps it again.
    const char* redirectTo = nullptr;
    // Set on a request this module already decided (and on its redirects).
    bool decided = false;
    // Set when a text of the answer was refused: the request fails with 500
    // whatever the core made of the failed command.
    bool refused = false;

    // The state of r, made (with a pool cleanup) when create is set.
    static QORApacheRequestState* of(request_rec* r, bool create);
};

// What the adapter's configuration gives a transaction.
struct QORApacheOptions {
    const char* vhostID = nullptr;
    const char* bodyFileDir = nullptr;
    long maxBody = 1 << 20;
    // What this server accepts in a request (LimitRequestFieldSize,
    // LimitRequestLine): no answer hands it more.
    QORAnswerLimits limits = {8190, 8190};
};

class QORApacheServer : public QORServer {
public:
    QORApacheServer(request_rec* r, const char* vhostID);
    QORStatus getVHostID(QORStringRef* id) override;
    QORStatus getName(QORStringRef* name) override;
    QORStatus getPort(int* port) override;

private:
    request_rec* m_r;
    const char* m_vhostID;
};

class QORApacheSSLSession : public QORSSLSession {
public:
    explicit QORApacheSSLSession(const char* sessionID) : m_id(sessionID) {}
    QORStatus getID(QORBuffer* id) override;
    bool canRequestClientCert() override { return false; }

private:
    const char* m_id;
};

class QORApacheRequest : public QORRequest {
public:
    QORApacheRequest(request_rec* r, QORApacheRequestState* state,
                     const QORApacheOptions& options);

    QORStatus getUTF8Header(const QORStringRef& name, QORStringRef* value) override;
    QORStatus getNCPHeader(const QORStringRef& name, QORNCPStringRef* value) override;
    QORStatus getNextUTF8Header(QORStringRef* value) override;
    QORStatus getNextNCPHeader(QORNCPStringRef* value) override;
    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus addHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;

    QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                        QORNCPStringRef* path, QORNCPStringRef* domain, int* flags) override;
    QORStatus setCookie(const QORStringRef& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path,
                        const QORStringRefT<char>* domain, int flags) override;
    QORStatus removeHeader(const QORStringRef& name) override;
    QORStatus getQuery(QORStringRef* query) override;
    QORStatus setQuery(const QORStringRef& query) override;
    QORStatus getURI(QORStringRef* uri) override;
    QORStatus setURI(const QORStringRef& uri) override;
    QORStatus getClientIP(QORStringRef& address) override;
    QORStatus getSecurity(int* level) override;
    QORStatus getMethod(QORHTTPMethod* method) override;
    QORStatus getMethod(QORStringRef* method) override;
    QORStatus setMethod(QORHTTPMethod method) override;
    QORStatus setMethod(const QORStringRef& method) override;
    QORStatus getVersion(QORStringRef* version) override;
    QORStatus setVersion(const QORStringRef& version) override;
    QORStatus getPostData(QORBuffer* data) override;
    QORStatus setBody(const QORBuffer& body) override;
    QORStatus retrieveBody(int length) override;
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    QORStatus getConnectionID(QORStringRef* id) override;
    QORStatus setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                            const QORStringRef& third) override;
    bool isSubRequest() override { return m_r->main != nullptr; }

    // Reads the rest of the body (up to the configured limit).
    QORStatus readMoreBody();
    // Set when the HTTPS state was filled in (security level non-zero).
    void setSecure(bool secure) { m_secure = secure; }

private:
    QORStatus refuse(const char* what, const QORStringRefT<char>& text);
    QORStatus nextValue(const char** value);
    QORStatus putHeader(const QORStringRef& name, const QORStringRefT<char>& value,
                        bool add);

    request_rec* m_r;
    QORApacheRequestState* m_state;
    QORApacheOptions m_options;
    bool m_secure = false;
    // The header named last by getUTF8Header/getNCPHeader and where the
    // next value is looked for.
    const char* m_lastName = nullptr;
    int m_nextIndex = 0;
    QORString m_http;
};

class QORApacheResponse : public QORResponse {
public:
    QORApacheResponse(request_rec* r, QORApacheRequestState* state,
                      const QORApacheOptions& options);

    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus addHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus setCookie(const QORStringRef& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path,
                        const QORStringRefT<char>* domain, int flags) override;
    QORStatus appendBody(const QORBuffer& piece) override;
    QORStatus setBodyFromFile(const char* fileName) override;
    QORStatus getCode(int* code) override;
    QORStatus setCode(int code) override;
    QORStatus setContentType(const QORStringRef& type) override;
    QORStatus setKeepAlive() override;
    QORStatus setUseDefaultResponse(bool useDefault) override;
    QORStatus beginNew() override;
    QORStatus setBodyToDefault() override;
    // The response Apache is about to send: its status line and headers.
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;

    // Sends the response built here (qor_send_rsp_to_client); DONE or an
    // HTTP status when it cannot be sent.
    int send();
    // Sends the response built here in place of the one Apache was sending,
    // from the output filter before next: headers replaced, body passed to
    // next (without EOS, which the request brings). An HTTP status when it
    // cannot be sent, else OK.
    int replace(ap_filter_t* next, int defaultCode);
    // The status for qor_send_default_rsp_to_client.
    int defaultStatus() const;
    // beginNew without a status: it only clears what the answer built.
    void clear();
    // Moves the headers the answer set into the response Apache sends.
    void commitHeaders();
    // The same for a response under way: the answer's values replace the
    // handler's.
    void overrideHeaders();

private:
    QORStatus refuse(const char* what, const QORStringRefT<char>& text);
    QORStatus putHeader(const QORStringRef& name, const QORStringRefT<char>& value,
                        bool add);

    request_rec* m_r;
    QORApacheRequestState* m_state;
    QORApacheOptions m_options;
    std::string m_body;
    const char* m_bodyFile = nullptr;
    const char* m_contentType = nullptr;
    std::string m_http;
    // Headers the answer set; kept apart until the decision is final so
    // that a retried question starts from none.
    apr_table_t* m_headers;
};

class QORApacheTransaction : public QORTransaction {
public:
    QORApacheTransaction(request_rec* r, QORApacheRequestState* state,
                         const QORApacheOptions& options);
    ~QORApacheTransaction() override;
    QORStatus logText(qor_log_levels_e level, const char* text) override;
    QORStatus prepareForRetry() override;

    QORApacheRequest& request() { return m_req; }
    QORApacheResponse& response() { return m_rsp; }

private:
    request_rec* m_r;
    QORApacheRequest m_req;
    QORApacheResponse m_rsp;
};
