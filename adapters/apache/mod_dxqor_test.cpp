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

    std::vector<std::string> configureWebServer(const std::string& dir,
                                                const QORE2EClient& client,
                                                const std::string& serverID,
                                                std::string* readyFile) override
    {
        if (!qor_write_file(dir + "/httpd.conf", httpdConf(dir, client, serverID)))
            return {};
        *readyFile = dir + "/httpd.pid";
        return {DXQOR_APACHE_HTTPD, "-f", dir + "/httpd.conf", "-DFOREGROUND"};
    }

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
    using QORE2EFixture::waitAttached;
    void waitAttached(const std::string& dir, const QORE2EClient& client) override
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

TEST_P(ApacheFixture, TwoSitesOneSignIn)
{
    runTwoSites("apache");
}

INSTANTIATE_TEST_SUITE_P(Mpm, ApacheFixture, ::testing::Values("prefork", "event"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
