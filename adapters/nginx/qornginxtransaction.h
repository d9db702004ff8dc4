// qornginxtransaction.h: the adapter-contract classes over an nginx
// request. They are built on the event loop and may then be used by one
// thread-pool thread while the request waits: they read the request as
// nginx holds it (nothing else touches it meanwhile) and keep every change
// an answer makes to themselves. The event loop applies the changes, after
// checking them, once the core has decided (qornginxanswer.cpp). No
// operation the core calls lets an exception out: a failed allocation is
// qor_s_no_memory.
#pragma once
#include <deque>
#include <string>
#include <vector>

#include "ngx_http_dxqor_module.h"
#include "plugin/core/qoradapter.h"

class QORNginxServer : public QORServer {
public:
    QORNginxServer(std::string vhostID, std::string name, int port)
        : m_vhostID(std::move(vhostID)), m_name(std::move(name)), m_port(port)
    {
    }
    QORStatus getVHostID(QORStringRef* id) override;
    QORStatus getName(QORStringRef* name) override;
    QORStatus getPort(int* port) override;

private:
    std::string m_vhostID;
    std::string m_name;
    int m_port;
};

// A request header as the answer left it.
struct QORNginxHeader {
    std::string name;
    std::string value;
    ngx_table_elt_t* original;  // null for a header the answer added
    bool changed;
    bool removed;
};

class QORNginxRequest : public QORRequest {
public:
    // vhostID: the configured one, else the server's name.
    QORNginxRequest(ngx_http_request_t* r, const ngx_str_t& vhostID);

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
                        const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                        int flags) override;
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
    // 0 when the body is in (the core asks again with it), else 0x35f02002:
    // the result asks the adapter to read it.
    QORStatus retrieveBody(int length) override;
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    QORStatus setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                            const QORStringRef& third) override;

    // Reads the body nginx has read (memory and temporary file) into the
    // request; from then on getPostData gives it. Blocking file reads:
    // called on the worker's threads.
    QORStatus loadBody();
    // Forgets every change: before the question is sent again.
    void resetChanges();

    // What the answer changed; each "set" flag says the value is new.
    bool uriSet = false, querySet = false, methodSet = false, versionSet = false;
    bool headersChanged = false, logUserSet = false;
    std::string uri, query, method, version;
    std::deque<QORNginxHeader> headers;  // stable addresses: views escape
    std::string logUser[3];

private:
    QORStatus findHeader(const QORStringRef& name, size_t from, const std::string** value);
    void copyHeaders();

    ngx_http_request_t* m_r;
    std::string m_clientIP;
    bool m_headersCopied = false;
    std::string m_iterName;
    size_t m_iterNext = 0;
    bool m_bodyLoaded = false;
    std::string m_body;
    std::string m_raw;
};

class QORNginxResponse : public QORResponse {
public:
    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus addHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus setCookie(const QORStringRef& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                        int flags) override;
    QORStatus appendBody(const QORBuffer& piece) override;
    QORStatus setBodyFromFile(const char* fileName) override;
    QORStatus getCode(int* code) override;
    QORStatus setCode(int code) override;
    QORStatus setContentType(const QORStringRef& type) override;
    QORStatus setUseDefaultResponse(bool useDefault) override;
    QORStatus beginNew() override;
    QORStatus setBodyToDefault() override;

    // The raw response (status line and headers) shown to the core.
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    std::string raw;

    int code() const { return m_code; }
    // setCode without a status: it only stores the number.
    void storeCode(int code) { m_code = code; }
    bool useDefault() const { return m_useDefaultResponse; }

    // The answer's response headers, in order; replace: set rather than
    // added (it replaces the web server's own header of that name).
    struct Header {
        std::string name;
        std::string value;
        bool replace;
    };
    std::vector<Header> headers;
    std::string contentType;
    bool contentTypeSet = false;
    std::string body;
    std::string bodyFile;
    bool bodyFileSet = false;
};

class QORNginxTransaction : public QORTransaction {
public:
    QORNginxTransaction(ngx_http_request_t* r, const ngx_str_t& vhostID);
    ~QORNginxTransaction() override;

    // Kept until the event loop writes them (flushLog): the core may log
    // from a pool thread.
    QORStatus logText(qor_log_levels_e level, const char* text) override;
    QORStatus prepareForRetry() override;
    void flushLog(ngx_log_t* log);

    QORNginxRequest request;
    QORNginxResponse response;
    // Set when the core was asked; its status.
    QORStatus status = qor_s_ok;

private:
    std::vector<std::string> m_lines;
};
