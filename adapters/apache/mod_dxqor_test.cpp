// mod_dxqor_test.cpp: the checks on answer texts, and the end-to-end table:
// a real Apache with mod_dxqor on free loopback ports (HTTP and HTTPS with
// a test CA) in front of a scripted authorization server, one row per
// behaviour, run in order (some rows stop or restart the server first).
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "msg/core/qorwebtransanswerbase.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "qorapachecheck.h"
#include "qore2e.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qorwebserver.h"

namespace {

using namespace qor_apache;
typedef QORWebTransAnswerBase A;

struct CheckRow {
    bool (*check)(const char*, int);
    const char* text;
    bool expected;
};

TEST(ApacheChecks, AnswerTextsAreCheckedBeforeApacheSeesThem)
{
    const CheckRow rows[] = {
        {isSafeText, "plain value", true},
        {isSafeText, "a\r\nInjected: 1", false},
        {isSafeText, "a\nb", false},
        {isToken, "X-Dxqor-User", true},
        {isToken, "Bad Name", false},
        {isToken, "", false},
        {isToken, "a:b", false},
        {isVersion, "HTTP/1.1", true},
        {isVersion, "HTTP/1.1 ", false},
        {isVersion, "HTTPS/1.1", false},
        {isSafePath, "/public/index.html", true},
        {isSafePath, "/a/..", false},
        {isSafePath, "/a/%2e%2E/b", false},
        {isSafePath, "/a/./b", false},
        {isSafePath, "/a/%2fb", false},
        {isSafePath, "/a/b?c", false},
        {isSafePath, "relative", false},
        {isSafePath, "/a/...b/.x", true},
        {isSafeQuery, "a=1&b=2", true},
        {isSafeQuery, "a=1#frag", false},
    };
    for (const CheckRow& r : rows)
        EXPECT_EQ(r.check(r.text, static_cast<int>(std::strlen(r.text))), r.expected) << r.text;
    // A NUL inside the length is refused too.
    EXPECT_FALSE(isSafeText("a\0b", 3));
    EXPECT_TRUE(isStatusCode(599));
    EXPECT_FALSE(isStatusCode(600));
    EXPECT_FALSE(isStatusCode(99));
    EXPECT_TRUE(isInsideDirectory("/srv/body/a.html", "/srv/body/"));
    EXPECT_FALSE(isInsideDirectory("/srv/bodyx/a.html", "/srv/body"));
    EXPECT_FALSE(isInsideDirectory("/srv/body", "/srv/body"));
}

// What the test does before a row's request.
enum Step { kNothing, kStopServer, kStartServer };

struct E2ERow {
    Step before;
    QORE2ERow row;
};

QORE2ERequest get(const char* path, const char* host = "protected.test")
{
    QORE2ERequest r;
    r.host = host;
    r.path = path;
    return r;
}

QORE2ERequest withHeaders(QORE2ERequest r, std::vector<std::string> headers)
{
    r.headers = std::move(headers);
    return r;
}

QORE2ERequest post(const char* path, const char* body)
{
    QORE2ERequest r = get(path);
    r.method = "POST";
    r.body = body;
    r.headers = {"Content-Type: text/plain"};
    return r;
}

QORE2ERequest tls(const char* path, const std::string& certs)
{
    QORE2ERequest r = get(path);
    r.https = true;
    r.clientCert = certs + "/client.pem";
    r.clientKey = certs + "/client.key";
    return r;
}

QORTestAuthCommand header(int cmd, const char* name, const char* value)
{
    return {cmd, name, value, 0};
}

QORTestAuthCommand text(int cmd, const std::string& value)
{
    return {cmd, "", value, 0};
}

QORTestAuthCommand number(int cmd, int n)
{
    return {cmd, "", "", n};
}

// The policy: /public is open (decided by the cache), the rest of
// "protected" is asked; "static" is unprotected. Unless a rule says
// otherwise, an asked request carries on as alice, with a private response.
QORTestAuthScript policy(const std::string& site)
{
    QORTestAuthScript s = qor_test_auth_script("protected", "/protected",
                                               {{"GET", "r"}, {"POST", "rm"}}, "static");
    s.branches = {{"/protected", {{"/protected/public", "*"}}}};
    s.headers = {{false, false, kQORE2EIdentityHeader, "alice"},
                 {true, true, "Cache-Control", "private"}};
    const QORTestAuthCommand alice = header(A::qor_req_set_header, kQORE2EIdentityHeader, "alice");
    s.rules = {
        {"/private/echo.cgi/query", "", false, 1, {alice, text(A::qor_req_set_query, "rewritten=1")}},
        {"/private/echo.cgi/method", "", false, 1, {alice, text(A::qor_req_set_method, "PUT")}},
        {"/private/echo.cgi/body", "approve", true, 1, {alice}},
        {"/private/echo.cgi/body", "", true, 3,
         {number(A::qor_rsp_set_response_code, 403), text(A::qor_rsp_set_content_type, "text/plain"),
          text(A::qor_rsp_set_body, "body refused\n")}},
        {"/private/echo.cgi/tls", "", false, 1,
         {header(A::qor_req_set_header, kQORE2EIdentityHeader, "$subject")}},
        {"/private/echo.cgi/hostile-rsp", "", false, 1,
         {alice, header(A::qor_rsp_set_header, "X-Note", "a\r\nInjected: 1")}},
        {"/private/echo.cgi/hostile-req", "", false, 1,
         {header(A::qor_req_set_header, kQORE2EIdentityHeader, "alice\r\nX-Admin: 1")}},
        {"/private/denied", "", false, 3,
         {number(A::qor_rsp_set_response_code, 403), text(A::qor_rsp_set_content_type, "text/html"),
          text(A::qor_rsp_set_body_from_file, site + "/body/denied.html")}},
        {"/private/outside", "", false, 3,
         {number(A::qor_rsp_set_response_code, 403),
          text(A::qor_rsp_set_body_from_file, "/etc/passwd")}},
        {"/private/login", "", false, 4,
         {number(A::qor_rsp_set_response_code, 401),
          header(A::qor_rsp_set_header, "WWW-Authenticate", "Basic realm=\"dxqor\"")}},
        {"/private/moved", "", false, 1, {text(A::qor_req_set_uri, "/public/index.html")}},
        {"/private/traversal", "", false, 1, {text(A::qor_req_set_uri, "/private/../../etc/passwd")}},
        {"/private/badcode", "", false, 3, {number(A::qor_rsp_set_response_code, 999)}},
        {"", "Content-Type: text/plain", false, 3,
         {number(A::qor_rsp_set_response_code, 451), text(A::qor_rsp_set_content_type, "text/plain"),
          text(A::qor_rsp_set_body, "withheld\n")}},
    };
    s.rules.back().response = true;
    return s;
}

std::vector<E2ERow> table(const std::string& certs)
{
    const char* id = kQORE2EIdentityHeader;
    return {
        {kNothing, {"open page decided by the cache", get("/public/index.html"), 200, {},
                    {"Cache-Control"}, {"public page"}, {}}},
        {kNothing, {"asked page carries on with the identity", get("/private/echo.cgi"), 200,
                    {"Cache-Control: private"}, {}, {"user=alice", "method=GET"}, {}}},
        {kNothing, {"spoofed identity replaced on an asked page",
                    withHeaders(get("/private/echo.cgi"),
                                {std::string(id) + ": mallory", "X-Spoofed: yes"}),
                    200, {}, {}, {"user=alice"}, {"mallory", "spoof=yes"}}},
        {kNothing, {"spoofed identity removed on a cache-decided page",
                    withHeaders(get("/public/echo.cgi"), {std::string(id) + ": mallory"}), 200,
                    {}, {"Cache-Control"}, {"user=\n"}, {"mallory"}}},
        {kNothing, {"unprotected virtual host never asks",
                    withHeaders(get("/private/echo.cgi", "static.test"),
                                {std::string(id) + ": mallory"}),
                    200, {}, {"Cache-Control"}, {"user=\n"}, {"alice", "mallory"}}},
        {kNothing, {"host without dxqor", get("/private/index.html", "plain.test"), 200, {},
                    {"Cache-Control"}, {"private page"}, {}}},
        {kNothing, {"query rewritten", get("/private/echo.cgi/query?orig=1"), 200, {}, {},
                    {"query=rewritten=1"}, {"orig"}}},
        {kNothing, {"method rewritten", get("/private/echo.cgi/method"), 200, {}, {},
                    {"method=PUT"}, {}}},
        {kNothing, {"body read, inspected and replayed",
                    post("/private/echo.cgi/body", "please approve this"), 200, {}, {},
                    {"user=alice", "body=please approve this"}, {}}},
        {kNothing, {"body refused by its content", post("/private/echo.cgi/body", "reject"), 403,
                    {"Content-Type: text/plain"}, {}, {"body refused"}, {"body="}}},
        {kNothing, {"built response from a body file", get("/private/denied"), 403,
                    {"Content-Type: text/html", "Content-Length: 24"}, {},
                    {"denied by policy"}, {}}},
        {kNothing, {"body file outside the allowed directory", get("/private/outside"), 500, {},
                    {}, {}, {"root:"}}},
        {kNothing, {"default response with a challenge", get("/private/login"), 401,
                    {"WWW-Authenticate: Basic"}, {}, {}, {}}},
        {kNothing, {"URI rewritten and mapped again", get("/private/moved"), 200, {}, {},
                    {"public page"}, {}}},
        {kNothing, {"hostile response header refused",
                    get("/private/echo.cgi/hostile-rsp"), 500, {}, {"Injected", "X-Note"}, {},
                    {"user="}}},
        {kNothing, {"hostile request header refused",
                    get("/private/echo.cgi/hostile-req"), 500, {}, {"X-Admin"}, {}, {"user="}}},
        {kNothing, {"path traversal in a rewritten URI refused", get("/private/traversal"), 500,
                    {}, {}, {}, {"root:"}}},
        {kNothing, {"status code out of range refused", get("/private/badcode"), 500, {}, {}, {},
                    {}}},
        {kNothing, {"response shown to the server, its headers applied",
                    get("/public/index.html", "inspect.test"), 200, {"Cache-Control: private"}, {},
                    {"public page"}, {}}},
        {kNothing, {"response replaced by the server", get("/private/echo.cgi", "inspect.test"),
                    451, {"Content-Type: text/plain", "Content-Length: 9"}, {}, {"withheld"},
                    {"method="}}},
        {kNothing, {"client certificate over HTTPS", tls("/private/echo.cgi/tls", certs), 200, {},
                    {}, {"user=CN=e2e client"}, {}}},
        {kStopServer, {"authorization server down", get("/private/echo.cgi"), 503, {}, {}, {},
                       {"user="}}},
        {kNothing, {"open page still served from the cache", get("/public/index.html"), 200, {},
                    {}, {"public page"}, {}}},
        {kStartServer, {"authorization server back", get("/private/echo.cgi"), 200, {}, {},
                        {"user=alice"}, {}}},
    };
}

// A real Apache with mod_dxqor on free ports, its own directory, the site,
// the test CA and dxqor.conf; the authorization server is the subclass's.
class ApacheFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = getenv("DXQOR_TEST_TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/tmp";
        qor_make_dirs(base);
        // Apache's children run as another user when the test runs as
        // root: they must reach the key file and the site.
        chmod(base.c_str(), 0711);
        m_dir = base + "/apache-e2e-" + std::to_string(getpid());
        qor_remove_tree(m_dir);
        ASSERT_TRUE(qor_make_dirs(m_dir + "/root/opt/dxqor/etc"));
        ASSERT_TRUE(qor_e2e_make_site(m_dir + "/site"));
        ASSERT_TRUE(qor_e2e_make_certificates(m_dir + "/certs"));
        ASSERT_TRUE(qor_write_file(m_dir + "/root/opt/dxqor/etc/dxqor.conf",
                                   "[dxweb-plugins]\nvirtual-host = protected\n"
                                   "unprotected-virtual-host = static\n"));
        m_client.httpPort = qor_free_loopback_port();
        m_client.httpsPort = qor_free_loopback_port();
        m_client.caFile = m_dir + "/certs/ca.pem";
        ASSERT_NE(m_client.httpPort, 0);
        ASSERT_NE(m_client.httpsPort, 0);
    }

    void startApache(const std::string& serverID)
    {
        m_serverID = serverID;
        std::map<std::string, std::string> v = {
            {"DIR", m_dir},
            {"PORT", std::to_string(m_client.httpPort)},
            {"HTTPS_PORT", std::to_string(m_client.httpsPort)},
            {"MODULES", DXQOR_APACHE_MODULES},
            {"MOD_DXQOR", DXQOR_MOD_DXQOR},
            {"USER", geteuid() == 0 ? "User www-data\nGroup root" : ""},
            {"SERVERS", "2"},
            {"LOGLEVEL", "warn"},
            {"SITE", m_dir + "/site"},
            {"SERVER_ID", serverID},
            {"ROOT", m_dir + "/root"},
            {"CERTS", m_dir + "/certs"},
        };
        std::string adapter = std::string(DXQOR_SOURCE_DIR) + "/adapters/apache/";
        v["HTTPS"] = qor_fill_template(qor_read_file(adapter + "httpd-e2e-ssl.conf.in"), v);
        std::string conf = qor_fill_template(qor_read_file(adapter + "httpd-e2e.conf.in"), v);
        ASSERT_TRUE(qor_write_file(m_dir + "/httpd.conf", conf));
        m_apache.reset(new QORWebServer({DXQOR_APACHE_HTTPD, "-f", m_dir + "/httpd.conf",
                                         "-DFOREGROUND"},
                                        m_client.httpPort, m_dir + "/stderr.log"));
        m_apache->setReadyFile(m_dir + "/httpd.pid");
        ASSERT_TRUE(m_apache->start()) << m_apache->log() << qor_read_file(m_dir + "/error.log");
        ASSERT_TRUE(QORWebServer::accepting(m_client.httpsPort));
    }

    // Stops Apache and checks that it left no process; the subclass stops
    // its server first.
    void TearDown() override
    {
        if (m_apache) {
            pid_t group = m_apache->pid();
            EXPECT_TRUE(m_apache->stop()) << "Apache did not stop on SIGTERM";
            EXPECT_TRUE(QORWebServer::waitGroupGone(group, 1000)) << "Apache processes left";
        }
        // Nothing of the channel may be left once both have stopped.
        if (!m_serverID.empty()) {
            EXPECT_EQ(qor_ipc_testing::removePoolObjects(m_serverID.c_str()), 0);
        }
        if (!HasFailure())
            qor_remove_tree(m_dir);
        else
            std::fprintf(stderr, "kept %s for inspection\n", m_dir.c_str());
    }

    virtual void stopServer() = 0;
    virtual void startServer() = 0;

    void run(const std::vector<E2ERow>& rows)
    {
        for (const E2ERow& r : rows) {
            SCOPED_TRACE(r.row.name);
            if (r.before == kStopServer)
                stopServer();
            if (r.before == kStartServer)
                startServer();
            EXPECT_EQ(qor_e2e_check(r.row, m_client.fetch(r.row.request)), "");
        }
    }

    std::string m_dir;
    std::string m_serverID;
    std::unique_ptr<QORWebServer> m_apache;
    QORE2EClient m_client;
};

class ApacheScripted : public ApacheFixture {
protected:
    void SetUp() override
    {
        ApacheFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_auth.reset(new QORTestAuthServer(m_dir + "/authz.id", policy(m_dir + "/site")));
        ASSERT_EQ(m_auth->start(), qor_s_ok);
        startApache(m_auth->name());
    }
    void TearDown() override
    {
        if (m_auth)
            m_auth->stop();
        ApacheFixture::TearDown();
        m_auth.reset();
    }
    void stopServer() override { m_auth->stop(); }
    void startServer() override { ASSERT_EQ(m_auth->start(), qor_s_ok); }

    std::unique_ptr<QORTestAuthServer> m_auth;
};

TEST_F(ApacheScripted, TableOfRequests)
{
    run(table(m_dir + "/certs"));
    // Every refusal left a line saying what was refused.
    std::string log = qor_read_file(m_dir + "/error.log");
    EXPECT_NE(log.find("response header value was refused"), std::string::npos) << log;
    EXPECT_NE(log.find("URI was refused"), std::string::npos);
    EXPECT_NE(log.find("body file was refused"), std::string::npos);
}

} // namespace

namespace {

QORE2ERequest as(QORE2ERequest r, const char* credentials)
{
    r.credentials = credentials;
    return r;
}

// The demonstration's policy on the real server: everything open but
// /private (alice, or the staff group) and /admin (the admins group).
const char kPolicy[] =
    "[virtual-host protected]\n"
    "branch = /protected\n"
    "[virtual-host static]\n"
    "unprotected = yes\n"
    "[object /protected]\n"
    "unauthenticated = *\n"
    "[object /protected/private]\n"
    "user = alice r\n"
    "group = staff rw\n"
    "[object /protected/admin]\n"
    "group = admins *\n";

std::vector<E2ERow> policyTable()
{
    const std::string spoof = std::string(kQORE2EIdentityHeader) + ": mallory";
    return {
        {kNothing, {"open page from the cache", get("/public/index.html"), 200, {}, {},
                    {"public page"}, {}}},
        {kNothing, {"protected page asks for a login", get("/private/echo.cgi"), 401,
                    {"WWW-Authenticate: Basic"}, {}, {}, {"user="}}},
        {kNothing, {"wrong password", as(get("/private/echo.cgi"), "alice:rabbit"), 401, {}, {},
                    {}, {"user="}}},
        {kNothing, {"signed-in user reaches the page with the identity header",
                    as(withHeaders(get("/private/echo.cgi"), {spoof}), "alice:wonderland"), 200,
                    {}, {}, {"user=alice"}, {"mallory"}}},
        {kNothing, {"admin area refused to a user outside the group",
                    as(get("/admin/index.html"), "alice:wonderland"), 403, {}, {}, {},
                    {"admin page"}}},
        {kNothing, {"admin area for the group", as(get("/admin/echo.cgi"), "dave:diver"), 200, {},
                    {}, {"user=dave"}, {}}},
        {kNothing, {"directory URL decided by its own object", as(get("/admin/"), "alice:wonderland"),
                    403, {}, {}, {}, {"admin page"}}},
        {kNothing, {"directory URL asks for a login", get("/private/"), 401, {}, {}, {},
                    {"private page"}}},
        {kNothing, {"directory URL for the group", as(get("/admin/"), "dave:diver"), 200, {}, {},
                    {"admin page"}, {}}},
        {kNothing, {"spoofed identity removed from an open page",
                    withHeaders(get("/public/echo.cgi"), {spoof}), 200, {}, {}, {"user=\n"},
                    {"mallory"}}},
        {kNothing, {"dot segments resolved before the decision",
                    get("/public/../private/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kNothing, {"encoded dot segments resolved before the decision",
                    get("/public/%2e%2e/private/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kNothing, {"encoded unreserved characters decoded before the decision",
                    get("/%70rivate/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kNothing, {"unprotected virtual host", get("/private/index.html", "static.test"), 200,
                    {}, {}, {"private page"}, {}}},
        {kStopServer, {"authorization server stopped", as(get("/private/echo.cgi"),
                                                           "alice:wonderland"),
                       503, {}, {}, {}, {"user="}}},
        {kStartServer, {"authorization server started again",
                        as(get("/private/echo.cgi"), "alice:wonderland"), 200, {}, {},
                        {"user=alice"}, {}}},
    };
}

class ApacheAuthzd : public ApacheFixture {
protected:
    void SetUp() override
    {
        ApacheFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_auth.reset(new QORAuthzTestServer(DXQOR_AUTHZD, "apache"));
        std::string packaging = std::string(DXQOR_SOURCE_DIR) + "/packaging/";
        m_auth->write("users", qor_read_file(packaging + "htpasswd"));
        m_auth->write("groups", qor_read_file(packaging + "groups"));
        m_auth->writePolicy("", kPolicy);
        // Apache comes up first: until the server is there, requests it
        // would decide get 503.
        startApache(m_auth->serverID());
    }
    void TearDown() override
    {
        if (m_auth)
            m_auth->stop();
        ApacheFixture::TearDown();
        m_auth.reset();
    }
    void stopServer() override { m_auth->stop(); }
    void startServer() override { ASSERT_EQ(m_auth->start(), qor_s_ok) << m_auth->output(); }

    std::unique_ptr<QORAuthzTestServer> m_auth;
};

TEST_F(ApacheAuthzd, TableOfRequests)
{
    const QORE2ERequest alice = as(get("/private/echo.cgi"), "alice:wonderland");
    EXPECT_EQ(m_client.fetch(alice).status, 503);
    startServer();
    // Each child attaches on its first request after the retry interval;
    // wait for it, bounded.
    for (int i = 0; i < 300 && m_client.fetch(alice).status != 200; ++i)
        usleep(100 * 1000);
    run(policyTable());
}

} // namespace
