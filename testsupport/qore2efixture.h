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
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qore2e.h"
#include "qore2ebackends.h"
#include "qore2erows.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qortestdir.h"
#include "qortestauthserver.h"
#include "qorwebserver.h"

class QORE2EFixture : public ::testing::Test {
protected:
    // Writes the configuration of a web server with its files in dir, on
    // client's ports, serving the fixture's site in front of serverID; the
    // command line that runs it in the foreground and the file it writes
    // once ready.
    virtual std::vector<std::string> configureWebServer(const std::string& dir,
                                                        const QORE2EClient& client,
                                                        const std::string& serverID,
                                                        std::string* readyFile) = 0;
    // Until the web server in dir, on client's ports, is attached to its
    // authorization server, every process of it (ASSERTs, 30 s at most).
    virtual void waitAttached(const std::string& dir, const QORE2EClient& client) = 0;
    void waitAttached() { waitAttached(m_dir, m_client); }

    // Starts the web server in front of serverID (ASSERTs on failure).
    void startWebServer(const std::string& serverID)
    {
        std::string ready;
        std::vector<std::string> argv = configureWebServer(m_dir, m_client, serverID, &ready);
        ASSERT_FALSE(argv.empty());
        launch(argv, ready);
    }

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
    void prepareAuthzd(const char* tag, const std::string& serverEntries = "")
    {
        m_authzd.reset(new QORAuthzTestServer(DXQOR_AUTHZD, tag));
        std::string packaging = std::string(DXQOR_SOURCE_DIR) + "/packaging/";
        m_authzd->write("users", qor_read_file(packaging + "htpasswd"));
        m_authzd->write("groups", qor_read_file(packaging + "groups"));
        m_authzd->writePolicy(serverEntries, kQORE2EAuthzdPolicy);
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

    // With the decision cache on: what a kept answer must still get right.
    // The web server must be attached to the running server, every process
    // of it. Requests are repeated so that each process is likely to have
    // kept the answer; a kept answer that should not apply fails the test
    // in whichever process it is.
    void runDecisionCacheTable(int processes)
    {
        const std::string cacheOn = decisionCacheOn();
        const std::string spoof = std::string(kQORE2EIdentityHeader) + ": mallory";
        QORE2ERow alice = {"kept answer applied whole: the spoofed identity stripped",
                           {}, 200, {}, {}, {"user=alice"}, {"mallory"}};
        alice.request.path = "/private/echo.cgi/alone";
        alice.request.credentials = "alice:wonderland";
        alice.request.headers = {spoof};
        QORE2ERow rabbit = {"another password of the same user misses", alice.request, 401,
                            {}, {}, {}, {"user="}};
        rabbit.request.credentials = "alice:rabbit";
        QORE2ERow remove = {"another method misses", alice.request, 403, {}, {}, {}, {"user="}};
        remove.request.method = "DELETE";
        QORE2ERow other = {"another virtual host misses", alice.request, 200, {}, {}, {"user=\n"},
                           {"alice", "mallory"}};
        other.request.host = "static.test";
        std::vector<QORE2EStepRow> rows;
        for (int i = 0; i < 4; ++i)
            rows.push_back({kQORE2ENothing, alice});
        for (const QORE2ERow* r : {&rabbit, &remove, &other, &alice})
            rows.push_back({kQORE2ENothing, *r});
        run(rows);
        // Some of alice's repeats were answered by a kept decision.
        EXPECT_GE(figures(processes)["decision_cache_hits"], 1);

        // A reload that takes the page from alice is seen at once.
        std::string policy = kQORE2EAuthzdPolicy;
        size_t at = policy.rfind("user = alice r\n");
        ASSERT_NE(at, std::string::npos);
        m_authzd->writePolicy(cacheOn, policy.substr(0, at) + policy.substr(at + 15));
        ASSERT_TRUE(m_authzd->reload()) << m_authzd->output();
        alice.name = "a reload is seen on the next request";
        alice.status = 403;
        alice.bodyHas = {};
        run({{kQORE2ENothing, alice}});

        // A logout is seen on the next request, in every process.
        m_authzd->writePolicy(cacheOn, std::string(kQORE2EAuthzdPolicy)
                                                + "[login]\nsession-idle-lifetime = 2\n");
        ASSERT_TRUE(m_authzd->reload()) << m_authzd->output();
        QORE2ERequest page;
        page.path = "/forms/echo.cgi";
        page.headers = {"Cookie: " + formLogin("alice", "wonderland")};
        for (int i = 0; i < 4; ++i)
            (void)m_client.fetch(page);  // kept where they land; 200 or 303 (idle) alike
        QORE2ERequest logout = page;
        logout.path = "/dxqor/logout";
        EXPECT_EQ(m_client.fetch(logout).status, 200);
        EXPECT_EQ(m_client.fetch(page).status, 303) << "a logout seen on the next request";

        // Kept answers are not shown to the server, so a session used only
        // through them goes idle there; once they are older than their
        // lifetime the server is asked again and says so. Without the cache
        // every request would keep the session alive; with entries that
        // never died the page would be served for ever.
        page.headers = {"Cookie: " + formLogin("alice", "wonderland")};
        int status = 0;
        for (int i = 0; i < 240 && (status = m_client.fetch(page).status) == 200; ++i)
            usleep(250 * 1000);
        EXPECT_EQ(status, 303) << "a kept answer outlived its lifetime";
    }

    // Two sites, one sign-in: each a web server (web names its kind) with
    // its own dxqor-authzd, both with the same policy, users and groups in
    // one slapd, sessions in one redis-server.
    void runTwoSites(const char* web)
    {
        QORE2EBackends backends(m_dir + "/backends");
        ASSERT_TRUE(backends.start()) << backends.slapd().log() << backends.redis().log();
        // Nothing remembered: every request asks the directory.
        const char* entries =
            "credential-cache-lifetime = 0\nfailure-delay = 0\nfailure-limit = 3\n";
        ASSERT_NO_FATAL_FAILURE(prepareAuthzd((std::string(web) + "-a").c_str()));
        backends.configure(*m_authzd, entries);
        startServer();
        ASSERT_NO_FATAL_FAILURE(waitAttached());
        QORAuthzTestServer authzdB(DXQOR_AUTHZD, (std::string(web) + "-b").c_str());
        backends.configure(authzdB, entries);
        ASSERT_EQ(authzdB.start(), qor_s_ok) << authzdB.output();
        QORE2EClient b = m_client;
        b.httpPort = qor_free_loopback_port();
        b.httpsPort = qor_free_loopback_port();
        std::string dirB = m_dir + "/b";
        ASSERT_TRUE(qor_make_dirs(dirB + "/tmp"));
        std::string ready;
        QORWebServer webB(configureWebServer(dirB, b, authzdB.serverID(), &ready), b.httpPort,
                          dirB + "/stderr.log");
        webB.setReadyFile(ready);
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
        EXPECT_TRUE(qor_test_wait_until([&] {
            return status(1, "/private/echo.cgi", "alice:wonderland") == "200 user=alice";
        }));
        // Redis lost its sessions with its restart: a new sign-in once both
        // sites have found it again (each waits out its back-off), then a
        // logout on B that A sees.
        for (int site : {0, 1})
            EXPECT_TRUE(
                qor_test_wait_until([&] { return status(site, "/dxqor/login", "") == "200"; }));
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
        authzdB.stop();
        EXPECT_EQ(qor_ipc_testing::removePoolObjects(authzdB.serverID()), 0);
    }

    // The [server] entry that turns the decision cache on.
    static std::string decisionCacheOn()
    {
        return "decision-cache-lifetime = " + std::to_string(kQORE2EDecisionLifetime) + "\n";
    }

    // Signs user in through the login form; the session cookie "name=value".
    std::string formLogin(const std::string& user, const std::string& password)
    {
        QORE2ERequest login;
        login.path = "/dxqor/login";
        QORE2EResponse r = m_client.fetch(login);
        size_t at = r.body.find("name=\"token\" value=\"");
        EXPECT_NE(at, std::string::npos) << r.body;
        if (at == std::string::npos)
            return "";
        at += std::strlen("name=\"token\" value=\"");
        std::string token = r.body.substr(at, r.body.find('"', at) - at);
        login.method = "POST";
        login.headers = {"Content-Type: application/x-www-form-urlencoded"};
        login.body = "username=" + user + "&password=" + password
                     + "&target=%2Fforms%2Fecho.cgi&token=" + token;
        r = m_client.fetch(login);
        const std::string* cookie = r.header("Set-Cookie");
        EXPECT_NE(cookie, nullptr) << r.status << r.body;
        return cookie != nullptr ? cookie->substr(0, cookie->find(';')) : "";
    }

    // The plug-in's status page (plain.test/dxqor-status) summed over the
    // web server's processes: asked until that many different ones have
    // answered (200 requests at most). Then what the tables did must show.
    // The plug-in's figures of each of the web server's processes, added up.
    std::map<std::string, long> figures(int processes)
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
        EXPECT_EQ(static_cast<int>(seen.size()), processes);
        std::map<std::string, long> sum;
        for (auto& p : seen)
            for (auto& f : p.second)
                sum[f.first] += f.second;
        return sum;
    }

    void checkFigures(int processes)
    {
        std::map<std::string, long> sum = figures(processes);
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
