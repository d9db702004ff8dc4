// mod_dxqor_test.cpp: the end-to-end tables of qore2erows.h: a real Apache
// with mod_dxqor on free loopback ports (HTTP, and HTTPS with a test CA) in
// front of the scripted authorization server, then in front of the real
// one; rows run in order (some stop or start the server first). Every
// table runs under the prefork MPM (a request per process) and the event
// MPM (requests on many threads of a process at once).
#include <unistd.h>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "qore2ebackends.h"
#include "qore2efixture.h"
#include "qortestdir.h"

namespace {

// A real Apache with mod_dxqor on free ports, under the MPM of the test's
// parameter; each child must have attached before the tables run.
class ApacheFixture : public QORE2EFixture, public ::testing::WithParamInterface<const char*> {
protected:
    // Apache's processes: as many at the start as ever.
    static constexpr int kChildren = 2;

    void SetUp() override { makeSite("apache-e2e-"); }

    void startWebServer(const std::string& serverID) override
    {
        ASSERT_TRUE(qor_write_file(m_dir + "/httpd.conf", httpdConf(m_dir, m_client, serverID)));
        launch({DXQOR_APACHE_HTTPD, "-f", m_dir + "/httpd.conf", "-DFOREGROUND"},
               m_dir + "/httpd.pid");
    }

    // The configuration of an Apache with its files in dir, on client's
    // ports, serving the fixture's site in front of serverID.
    std::string httpdConf(const std::string& dir, const QORE2EClient& client,
                          const std::string& serverID)
    {
        std::map<std::string, std::string> v = {
            {"DIR", dir},
            {"PORT", std::to_string(client.httpPort)},
            {"HTTPS_PORT", std::to_string(client.httpsPort)},
            {"MODULES", DXQOR_APACHE_MODULES},
            {"MPM", GetParam()},
            {"SERVERS", std::to_string(kChildren)},
            {"MOD_DXQOR", DXQOR_MOD_DXQOR},
            {"USER", geteuid() == 0 ? "User www-data\nGroup root" : ""},
            {"LOGLEVEL", "warn"},
            {"SITE", m_dir + "/site"},
            {"SERVER_ID", serverID},
            {"ROOT", m_dir + "/root"},
            {"CERTS", m_dir + "/certs"},
        };
        std::string adapter = std::string(DXQOR_SOURCE_DIR) + "/adapters/apache/";
        v["HTTPS"] = qor_fill_template(qor_read_file(adapter + "httpd-e2e-ssl.conf.in"), v);
        v["SITES"] = qor_fill_template(qor_read_file(adapter + "httpd-e2e.conf.in"), v);
        return qor_fill_template(qor_read_file(adapter + "httpd.conf.in"), v);
    }

    // Each child attaches when it starts, or (when the server was not up
    // then) on a request once its retry interval has passed. Requests
    // until every child has said so in the log (30 s at most).
    void waitAttached() { waitAttached(m_dir, m_client); }
    void waitAttached(const std::string& dir, const QORE2EClient& client)
    {
        QORE2ERequest open;
        open.path = "/public/index.html";
        for (int i = 0; i < 300 && attached(dir) < kChildren; ++i) {
            (void)client.fetch(open);  // only its side effect counts
            usleep(100 * 1000);
        }
        ASSERT_EQ(attached(dir), kChildren) << qor_read_file(dir + "/error.log");
    }
    int attached(const std::string& dir) const
    {
        std::string log = qor_read_file(dir + "/error.log");
        int n = 0;
        for (size_t at = log.find("attached to authorization server"); at != std::string::npos;
             at = log.find("attached to authorization server", at + 1))
            ++n;
        return n;
    }
};

TEST_P(ApacheFixture, ScriptedServerTable)
{
    ASSERT_NO_FATAL_FAILURE(startScripted());
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    run(qor_e2e_scripted_rows(m_dir + "/certs"));
    // Every refusal left a line saying what was refused.
    std::string log = qor_read_file(m_dir + "/error.log");
    EXPECT_NE(log.find("response header value was refused"), std::string::npos) << log;
    EXPECT_NE(log.find("URI was refused"), std::string::npos);
    EXPECT_NE(log.find("body file was refused"), std::string::npos);
}

// Apache comes up first: until the server is there, requests it would
// decide get 503.
TEST_P(ApacheFixture, RealServerTable)
{
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("apache"));
    QORE2ERequest alice;
    alice.path = "/private/echo.cgi";
    alice.credentials = "alice:wonderland";
    EXPECT_EQ(m_client.fetch(alice).status, 503);
    startServer();
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    run(qor_e2e_authzd_rows());
    run(qor_e2e_method_rows(405, true));  // TraceEnable off
    checkFigures(kChildren);
}

// The decision cache on, with both children keeping answers (and, with
// the event MPM, many threads of each sharing one cache).
TEST_P(ApacheFixture, DecisionCacheTable)
{
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("apache", decisionCacheOn()));
    startServer();
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    runDecisionCacheTable(kChildren);
}

// A form login: the login page's token, the POSTed form (a body the server
// asks for and the adapter reads and hands over), the session cookie.
TEST_P(ApacheFixture, FormLogin)
{
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("apache"));
    startServer();
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    QORE2ERequest page;
    page.path = "/forms/echo.cgi";
    QORE2EResponse r = m_client.fetch(page);
    ASSERT_EQ(r.status, 303) << r.body;
    ASSERT_NE(r.header("Location"), nullptr);
    EXPECT_EQ(r.header("Location")->find("/dxqor/login"), 0u) << *r.header("Location");

    std::string cookie = qor_e2e_form_sign_in(m_client, m_client, "alice", "wonderland");
    ASSERT_NE(cookie, "");
    EXPECT_EQ(qor_e2e_outcome(m_client, "/forms/echo.cgi", "", cookie), "200 user=alice");
}

// Two sites, one sign-in: each an Apache with its own dxqor-authzd, both
// with the same policy, users and groups in one slapd, sessions in one
// redis-server.
TEST_P(ApacheFixture, TwoSitesOneSignIn)
{
    QORE2EBackends backends(m_dir + "/backends");
    ASSERT_TRUE(backends.start()) << backends.slapd().log() << backends.redis().log();
    // Nothing remembered: every request asks the directory.
    const char* entries = "credential-cache-lifetime = 0\nfailure-delay = 0\nfailure-limit = 3\n";
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("apache-a"));
    backends.configure(*m_authzd, entries);
    startServer();
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    QORAuthzTestServer authzdB(DXQOR_AUTHZD, "apache-b");
    backends.configure(authzdB, entries);
    ASSERT_EQ(authzdB.start(), qor_s_ok) << authzdB.output();
    QORE2EClient b = m_client;
    b.httpPort = qor_free_loopback_port();
    b.httpsPort = qor_free_loopback_port();
    std::string dirB = m_dir + "/b";
    ASSERT_TRUE(qor_make_dirs(dirB));
    ASSERT_TRUE(qor_write_file(dirB + "/httpd.conf", httpdConf(dirB, b, authzdB.serverID())));
    QORWebServer webB({DXQOR_APACHE_HTTPD, "-f", dirB + "/httpd.conf", "-DFOREGROUND"},
                      b.httpPort, dirB + "/stderr.log");
    webB.setReadyFile(dirB + "/httpd.pid");
    ASSERT_TRUE(webB.start()) << webB.log() << qor_read_file(dirB + "/error.log");
    ASSERT_NO_FATAL_FAILURE(waitAttached(dirB, b));

    const QORE2EClient* sites[] = {&m_client, &b};
    auto status = [&](int site, const std::string& path, const std::string& credentials,
                      const std::string& cookie = "") {
        return qor_e2e_outcome(*sites[site], path, credentials, cookie);
    };
    auto signIn = [&](int from, int to) {
        return qor_e2e_form_sign_in(*sites[from], *sites[to], "alice", "wonderland");
    };

    std::string cookie = signIn(0, 1);
    ASSERT_NE(cookie, "");
    EXPECT_EQ(status(0, "/forms/echo.cgi", "", cookie), "200 user=alice");
    EXPECT_EQ(status(1, "/forms/echo.cgi", "", cookie), "200 user=alice");
    for (int site : {0, 1})
        EXPECT_EQ(status(site, "/private/echo.cgi", "bob:builder"), "200 user=bob") << site;
    ASSERT_TRUE(backends.removeFromGroup("bob", "staff"));
    for (int site : {0, 1})  // after the directory cache's lifetime
        EXPECT_TRUE(qor_test_wait_until(
            [&] { return status(site, "/private/echo.cgi", "bob:builder") == "403"; }))
            << site;

    ASSERT_TRUE(backends.redis().stop());
    EXPECT_EQ(status(0, "/forms/echo.cgi", "", cookie), "503");
    EXPECT_EQ(status(0, "/private/echo.cgi", "alice:wonderland"), "200 user=alice");
    ASSERT_TRUE(backends.slapd().stop());
    EXPECT_EQ(status(1, "/private/echo.cgi", "alice:wonderland"), "503");
    ASSERT_TRUE(backends.slapd().start()) << backends.slapd().log();
    ASSERT_TRUE(backends.redis().start()) << backends.redis().log();
    EXPECT_TRUE(qor_test_wait_until(
        [&] { return status(1, "/private/echo.cgi", "alice:wonderland") == "200 user=alice"; }));
    // Redis lost its sessions with its restart: a new sign-in once both
    // sites have found it again (each waits out its back-off), then a
    // logout on B that A sees.
    for (int site : {0, 1})
        EXPECT_TRUE(qor_test_wait_until([&] { return status(site, "/dxqor/login", "") == "200"; }));
    cookie = signIn(0, 0);
    EXPECT_EQ(status(1, "/forms/echo.cgi", "", cookie), "200 user=alice");
    EXPECT_EQ(status(1, "/dxqor/logout", "", cookie), "200");
    EXPECT_EQ(status(0, "/forms/echo.cgi", "", cookie), "303");
    // Wrong passwords spread over both sites count once: after the third
    // either site refuses the next attempt.
    for (int site : {0, 1, 0})
        EXPECT_EQ(status(site, "/private/echo.cgi", "carol:wrong"), "401") << site;
    EXPECT_EQ(status(1, "/private/echo.cgi", "carol:singer"), "429");
    EXPECT_TRUE(webB.stop());
}

INSTANTIATE_TEST_SUITE_P(Mpm, ApacheFixture, ::testing::Values("prefork", "event"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
