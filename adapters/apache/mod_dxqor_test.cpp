// mod_dxqor_test.cpp: the checks on answer texts, and the end-to-end
// tables of qore2erows.h: a real Apache with mod_dxqor on free loopback
// ports (HTTP, and HTTPS with a test CA) in front of the scripted
// authorization server, then in front of the real one; rows run in order
// (some stop or start the server first).
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "qorapachecheck.h"
#include "qore2e.h"
#include "qore2erows.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qorwebserver.h"

namespace {

using namespace qor_apache;

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

// A real Apache with mod_dxqor on free ports, its own directory, the site,
// the test CA and dxqor.conf; the authorization server is the subclass's.
class ApacheFixture : public ::testing::Test {
protected:
    // Apache's processes: as many at the start as ever.
    static constexpr int kChildren = 2;

    void SetUp() override
    {
        const char* tmp = getenv("DXQOR_TEST_TMPDIR");
        m_dir = qor_reachable_dir(tmp && *tmp ? tmp : "/tmp") + "/apache-e2e-"
                + std::to_string(getpid());
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
            {"SERVERS", std::to_string(kChildren)},
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
#ifdef DXQOR_SANITIZER_PRELOAD
        // Apache frees little at exit by design: leaks are not its faults.
        m_apache->addEnvironment("LD_PRELOAD=" DXQOR_SANITIZER_PRELOAD);
        m_apache->addEnvironment("ASAN_OPTIONS=detect_leaks=0");
#endif
        ASSERT_TRUE(m_apache->start()) << m_apache->log() << qor_read_file(m_dir + "/error.log");
        ASSERT_TRUE(QORWebServer::accepting(m_client.httpsPort));
    }

    // Stops both and checks that neither left a process or an IPC object.
    void TearDown() override
    {
        stopServer();
        if (m_apache) {
            pid_t group = m_apache->pid();
            EXPECT_TRUE(m_apache->stop()) << "Apache did not stop on SIGTERM";
            EXPECT_TRUE(QORWebServer::waitGroupGone(group, 1000)) << "Apache processes left";
            // Sanitizer reports of Apache's children (sanitizer builds).
            std::string log = m_apache->log();
            EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
            EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
        }
        // Nothing of the channel may be left once both have stopped.
        if (!m_serverID.empty()) {
            EXPECT_EQ(qor_ipc_testing::removePoolObjects(m_serverID.c_str()), 0);
        }
        releaseServer();
        if (!HasFailure())
            qor_remove_tree(m_dir);
        else
            std::fprintf(stderr, "kept %s for inspection\n", m_dir.c_str());
    }

    // Each child attaches when it starts, or (when the server was not up
    // then) on a request once its retry interval has passed. Requests
    // until every child has said so in the log (30 s at most).
    void waitAttached()
    {
        QORE2ERequest open;
        open.path = "/public/index.html";
        for (int i = 0; i < 300 && attached() < kChildren; ++i) {
            (void)m_client.fetch(open);  // only its side effect counts
            usleep(100 * 1000);
        }
        ASSERT_EQ(attached(), kChildren) << qor_read_file(m_dir + "/error.log");
    }
    int attached() const
    {
        std::string log = qor_read_file(m_dir + "/error.log");
        int n = 0;
        for (size_t at = log.find("attached to authorization server"); at != std::string::npos;
             at = log.find("attached to authorization server", at + 1))
            ++n;
        return n;
    }

    // The subclass's authorization server: stop (also when it never
    // started), start again, and remove everything it made.
    virtual void stopServer() = 0;
    virtual void startServer() = 0;
    virtual void releaseServer() = 0;

    void run(const std::vector<QORE2EStepRow>& rows)
    {
        for (const QORE2EStepRow& r : rows) {
            SCOPED_TRACE(r.row.name);
            if (r.before == kQORE2EStopServer)
                stopServer();
            if (r.before == kQORE2EStartServer)
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
        m_auth.reset(new QORTestAuthServer(m_dir + "/authz.id", qor_e2e_scripted_policy(m_dir + "/site")));
        ASSERT_EQ(m_auth->start(), qor_s_ok);
        startApache(m_auth->name());
        waitAttached();
    }
    void stopServer() override
    {
        if (m_auth)
            m_auth->stop();
    }
    void releaseServer() override { m_auth.reset(); }
    void startServer() override { ASSERT_EQ(m_auth->start(), qor_s_ok); }

    std::unique_ptr<QORTestAuthServer> m_auth;
};

TEST_F(ApacheScripted, TableOfRequests)
{
    run(qor_e2e_scripted_rows(m_dir + "/certs"));
    // Every refusal left a line saying what was refused.
    std::string log = qor_read_file(m_dir + "/error.log");
    EXPECT_NE(log.find("response header value was refused"), std::string::npos) << log;
    EXPECT_NE(log.find("URI was refused"), std::string::npos);
    EXPECT_NE(log.find("body file was refused"), std::string::npos);
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
        m_auth->writePolicy("", kQORE2EAuthzdPolicy);
        // Apache comes up first: until the server is there, requests it
        // would decide get 503.
        startApache(m_auth->serverID());
    }
    void stopServer() override
    {
        if (m_auth)
            m_auth->stop();
    }
    void releaseServer() override { m_auth.reset(); }
    void startServer() override { ASSERT_EQ(m_auth->start(), qor_s_ok) << m_auth->output(); }

    std::unique_ptr<QORAuthzTestServer> m_auth;
};

TEST_F(ApacheAuthzd, TableOfRequests)
{
    QORE2ERequest alice;
    alice.path = "/private/echo.cgi";
    alice.credentials = "alice:wonderland";
    EXPECT_EQ(m_client.fetch(alice).status, 503);
    startServer();
    waitAttached();
    run(qor_e2e_authzd_rows());
}

// A form login: the login page's token, the POSTed form (a body the server
// asks for and the adapter reads and hands over), the session cookie.
TEST_F(ApacheAuthzd, FormLogin)
{
    startServer();
    waitAttached();
    QORE2ERequest page;
    page.path = "/forms/echo.cgi";
    QORE2EResponse r = m_client.fetch(page);
    ASSERT_EQ(r.status, 303) << r.body;
    ASSERT_NE(r.header("Location"), nullptr);
    EXPECT_EQ(r.header("Location")->find("/dxqor/login"), 0u) << *r.header("Location");

    QORE2ERequest login;
    login.path = "/dxqor/login";
    r = m_client.fetch(login);
    ASSERT_EQ(r.status, 200);
    size_t at = r.body.find("name=\"token\" value=\"");
    ASSERT_NE(at, std::string::npos) << r.body;
    at += std::strlen("name=\"token\" value=\"");
    std::string token = r.body.substr(at, r.body.find('"', at) - at);

    login.method = "POST";
    login.headers = {"Content-Type: application/x-www-form-urlencoded"};
    login.body = "username=alice&password=wonderland&target=%2Fforms%2Fecho.cgi&token=" + token;
    r = m_client.fetch(login);
    ASSERT_EQ(r.status, 303) << r.body;
    ASSERT_NE(r.header("Set-Cookie"), nullptr);
    std::string cookie = r.header("Set-Cookie")->substr(0, r.header("Set-Cookie")->find(';'));

    page.headers = {"Cookie: " + cookie};
    r = m_client.fetch(page);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("user=alice"), std::string::npos) << r.body;
}

} // namespace
