// dxqor_demo: one web-server process's view of the plug-in, end to end.
//
// A scripted authorization server runs in a child process behind the real
// shared-memory channel. The demo builds a QORCore as an adapter would,
// initialises it against that server and hands it a few requests, printing
// for each what the core decided, what it changed in the request and the
// response, and whether the server was asked at all. Midway the server is
// killed and restarted, as an administrator's restart would; the core
// notices, fetches its configuration again and re-sends the question.
// Everything the demo makes (IPC objects, files) is removed at the end.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/shutdown/qorshutdown.h"
#include "plugin/core/qoradapter.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qortestinstallroot.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

namespace {

const char* resultName(int code)
{
    static const char* const names[] = {
        "qor_severe_error",        "qor_continue",
        "qor_continue_uninteresting", "qor_send_rsp_to_client",
        "qor_send_default_rsp_to_client", "qor_require_more_body_data"};
    return code >= 0 && code < 6 ? names[code] : "?";
}

// The policy the scripted server holds: "shop" is protected, its public
// pages (object /shop/public under the host's branch /shop) are open to all;
// "static" is an unprotected virtual host.
QORTestAuthScript policy()
{
    QORTestAuthScript s =
        qor_test_auth_script("shop", "/shop", {{"GET", "r"}, {"POST", "rm"}}, "static");
    s.postURIs = {{"upload:default", 4096}};
    s.configFlags = {{"audit", 1}};
    s.urcPollInterval = 600;
    s.branches = {{"/shop", {{"/shop/public", "*"}}}};
    // Protected requests are let through with the user's identity added.
    s.headers = {{false, false, "X-Authenticated-User", "alice"},
                 {true, true, "Cache-Control", "private"}};
    return s;
}

int webQuestions(QORTestAuthServer& server)
{
    return server.shared().questions[1].load();
}

bool request(QORCore& core, QORTestAuthServer& server, const char* vhost,
             const char* method, const char* uri)
{
    QORTestTransaction trans;
    trans.calls().setRecording(false);
    trans.addServer(vhost, "www.example.com", 443);
    trans.request().method = method;
    trans.request().uri = uri;
    int asked = webQuestions(server);
    QORStatus st = core.handleReq(&trans);
    asked = webQuestions(server) - asked;

    std::printf("%-6s %-7s %-24s status %#x, result %s%s\n", method, vhost, uri,
                (unsigned)st, resultName(trans.getResult()),
                asked ? ", decided by the server" : ", decided locally");
    const char* user = trans.request().headers.get("X-Authenticated-User");
    if (user)
        std::printf("%47s request header X-Authenticated-User: %s\n", "", user);
    const char* cc = trans.response().headers.get("Cache-Control");
    if (cc)
        std::printf("%47s response header Cache-Control: %s\n", "", cc);
    if (trans.response().code() != 0 && trans.response().code() != 200)
        std::printf("%47s response code %d\n", "", trans.response().code());
    return st == qor_s_ok;
}

} // namespace

int main()
{
    bool ok = true;
    {
        QORTestInstallRoot root("demo", "[dxweb-plugins]\n"
                                        "virtual-host = shop\n"
                                        "unprotected-virtual-host = static\n"
                                        "answer-wait-limit = 30\n"
                                        "retry-limit = 10\n"
                                        "refresh-wait-limit = 30\n");
        QORTestIPCPath path("demo");
        QORTestAuthServer server(path.c_str(), policy(), 4, 64 * 1024);
        if (server.start() != qor_s_ok) {
            std::fprintf(stderr, "dxqor_demo: the authorization server did not start\n");
            return 1;
        }
        std::printf("authorization server started: 4 workers, key path %s\n\n",
                    server.name());

        QORTestLog log;
        QORCore core("dxqor_demo");
        QORStatus st = core.initialize(server.name(), &log);
        std::printf("QORCore::initialize: status %#x (configuration questions seen: %d %d %d %d)\n\n",
                    (unsigned)st, server.shared().configQuestions[0].load(),
                    server.shared().configQuestions[1].load(),
                    server.shared().configQuestions[2].load(),
                    server.shared().configQuestions[3].load());
        ok = st == qor_s_ok;

        ok &= request(core, server, "static", "GET", "/logo.png");
        ok &= request(core, server, "shop", "GET", "/public/index.html");
        ok &= request(core, server, "shop", "GET", "/cart");
        ok &= request(core, server, "shop", "POST", "/checkout");

        std::printf("\nthe authorization server is killed and started again\n\n");
        server.kill();
        ok &= server.start() == qor_s_ok;
        int before = server.shared().configQuestions[3].load();
        ok &= request(core, server, "shop", "GET", "/orders");
        std::printf("%47s configuration fetched again: %s\n", "",
                    server.shared().configQuestions[3].load() > before ? "yes" : "no");

        std::printf("\nthe authorization server is stopped\n\n");
        server.stop();
        QORTestTransaction down;
        down.addServer("shop");
        down.request().uri = "/cart";
        QORStatus dst = core.handleReq(&down);
        std::printf("GET    shop    %-24s status %#x, result %s, response code %d\n",
                    "/cart", (unsigned)dst, resultName(down.getResult()), down.response().code());
        ok &= dst == qor_s_ok && down.getResult() == qor_send_default_rsp_to_client &&
              down.response().code() == 503;

        core.shutdown();
        ok &= path.countPoolObjects() == 0;
        std::printf("\nIPC objects left behind: %d\n", path.countPoolObjects());
    }
    qor_shutdown();
    std::printf("%s\n", ok ? "demo finished" : "demo FAILED");
    return ok ? 0 : 1;
}
