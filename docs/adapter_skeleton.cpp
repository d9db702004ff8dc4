// adapter_skeleton.cpp: the smallest adapter that compiles against
// plugin/core/qoradapter.h and links against libdxqor.so alone (see
// docs/adapter.md). Every pure operation is implemented; a real adapter
// fills them from its web server's request and response. The build runs it
// as the test "adapter_skeleton": without an authorization server,
// initialize fails and a request for a protected host is left undecided.
//
//   ./adapter_skeleton [serverID]
#include "plugin/core/qoradapter.h"

#include <cstdio>
#include <memory>

namespace {


class SkeletonServer : public QORServer {
public:
    QORStatus getVHostID(QORStringRef* id) override { return id->set("www"), qor_s_ok; }
    QORStatus getName(QORStringRef* name) override { return name->set("localhost"), qor_s_ok; }
    QORStatus getPort(int* port) override { return *port = 80, qor_s_ok; }
};

// Setting headers and cookies, which requests and responses share.
template <class Base>
class SkeletonMessage : public Base {
public:
    QORStatus setHeader(const QORStringRef&, const QORStringRefT<char>&) override
    {
        return qor_s_not_supported;
    }
    QORStatus addHeader(const QORStringRef&, const QORStringRefT<char>&) override
    {
        return qor_s_not_supported;
    }
    QORStatus setCookie(const QORStringRef&, const QORStringRefT<char>&,
                        const QORStringRefT<char>*, const QORStringRefT<char>*, int) override
    {
        return qor_s_not_supported;
    }
};

// GET / over plain HTTP, without headers. QORResponse implements the four
// header getters itself; a request implements them.
class SkeletonRequest : public SkeletonMessage<QORRequest> {
public:
    QORStatus getUTF8Header(const QORStringRef&, QORStringRef*) override
    {
        return qor_s_not_available;
    }
    QORStatus getNCPHeader(const QORStringRef&, QORNCPStringRef*) override
    {
        return qor_s_not_available;
    }
    QORStatus getNextUTF8Header(QORStringRef*) override { return qor_s_not_available; }
    QORStatus getNextNCPHeader(QORNCPStringRef*) override { return qor_s_not_available; }
    QORStatus getCookie(const QORStringRef&, QORNCPStringRef*, QORNCPStringRef*,
                        QORNCPStringRef*, int*) override
    {
        return qor_s_not_available;
    }
    QORStatus removeHeader(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus getQuery(QORStringRef*) override { return qor_s_not_available; }
    QORStatus setQuery(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus getURI(QORStringRef* uri) override { return uri->set("/"), qor_s_ok; }
    QORStatus setURI(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus getClientIP(QORStringRef& address) override
    {
        return address.set("127.0.0.1"), qor_s_ok;
    }
    QORStatus getSecurity(int* level) override { return *level = 0, qor_s_ok; }
    QORStatus getMethod(QORHTTPMethod* method) override
    {
        return *method = qor_method_get, qor_s_ok;
    }
    QORStatus getMethod(QORStringRef* method) override { return method->set("GET"), qor_s_ok; }
    QORStatus setMethod(QORHTTPMethod) override { return qor_s_not_supported; }
    QORStatus setMethod(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus getVersion(QORStringRef* version) override
    {
        return version->set("HTTP/1.1"), qor_s_ok;
    }
    QORStatus setVersion(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus getPostData(QORBuffer*) override { return qor_s_not_available; }
    QORStatus getHTTPBuffer(QORBuffer*) override { return qor_s_not_supported; }
    QORStatus setWebLogUser(const QORStringRef&, const QORStringRef&,
                            const QORStringRef&) override
    {
        return qor_s_not_supported;
    }
};

class SkeletonResponse : public SkeletonMessage<QORResponse> {
public:
    QORStatus appendBody(const QORBuffer&) override { return qor_s_not_supported; }
    QORStatus setBodyFromFile(const char*) override { return qor_s_not_supported; }
    QORStatus setCode(int code) override { return m_code = code, qor_s_ok; }
    QORStatus setContentType(const QORStringRef&) override { return qor_s_not_supported; }
    QORStatus setUseDefaultResponse(bool) override { return qor_s_ok; }

    int m_code = 200;
};

class SkeletonTransaction : public QORTransaction {
public:
    SkeletonTransaction()
        : QORTransaction(nullptr)
    {
    }
    QORStatus logText(qor_log_levels_e level, const char* text) override
    {
        fprintf(stderr, "skeleton log %d: %s\n", static_cast<int>(level), text);
        return qor_s_ok;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const char* serverID = argc > 1 ? argv[1] : "/nonexistent/dxqor-skeleton";
    int failures = 0;
    QORLog log(true);
    QORCore* core = new QORCore("adapter_skeleton");

    // A real adapter logs the failure and tries again later.
    QORStatus st = core->initialize(serverID, &log);
    printf("initialize(%s): 0x%08x\n", serverID, static_cast<unsigned>(st));
    bool serving = st == qor_s_ok;

    {
        SkeletonResponse response;
        SkeletonTransaction trans;
        SkeletonRequest* request = new SkeletonRequest;
        request->adoptServer(std::make_unique<SkeletonServer>());
        trans.m_request = request;
        trans.m_response = &response;
        st = core->handleReq(&trans);
        printf("handleReq: 0x%08x, result %d\n", static_cast<unsigned>(st),
               static_cast<int>(trans.getResult()));
        if (!serving && st != qor_s_not_initialized)
            failures++;
        // What the web server is told to do.
        const char* action = "no decision: apply the policy for an unavailable plug-in";
        if (st == qor_s_ok) {
            switch (trans.getResult()) {
            case qor_continue:
            case qor_continue_uninteresting: action = "serve the request"; break;
            case qor_send_rsp_to_client: action = "send the response object"; break;
            case qor_send_default_rsp_to_client: action = "send the default response"; break;
            case qor_require_more_body_data: action = "read more body, ask again"; break;
            default: action = "fail the request (500)"; break;
            }
        }
        printf("%s\n", action);
        delete request;
    }

    core->shutdown();
    delete core;
    qor_shutdown();
    printf("%s\n", failures == 0 ? "skeleton: ok" : "skeleton: FAILED");
    return failures == 0 ? 0 : 1;
}
