// End to end: nginx with the module, in front of a small echo server (a
// second server block of the same nginx), asking a scripted authorization
// server over the real channel.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "proxyif/framework/qorproxyifmessage.h"
#include "qoripctesting.h"
#include "qornginx.h"
#include "qortestauthserver.h"
#include "qortestinstallroot.h"

namespace {

// Ports: 0 the protected host "www", 1 the echo server, 2 the host
// "static", unprotected in dxqor.conf.
std::string httpConf(const std::string& serverID)
{
    return "dxqor_server_id " + serverID + ";\n"
           "dxqor_init_retry 1;\n"
           "dxqor_strip_header X-User;\n"
           "server { listen 127.0.0.1:@PORT1@; location / {\n"
           "  return 200 \"method=$request_method uri=$uri args=$args user=$http_x_user;\\n\"; } }\n"
           "server { listen 127.0.0.1:@PORT0@; server_name www; dxqor on;\n"
           "  location / { proxy_pass http://127.0.0.1:@PORT1@; } }\n"
           "server { listen 127.0.0.1:@PORT2@; server_name static; dxqor on;\n"
           "  location / { proxy_pass http://127.0.0.1:@PORT1@; } }\n";
}

// "www" keeps its objects under /web; everything under /web/pub is open;
// "static" is unprotected.
QORTestAuthScript baseScript()
{
    QORTestAuthScript s = qor_test_auth_script("www", "/web", {{"GET", "r"}, {"POST", "rm"}}, "static");
    s.branches = {{"/web", {{"/web/pub", "*"}}}};
    s.headers = {{false, false, "X-User", "alice"}};
    return s;
}

class NginxE2ETest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(300);
        m_root.reset(new QORTestInstallRoot("ngx", "[dxweb-plugins]\n"
                                                   "unprotected-virtual-host = static\n"
                                                   "virtual-host = www\n"));
        m_path.reset(new QORTestIPCPath("ngx"));
        nginx.reset(new QORTestNginx("e2e", DXQOR_NGINX_MODULE, 3));
#ifdef DXQOR_SANITIZER_PRELOAD
        nginx->addEnvironment("LD_PRELOAD=" DXQOR_SANITIZER_PRELOAD);
        nginx->addEnvironment("ASAN_OPTIONS=detect_leaks=0");
#endif
    }

    void TearDown() override
    {
        nginx.reset();
        server.reset();
        EXPECT_EQ(m_path->countPoolObjects(), 0);
        m_path.reset();
        m_root.reset();
        qor_test_watchdog(0);
    }

    void startServer(const QORTestAuthScript& script)
    {
        server.reset(new QORTestAuthServer(m_path->c_str(), script));
        ASSERT_EQ(server->start(), qor_s_ok);
    }

    void startNginx()
    {
        ASSERT_TRUE(nginx->start("env DXQOR_ROOT;", httpConf(m_path->c_str())));
    }

    // Both, and nginx attached to the server.
    void startAll(const QORTestAuthScript& script)
    {
        startServer(script);
        startNginx();
        ASSERT_TRUE(nginx->waitForLog("attached to authorization server"));
    }

    QORTestHTTPResponse get(const std::string& target, int port = 0,
                            const std::string& headers = "")
    {
        return qor_test_http(nginx->port(port), qor_test_get(target, headers));
    }

    int webQuestions() { return server->shared().questions[qor_msg_web_req_question]; }

    std::unique_ptr<QORTestNginx> nginx;
    std::unique_ptr<QORTestAuthServer> server;

private:
    std::unique_ptr<QORTestInstallRoot> m_root;
    std::unique_ptr<QORTestIPCPath> m_path;
};

struct Row {
    const char* name;
    std::function<void(QORTestAuthScript&)> script;
    std::function<void(QORTestAuthShared&)> shared;
    int port;
    std::string request;
    int status;
    const char* bodyHas;    // "" for none
    const char* bodyLacks;  // "" for none
    const char* logHas;     // "" for none
    int questions;
};

// What the shared tables (qornginx_table_test.cpp) leave out.
const Row kRows[] = {
    {"HostileHeaderNameIsRefused",
     [](QORTestAuthScript& s) { s.headers = {{false, true, "X User", "a"}}; }, nullptr, 0,
     qor_test_get("/private"), 500, "", "", "request header name", 1},
    {"ServerErrorAnswerGives503", nullptr,
     [](QORTestAuthShared& sh) { sh.webErrorStatus = 0x35f0200c; }, 0, qor_test_get("/private"),
     503, "", "", "", 1},
    {"SevereErrorResultGives500", [](QORTestAuthScript& s) { s.rspCode = 0; }, nullptr, 0,
     qor_test_get("/private"), 500, "", "", "", 1},
    {"BodyAskedForByEveryAnswerIsReadOnce",
     [](QORTestAuthScript& s) { s.rules = {{"/private", "", true, 5, {}}}; }, nullptr, 0,
     "POST /private HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n"
     "Connection: close\r\n\r\nhi",
     500, "", "", "body asked for again", 2},
};

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

class NginxRowTest : public NginxE2ETest, public ::testing::WithParamInterface<Row> {};

TEST_P(NginxRowTest, Answers)
{
    const Row& row = GetParam();
    QORTestAuthScript script = baseScript();
    if (row.script)
        row.script(script);
    startAll(script);
    if (row.shared)
        row.shared(server->shared());
    QORTestHTTPResponse rsp = qor_test_http(nginx->port(row.port), row.request);
    EXPECT_EQ(rsp.status, row.status) << rsp.head << "\n" << rsp.body;
    if (*row.bodyHas) {
        EXPECT_NE(rsp.body.find(row.bodyHas), std::string::npos) << rsp.body;
    }
    if (*row.bodyLacks) {
        EXPECT_EQ(rsp.body.find(row.bodyLacks), std::string::npos) << rsp.body;
        EXPECT_EQ(rsp.head.find(row.bodyLacks), std::string::npos) << rsp.head;
    }
    if (*row.logHas) {
        EXPECT_TRUE(nginx->waitForLog(row.logHas)) << nginx->errorLog();
    }
    EXPECT_EQ(webQuestions(), row.questions);
}

INSTANTIATE_TEST_SUITE_P(Rows, NginxRowTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

// Before the server is up: 503 for protected requests, unprotected hosts
// served; once it is up, the retried initialize lets requests through.
TEST_F(NginxE2ETest, InitializeIsRetriedUntilTheServerIsUp)
{
    startNginx();
    EXPECT_EQ(get("/private").status, 503);
    QORTestHTTPResponse open = get("/private", 2);
    EXPECT_EQ(open.status, 200) << open.head << nginx->errorLog();
    startServer(baseScript());
    ASSERT_TRUE(nginx->waitForLog("attached to authorization server"));
    QORTestHTTPResponse rsp = get("/private");
    EXPECT_EQ(rsp.status, 200);
    EXPECT_NE(rsp.body.find("user=alice;"), std::string::npos);
}

// One worker: 50 slow clients hold connections open and questions are held
// by the server, while cache-decided requests go on being answered; once
// the server answers, the held requests complete, and a client that left
// while its question was out does the worker no harm.
TEST_F(NginxE2ETest, TheEventLoopIsNeverBlocked)
{
    startAll(baseScript());
    std::vector<int> slow;
    const char part[] = "GET /private HTTP/1.1\r\nHost: localhost\r\n";
    for (int i = 0; i < 50; i++) {
        int fd = qor_test_connect(nginx->port());
        if (fd >= 0 && send(fd, part, sizeof part - 1, MSG_NOSIGNAL) == sizeof part - 1)
            slow.push_back(fd);
        else if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(slow.size(), 50u);

    server->shared().holdWeb = true;
    std::vector<int> heldStatus(4, 0);
    std::vector<std::thread> held;
    for (int i = 0; i < 4; i++)
        held.emplace_back([&, i] { heldStatus[i] = get("/private").status; });
    // A client that leaves while its question is out.
    held.emplace_back([&] { qor_test_http(nginx->port(), qor_test_get("/private"), 200); });
    bool asked = QORTestAuthServer::waitFor(
        server->shared().questions[qor_msg_web_req_question], 1, 30000);
    int cacheHits = 0;
    for (int i = 0; i < 20; i++)
        cacheHits += get("/pub/a").status == 200;
    server->shared().holdWeb = false;
    for (std::thread& t : held)
        t.join();
    EXPECT_TRUE(asked);
    EXPECT_EQ(cacheHits, 20);
    for (int s : heldStatus)
        EXPECT_EQ(s, 200);

    const char rest[] = "Connection: close\r\n\r\n";
    int answered = 0;
    for (int fd : slow) {
        char buf[64] = {};
        if (send(fd, rest, sizeof rest - 1, MSG_NOSIGNAL) == sizeof rest - 1
            && recv(fd, buf, sizeof buf - 1, 0) > 0)
            answered += strncmp(buf, "HTTP/1.1 200", 12) == 0;
        close(fd);
    }
    EXPECT_EQ(answered, 50);
    EXPECT_EQ(get("/private").status, 200);
    EXPECT_EQ(nginx->errorLog().find("exited on signal"), std::string::npos);
}

} // namespace
