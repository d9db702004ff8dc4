// qore2efixture.h: what every adapter's end-to-end table test sets up: its
// own directory with the site, the test CA and dxqor.conf, free loopback
// ports, the authorization server (scripted, or the real dxqor-authzd) and
// the web server the subclass launches; and the checks on the way down
// that neither left a process, a sanitizer report or an IPC object.
// Header-only: the including test supplies DXQOR_SOURCE_DIR, DXQOR_AUTHZD
// and, in sanitizer builds, DXQOR_SANITIZER_PRELOAD.
#ifndef QORE2EFIXTURE_H
#define QORE2EFIXTURE_H

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qore2e.h"
#include "qore2erows.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qorwebserver.h"

class QORE2EFixture : public ::testing::Test {
protected:
    // Starts the web server in front of serverID (ASSERTs on failure).
    virtual void startWebServer(const std::string& serverID) = 0;

    // The directory <tmp>/<prefix><pid> and everything in it but the
    // web server's own configuration.
    void makeSite(const std::string& prefix)
    {
        const char* tmp = getenv("DXQOR_TEST_TMPDIR");
        m_dir = qor_reachable_dir(tmp && *tmp ? tmp : "/tmp") + "/" + prefix
                + std::to_string(getpid());
        qor_remove_tree(m_dir);
        ASSERT_TRUE(qor_make_dirs(m_dir + "/root/opt/dxqor/etc"));
        ASSERT_TRUE(qor_make_dirs(m_dir + "/tmp"));
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

    // Runs argv until it writes readyFile and accepts on both ports.
    void launch(const std::vector<std::string>& argv, const std::string& readyFile)
    {
        m_web.reset(new QORWebServer(argv, m_client.httpPort, m_dir + "/stderr.log"));
        m_web->setReadyFile(readyFile);
#ifdef DXQOR_SANITIZER_PRELOAD
        // The web server is not instrumented, and frees little at exit by design.
        m_web->addEnvironment("LD_PRELOAD=" DXQOR_SANITIZER_PRELOAD);
        m_web->addEnvironment("ASAN_OPTIONS=detect_leaks=0");
#endif
        ASSERT_TRUE(m_web->start()) << m_web->log() << qor_read_file(m_dir + "/error.log");
        ASSERT_TRUE(QORWebServer::accepting(m_client.httpsPort));
    }

    // The scripted server over the test site, then the web server.
    void startScripted()
    {
        m_scripted.reset(new QORTestAuthServer(m_dir + "/authz.id",
                                               qor_e2e_scripted_policy(m_dir + "/site")));
        ASSERT_EQ(m_scripted->start(), qor_s_ok);
        m_serverID = m_scripted->name();
        startWebServer(m_serverID);
    }

    // The web server only: the real server is prepared but started by the
    // test, so that the first requests find it down.
    void prepareAuthzd(const char* tag)
    {
        m_authzd.reset(new QORAuthzTestServer(DXQOR_AUTHZD, tag));
        std::string packaging = std::string(DXQOR_SOURCE_DIR) + "/packaging/";
        m_authzd->write("users", qor_read_file(packaging + "htpasswd"));
        m_authzd->write("groups", qor_read_file(packaging + "groups"));
        m_authzd->writePolicy("", kQORE2EAuthzdPolicy);
        m_serverID = m_authzd->serverID();
        startWebServer(m_serverID);
    }

    void stopServer()
    {
        if (m_scripted)
            m_scripted->stop();
        if (m_authzd)
            m_authzd->stop();
    }
    void startServer()
    {
        if (m_scripted) {
            ASSERT_EQ(m_scripted->start(), qor_s_ok);
        }
        if (m_authzd) {
            ASSERT_EQ(m_authzd->start(), qor_s_ok) << m_authzd->output();
        }
    }

    void TearDown() override
    {
        stopServer();
        if (m_web) {
            pid_t group = m_web->pid();
            EXPECT_TRUE(m_web->stop()) << "the web server did not stop on SIGTERM";
            EXPECT_TRUE(QORWebServer::waitGroupGone(group, 1000)) << "web server processes left";
            // Worker crashes and sanitizer reports, wherever the server puts them.
            std::string log = qor_read_file(m_dir + "/error.log") + m_web->log();
            for (const char* bad : {"exited on signal", "Sanitizer", "runtime error"})
                EXPECT_EQ(log.find(bad), std::string::npos) << bad << "\n" << log;
        }
        if (!m_serverID.empty()) {
            EXPECT_EQ(qor_ipc_testing::removePoolObjects(m_serverID.c_str()), 0);
        }
        m_scripted.reset();
        m_authzd.reset();
        if (!HasFailure())
            qor_remove_tree(m_dir);
        else
            std::fprintf(stderr, "kept %s for inspection\n", m_dir.c_str());
    }

    // The rows in order, stopping or starting the server where a row says.
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

    // The plug-in's status page (plain.test/dxqor-status) summed over the
    // web server's processes: asked until that many different ones have
    // answered (200 requests at most). Then what the tables did must show.
    void checkFigures(int processes)
    {
        QORE2ERequest page;
        page.host = "plain.test";
        page.path = "/dxqor-status";
        std::map<long, std::map<std::string, long>> seen;
        for (int i = 0; i < 200 && static_cast<int>(seen.size()) < processes; ++i) {
            std::istringstream lines(m_client.fetch(page).body);
            std::map<std::string, long> f;
            std::string name;
            long value = 0;
            while (lines >> name >> value)
                f[name] = value;
            if (f.count("process"))
                seen[f["process"]] = f;
        }
        ASSERT_EQ(static_cast<int>(seen.size()), processes);
        std::map<std::string, long> sum;
        for (auto& p : seen)
            for (auto& f : p.second)
                sum[f.first] += f.second;
        // The first request and the row with the server stopped were 503s;
        // open pages came from the cache; every other row was asked.
        EXPECT_GE(sum["unavailable_503"], 2);
        EXPECT_GE(sum["cache_hits"], 1);
        EXPECT_GE(sum["questions"], 10);
        EXPECT_EQ(sum["answer_wait_expired"], 0);
    }

    std::string m_dir;
    std::string m_serverID;
    std::unique_ptr<QORWebServer> m_web;
    QORE2EClient m_client;
    std::unique_ptr<QORTestAuthServer> m_scripted;
    std::unique_ptr<QORAuthzTestServer> m_authzd;
};

#endif
