// The end-to-end tables every adapter passes (qore2erows.h), against a real
// nginx with the module on free loopback ports (HTTP, and HTTPS with a test
// CA), in front of the scripted authorization server and then the real one.
#include <unistd.h>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qore2efixture.h"
#include "qornginxecho.h"

namespace {

class NginxFixture : public QORE2EFixture {
protected:
    void SetUp() override
    {
        makeSite("nginx-table-");
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(m_echo.start());
    }

    std::vector<std::string> configureWebServer(const std::string& dir,
                                                const QORE2EClient& client,
                                                const std::string& serverID,
                                                std::string* readyFile) override
    {
        std::map<std::string, std::string> v = {
            {"DIR", dir},
            {"PORT", std::to_string(client.httpPort)},
            {"HTTPS_PORT", std::to_string(client.httpsPort)},
            {"ECHO_PORT", std::to_string(m_echo.port())},
            {"MODULE", DXQOR_NGINX_MODULE},
            // As root, nginx runs its worker as nobody, who may not use the
            // test's IPC objects.
            {"USER", geteuid() == 0 ? "user root;" : ""},
            {"SITE", m_dir + "/site"},
            {"SERVER_ID", serverID},
            {"ROOT", m_dir + "/root"},
            {"CERTS", m_dir + "/certs"},
            {"WORKERS", "1"},
            {"LOGLEVEL", "info"},
            {"ACCESS_LOG", dir + "/access.log"},
        };
        std::string adapter = std::string(DXQOR_SOURCE_DIR) + "/adapters/nginx/";
        v["SITES"] = qor_fill_template(qor_read_file(adapter + "nginx-e2e.conf.in"), v);
        std::string conf = qor_fill_template(qor_read_file(adapter + "nginx.conf.in"), v);
        if (!qor_write_file(dir + "/nginx.conf", conf))
            return {};
        *readyFile = dir + "/nginx.pid";
        return {"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf", "-g", "daemon off;"};
    }

    // The worker attaches on its own threads after it starts: a protected
    // page is a 503 until then.
    using QORE2EFixture::waitAttached;
    void waitAttached(const std::string&, const QORE2EClient& client) override
    {
        QORE2ERequest page;
        page.path = "/private/echo.cgi";
        page.credentials = "alice:wonderland";
        int status = 503;
        for (int i = 0; i < 300 && (status = client.fetch(page).status) == 503; ++i)
            usleep(100 * 1000);
        ASSERT_NE(status, 503);
    }

    void TearDown() override
    {
        QORE2EFixture::TearDown();
        m_echo.stop();
    }

    QORTestEchoServer m_echo;
};

TEST_F(NginxFixture, ScriptedServerTable)
{
    ASSERT_NO_FATAL_FAILURE(startScripted());
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    run(qor_e2e_scripted_rows(m_dir + "/certs"));
    std::string log = qor_read_file(m_dir + "/error.log");
    EXPECT_NE(log.find("refused: response header value"), std::string::npos) << log;
    EXPECT_NE(log.find("refused: URI"), std::string::npos);
    EXPECT_NE(log.find("refused: body file"), std::string::npos);
}

TEST_F(NginxFixture, RealServerTable)
{
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("nginx"));
    QORE2ERequest alice;
    alice.path = "/private/echo.cgi";
    alice.credentials = "alice:wonderland";
    EXPECT_EQ(m_client.fetch(alice).status, 503);
    startServer();
    for (int i = 0; i < 300 && m_client.fetch(alice).status != 200; ++i)
        usleep(100 * 1000);
    run(qor_e2e_authzd_rows());
    // nginx refuses every TRACE itself while it reads the request head.
    run(qor_e2e_method_rows(405, false));
    checkFigures(1);
}

// The decision cache on: kept answers are applied on the event loop.
TEST_F(NginxFixture, DecisionCacheTable)
{
    ASSERT_NO_FATAL_FAILURE(prepareAuthzd("nginx", decisionCacheOn()));
    startServer();
    ASSERT_NO_FATAL_FAILURE(waitAttached());
    runDecisionCacheTable(1);
}

// Two nginx sites, one sign-in: the Apache table's rows.
TEST_F(NginxFixture, TwoSitesOneSignIn)
{
    runTwoSites("nginx");
}

} // namespace
