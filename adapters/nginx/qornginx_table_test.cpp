// The end-to-end tables every adapter passes (qore2erows.h), against a real
// nginx with the module on free loopback ports (HTTP, and HTTPS with a test
// CA), in front of the scripted authorization server and then the real one.
#include <unistd.h>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "qore2e.h"
#include "qore2erows.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qornginxecho.h"
#include "qortestauthserver.h"
#include "qorwebserver.h"

namespace {

class NginxFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = getenv("DXQOR_TEST_TMPDIR");
        m_dir = qor_reachable_dir(tmp && *tmp ? tmp : "/tmp") + "/nginx-table-"
                + std::to_string(getpid());
        qor_remove_tree(m_dir);
        ASSERT_TRUE(qor_make_dirs(m_dir + "/root/opt/dxqor/etc"));
        ASSERT_TRUE(qor_make_dirs(m_dir + "/tmp"));
        ASSERT_TRUE(qor_e2e_make_site(m_dir + "/site"));
        ASSERT_TRUE(qor_e2e_make_certificates(m_dir + "/certs"));
        ASSERT_TRUE(qor_write_file(m_dir + "/root/opt/dxqor/etc/dxqor.conf",
                                   "[dxweb-plugins]\nvirtual-host = protected\n"
                                   "unprotected-virtual-host = static\n"));
        ASSERT_TRUE(m_echo.start());
        m_client.httpPort = qor_free_loopback_port();
        m_client.httpsPort = qor_free_loopback_port();
        m_client.caFile = m_dir + "/certs/ca.pem";
        ASSERT_NE(m_client.httpPort, 0);
        ASSERT_NE(m_client.httpsPort, 0);
    }

    void startNginx(const std::string& serverID)
    {
        m_serverID = serverID;
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
        };
        std::string conf = qor_fill_template(
            qor_read_file(std::string(DXQOR_SOURCE_DIR) + "/adapters/nginx/nginx-e2e.conf.in"), v);
        ASSERT_TRUE(qor_write_file(m_dir + "/nginx.conf", conf));
        m_nginx.reset(new QORWebServer({"/usr/sbin/nginx", "-p", m_dir, "-c", m_dir + "/nginx.conf",
                                        "-g", "daemon off;"},
                                       m_client.httpPort, m_dir + "/stderr.log"));
        m_nginx->setReadyFile(m_dir + "/nginx.pid");
#ifdef DXQOR_SANITIZER_PRELOAD
        // nginx is not instrumented, and frees little at exit by design.
        m_nginx->addEnvironment("LD_PRELOAD=" DXQOR_SANITIZER_PRELOAD);
        m_nginx->addEnvironment("ASAN_OPTIONS=detect_leaks=0");
#endif
        ASSERT_TRUE(m_nginx->start()) << m_nginx->log() << qor_read_file(m_dir + "/error.log");
        ASSERT_TRUE(QORWebServer::accepting(m_client.httpsPort));
    }

    // Stops both and checks that neither left a process or an IPC object.
    void TearDown() override
    {
        stopServer();
        if (m_nginx) {
            pid_t group = m_nginx->pid();
            EXPECT_TRUE(m_nginx->stop()) << "nginx did not stop on SIGTERM";
            EXPECT_TRUE(QORWebServer::waitGroupGone(group, 1000)) << "nginx processes left";
            // Worker crashes, and sanitizer reports (nginx sends the
            // worker's standard error to its error log).
            std::string log = qor_read_file(m_dir + "/error.log") + m_nginx->log();
            for (const char* bad : {"exited on signal", "Sanitizer", "runtime error"})
                EXPECT_EQ(log.find(bad), std::string::npos) << bad;
        }
        if (!m_serverID.empty()) {
            EXPECT_EQ(qor_ipc_testing::removePoolObjects(m_serverID.c_str()), 0);
        }
        releaseServer();
        m_echo.stop();
        if (!HasFailure())
            qor_remove_tree(m_dir);
        else
            std::fprintf(stderr, "kept %s for inspection\n", m_dir.c_str());
    }

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
    std::unique_ptr<QORWebServer> m_nginx;
    QORTestEchoServer m_echo;
    QORE2EClient m_client;
};

class NginxScripted : public NginxFixture {
protected:
    void SetUp() override
    {
        NginxFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_auth.reset(new QORTestAuthServer(m_dir + "/authz.id",
                                           qor_e2e_scripted_policy(m_dir + "/site")));
        ASSERT_EQ(m_auth->start(), qor_s_ok);
        startNginx(m_auth->name());
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

TEST_F(NginxScripted, TableOfRequests)
{
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

class NginxAuthzd : public NginxFixture {
protected:
    void SetUp() override
    {
        NginxFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_auth.reset(new QORAuthzTestServer(DXQOR_AUTHZD, "nginx"));
        std::string packaging = std::string(DXQOR_SOURCE_DIR) + "/packaging/";
        m_auth->write("users", qor_read_file(packaging + "htpasswd"));
        m_auth->write("groups", qor_read_file(packaging + "groups"));
        m_auth->writePolicy("", kQORE2EAuthzdPolicy);
        startNginx(m_auth->serverID());
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

TEST_F(NginxAuthzd, TableOfRequests)
{
    QORE2ERequest alice;
    alice.path = "/private/echo.cgi";
    alice.credentials = "alice:wonderland";
    EXPECT_EQ(m_client.fetch(alice).status, 503);
    startServer();
    for (int i = 0; i < 300 && m_client.fetch(alice).status != 200; ++i)
        usleep(100 * 1000);
    run(qor_e2e_authzd_rows());
}

} // namespace
