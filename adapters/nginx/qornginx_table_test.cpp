// The end-to-end tables every adapter passes (qore2erows.h), against a real
// nginx with the module on free loopback ports (HTTP, and HTTPS with a test
// CA), in front of the scripted authorization server and then the real one.
#include <unistd.h>
#include <map>
#include <string>

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

    void startWebServer(const std::string& serverID) override
    {
        std::map<std::string, std::string> v = {
            {"DIR", m_dir},
            {"PORT", std::to_string(m_client.httpPort)},
            {"HTTPS_PORT", std::to_string(m_client.httpsPort)},
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
            {"ACCESS_LOG", m_dir + "/access.log"},
        };
        std::string adapter = std::string(DXQOR_SOURCE_DIR) + "/adapters/nginx/";
        v["SITES"] = qor_fill_template(qor_read_file(adapter + "nginx-e2e.conf.in"), v);
        std::string conf = qor_fill_template(qor_read_file(adapter + "nginx.conf.in"), v);
        ASSERT_TRUE(qor_write_file(m_dir + "/nginx.conf", conf));
        launch({"/usr/sbin/nginx", "-p", m_dir, "-c", m_dir + "/nginx.conf", "-g", "daemon off;"},
               m_dir + "/nginx.pid");
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
    // The worker attaches in the thread pool after it starts: wait for it.
    QORE2ERequest page;
    page.path = "/private/echo.cgi";
    for (int i = 0; i < 300 && m_client.fetch(page).status == 503; ++i)
        usleep(100 * 1000);
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
    QORE2ERequest open;
    open.path = "/private/echo.cgi";
    open.credentials = "alice:wonderland";
    for (int i = 0; i < 300 && m_client.fetch(open).status != 200; ++i)
        usleep(100 * 1000);
    runDecisionCacheTable(1);
}

} // namespace
