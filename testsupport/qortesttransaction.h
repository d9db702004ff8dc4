// qortesttransaction.h: a transaction, request, response, server, SSL session
// and client certificate over plain in-memory state, for tests, fuzz targets
// and benchmarks of everything that works through the transaction model.
//
// Every operation called on them is written to a shared call log as one
// line, "<object>.<operation>(<arguments>)" with the objects "trans",
// "req", "rsp", "server", "ssl" and "cert", e.g. "req.addHeader(X-A, 1)"
// or "rsp.setCode(503)"; long arguments are cut. Any operation that returns
// a status can be made to return a chosen one instead of doing its work
// (failOn), which covers both failures and the special statuses callers
// react to (0x35f02002 absent, 0x35f02007 transitional, ...).
//
// Optional operations are implemented over the state too; setLibraryDefaults
// makes them fall back to the library's defaults instead, so that code can
// be run against an adapter that supports only what it must.
//
// Allocation: after the first use (or with recording off), queries and
// recording allocate nothing; only setters that store longer texts do.
#pragma once
#include <string>
#include <vector>
#include "plugin/core/qorclientcert.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qorsslsession.h"
#include "plugin/core/qortransaction.h"
#include "qorteststr.h"

class QORTestCallLog {
public:
    // Longest line kept; arguments beyond it are cut.
    static const int kMaxLine = 240;

    QORTestCallLog() = default;
    QORTestCallLog(const QORTestCallLog&) = delete;
    QORTestCallLog& operator=(const QORTestCallLog&) = delete;

    // Recording is on by default; off, calls are only checked for failures.
    void setRecording(bool on) { m_recording = on; }
    bool recording() const { return m_recording; }
    // Forgets the calls (keeping the memory), not the failures.
    void clear();

    int size() const { return static_cast<int>(m_starts.size()); }
    std::string at(int i) const;
    std::vector<std::string> calls() const;
    // The calls, one per line.
    const std::string& text() const { return m_text; }

    // Patterns: a whole line ("req.setURI(/a)") when it holds "(", else an
    // operation of one object ("req.setURI") or of any object ("setURI").
    int count(const char* pattern) const;
    // Index of the first matching line at or after from, or -1.
    int find(const char* pattern, int from = 0) const;
    bool contains(const char* pattern) const { return find(pattern) >= 0; }

    // From its (after + 1)th call on, the operation (a pattern without "(")
    // returns status without doing its work. A later rule for the same
    // pattern replaces an earlier one.
    void failOn(const char* op, QORStatus status, int after = 0);
    void clearFailures() { m_failures.clear(); }

    // For the test objects: records the call (fmt formats the arguments;
    // null for none) and returns true with *forced set when a failure rule
    // applies to it.
    bool enter(const char* object, const char* op, QORStatus* forced,
               const char* fmt, ...);

private:
    struct Failure {
        std::string pattern;
        QORStatus status;
        int after;
        int seen;
    };
    static bool matches(const char* line, int length, const char* pattern);

    bool m_recording = true;
    std::string m_text;
    std::vector<int> m_starts;
    std::vector<Failure> m_failures;
};

// Base of the test objects: where they record, and the library-defaults
// switch.
class QORTestRecorder {
public:
    // Records into log (shared with other objects), or into the object's
    // own log when null.
    void attach(QORTestCallLog* log) { m_log = log ? log : &m_ownLog; }
    QORTestCallLog& callLog() const { return *m_log; }
    // Optional operations use the library's defaults.
    void setLibraryDefaults(bool on) { m_libraryDefaults = on; }
    bool libraryDefaults() const { return m_libraryDefaults; }

protected:
    explicit QORTestRecorder(const char* name)
        : m_name(name)
    {
    }
    QORTestRecorder(const QORTestRecorder&) = delete;
    QORTestRecorder& operator=(const QORTestRecorder&) = delete;

    const char* m_name;
    QORTestCallLog* m_log = &m_ownLog;
    bool m_libraryDefaults = false;

private:
    QORTestCallLog m_ownLog;
};

struct QORTestHeader {
    std::string name;
    std::string value;
};

struct QORTestCookie {
    std::string name;
    std::string value;
    std::string path;
    std::string domain;
    int flags;
};

// Headers in the order they were added; names compare without case.
class QORTestHeaders {
public:
    void add(const QORStringRefT<char>& name, const QORStringRefT<char>& value);
    void add(const char* name, const char* value);
    // Replaces the first value and drops the others; adds when absent.
    void set(const QORStringRefT<char>& name, const QORStringRefT<char>& value);
    // Drops every value; false when there was none.
    bool remove(const QORStringRefT<char>& name);
    // The index of the first header named name at or after from, or -1.
    int find(const QORStringRefT<char>& name, int from = 0) const;
    // The first value, or null.
    const char* get(const char* name) const;
    int count(const char* name) const;
    void clear() { m_list.clear(); }
    int size() const { return static_cast<int>(m_list.size()); }
    const QORTestHeader& operator[](int i) const { return m_list[static_cast<size_t>(i)]; }

private:
    std::vector<QORTestHeader> m_list;
};

class QORTestClientCert : public QORClientCert, public QORTestRecorder {
public:
    QORTestClientCert()
        : QORTestRecorder("cert")
    {
    }
    QORStatus getIssuerDN(QORStringRef* dn) override;
    QORStatus getSubjectDN(QORStringRef* dn) override;
    QORStatus getSerialNumber(QORStringRef* serial) override;

    // An empty text is reported as absent (0x35f02002).
    std::string issuerDN;
    std::string subjectDN;
    std::string serialNumber;
};

class QORTestServer : public QORServer, public QORTestRecorder {
public:
    QORTestServer(const char* vhostID = "default", const char* name = "www.example.com",
                  int port = 80)
        : QORTestRecorder("server")
        , vhostID(vhostID)
        , name(name)
        , port(port)
    {
    }
    QORStatus getVHostID(QORStringRef* id) override;
    QORStatus getName(QORStringRef* name) override;
    QORStatus getPort(int* port) override;
    QORStatus getPortString(QORStringRefT<char>* port) override;

    std::string vhostID;
    std::string name;
    int port;
};

class QORTestSSLSession : public QORSSLSession, public QORTestRecorder {
public:
    QORTestSSLSession()
        : QORTestRecorder("ssl")
    {
    }
    QORStatus getID(QORBuffer* id) override;
    bool canRequestClientCert() override;
    // Returns 0 (or what failOn says) and counts the request.
    QORStatus requestClientCert() override;
    bool requestCertByRedirect() override;

    // Gives the session a certificate recording into the same log.
    QORTestClientCert* addClientCert();

    // An empty ID is absent (0x35f02002).
    std::string id;
    bool canRequest = true;
    bool certByRedirect = false;
    int certRequests = 0;
};

// What requests and responses share: headers, cookies and the finalize
// counts. Base is QORRequest or QORResponse.
template <class Base>
class QORTestMessage : public Base, public QORTestRecorder {
public:
    QORStatus getUTF8Header(const QORStringRef& name, QORStringRef* value) override;
    QORStatus getNCPHeader(const QORStringRef& name, QORNCPStringRef* value) override;
    QORStatus getNextUTF8Header(QORStringRef* value) override;
    QORStatus getNextNCPHeader(QORNCPStringRef* value) override;
    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus addHeader(const QORStringRef& name, const QORStringRefT<char>& value) override;
    QORStatus finalizeHeader() override;
    QORStatus finalizeBody() override;
    QORStatus getContentLength(unsigned int* length) override;
    QORStatus setCookie(const QORStringRef& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path,
                        const QORStringRefT<char>* domain, int flags) override;

    QORTestHeaders headers;
    std::vector<QORTestCookie> cookies;
    int headerFinalized = 0;
    int bodyFinalized = 0;

protected:
    template <class... BaseArgs>
    explicit QORTestMessage(const char* name, BaseArgs... args)
        : Base(args...)
        , QORTestRecorder(name)
    {
    }
    // The cookie named name, or null.
    const QORTestCookie* findCookie(const QORStringRef& name) const;

private:
    // The value of header i (none when negative), and the first value of
    // name, then each further one.
    QORStatus headerAt(int i, QORStringRefT<char>* value);
    QORStatus firstHeader(const QORStringRef& name, QORStringRefT<char>* value);
    QORStatus nextHeader(QORStringRefT<char>* value);

    int m_nextHeader = -1;
    std::string m_nextName;
};

extern template class QORTestMessage<QORRequest>;
extern template class QORTestMessage<QORResponse>;

class QORTestRequest : public QORTestMessage<QORRequest> {
public:
    explicit QORTestRequest(QORAllocator* allocator = nullptr)
        : QORTestMessage("req", allocator)
    {
    }

    QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                        QORNCPStringRef* path, QORNCPStringRef* domain,
                        int* flags) override;
    QORStatus removeHeader(const QORStringRef& name) override;
    QORStatus getQuery(QORStringRef* query) override;
    QORStatus setQuery(const QORStringRef& query) override;
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
    QORStatus setBody(const QORBuffer& body) override;
    // Moves up to length bytes (all for length <= 0) of pendingBody to the
    // end of postData.
    QORStatus retrieveBody(int length) override;
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    QORStatus getFullURL(QORStringRef* url) override;
    QORStatus getConnectionID(QORStringRef* id) override;
    QORStatus getWSAUser(QORStringRef* user) override;
    QORStatus setWSAUser(QORStringRef* user) override;
    QORStatus requestWSA() override;
    QORStatus setWSARequested() override;
    QORStatus getWSARequested(bool& requested) override;
    bool isSubRequest() override;
    QORStatus setWebLogUser(const QORStringRef& first, const QORStringRef& second,
                            const QORStringRef& third) override;
    bool requestWSAByRedirect() override;

    // Gives the request a server / an SSL session (owned by the request,
    // replacing any earlier one) recording into the same log.
    QORTestServer* addServer(const char* vhostID = "default",
                             const char* name = "www.example.com", int port = 80);
    QORTestSSLSession* addSSLSession();
    QORTestServer* server() const { return static_cast<QORTestServer*>(m_server); }
    QORTestSSLSession* sslSession() const
    {
        return static_cast<QORTestSSLSession*>(m_sslSession);
    }

    std::string method = "GET";
    std::string uri = "/";
    std::string query;
    bool hasQuery = false;
    std::string version = "HTTP/1.1";
    std::string clientIP = "192.0.2.1";
    int security = 0;
    std::string postData;
    std::string pendingBody;
    // The raw request; empty counts as present.
    std::string httpBuffer;
    // Empty is absent (0x35f02002).
    std::string connectionID;
    std::string wsaUser;
    bool wsaRequested = false;
    bool subRequest = false;
    bool wsaByRedirect = false;
    std::string webLogUser[3];
};

class QORTestResponse : public QORTestMessage<QORResponse> {
public:
    QORTestResponse();

    QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                        QORNCPStringRef* path, QORNCPStringRef* domain,
                        QORNCPStringRef* expires, QORNCPStringRef* version, int* secure,
                        int* maxAge) override;
    QORStatus getBody(QORBuffer* body) override;
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;
    QORStatus appendBody(const QORBuffer& piece) override;
    QORStatus setBodyFromFile(const char* fileName) override;
    QORStatus getCode(int* code) override;
    QORStatus setCode(int code) override;
    QORStatus getSubCode(int* subCode) override;
    QORStatus setSubCode(int subCode) override;
    QORStatus getContentType(QORNCPStringRef* type) override;
    QORStatus setContentType(const QORStringRef& type) override;
    QORStatus setKeepAlive() override;
    QORStatus setUseDefaultResponse(bool useDefault) override;
    QORStatus setCaptureRsp(const QORStringRef& id, const QORStringRef& vhostID,
                            const QORStringRef& uri, int security) override;
    // Back to an empty 200 response.
    QORStatus beginNew() override;
    QORStatus setBodyToDefault() override;

    // The adapter-side state the library does not keep itself.
    bool useDefaultResponse() const { return m_useDefaultResponse; }
    int code() const { return m_code; }

    int subCode = 0;
    bool hasSubCode = false;
    std::string contentType;
    // The pieces appended, back to back.
    std::string body;
    int bodyPieces = 0;
    std::string bodyFile;
    bool bodyIsDefault = false;
    std::string httpBuffer;
    // What setCaptureRsp was given.
    bool captured = false;
    std::string captureID;
    std::string captureVHostID;
    std::string captureURI;
    int captureSecurity = 0;
    int newResponses = 0;
};

class QORTestTransaction : public QORTransaction, public QORTestRecorder {
public:
    // m_request and m_response point at the embedded request and response;
    // all objects record into this transaction's log.
    explicit QORTestTransaction(QORAllocator* allocator = nullptr);
    ~QORTestTransaction() override;

    QORStatus logMessage(qor_log_levels_e level, int messageID, ...) override;
    QORStatus logText(qor_log_levels_e level, const char* text) override;
    void setRetry(bool retry) override;
    QORStatus prepareForRetry() override;

    QORTestRequest& request() { return m_testRequest; }
    QORTestResponse& response() { return m_testResponse; }
    // Shorthands for the request's.
    QORTestServer* addServer(const char* vhostID = "default",
                             const char* name = "www.example.com", int port = 80);
    QORTestSSLSession* addSSLSession();

    // The shared log and its failure rules.
    QORTestCallLog& calls() { return callLog(); }
    void failOn(const char* op, QORStatus status, int after = 0)
    {
        callLog().failOn(op, status, after);
    }
    // For every object, servers and sessions added later included.
    void setLibraryDefaults(bool on);

    // Lines given to logText, in order.
    std::vector<std::string> logLines;
    // The message IDs given to logMessage, in order.
    std::vector<int> loggedMessages;
    int retryPreparations = 0;

private:
    QORTestRequest m_testRequest;
    QORTestResponse m_testResponse;
};

// Counts its own destruction into *deleted, to see who deletes it.
template <class Base>
class QORTestCounted : public Base {
public:
    explicit QORTestCounted(int* deleted)
        : m_deleted(deleted)
    {
    }
    ~QORTestCounted() override { ++*m_deleted; }

private:
    int* m_deleted;
};

