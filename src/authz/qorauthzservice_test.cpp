// The real dxqor-authzd answering a real plug-in core through the channel.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>
#include <string>
#include "plugin/core/qorcore.h"
#include "qorcoretesting.h"
#include "qorauthztestserver.h"
#include "qore2e.h"
#include "qoripctesting.h"
#include "qortestinstallroot.h"
#include "qortestlog.h"
#include "qortesttransaction.h"
#include "qorwebserver.h"

namespace {

// alice wonderland (bcrypt), bob builder ($apr1$), carol singer ({SHA}).
const char kUsers[] =
    "alice:$2y$05$LabAjCr3nvtZl5ZIX.uGt.dQQuKU3ImvjEiGHnriCYcNyH2k8oyQy\n"
    "bob:$apr1$N/FqldgB$tCgYE3S.r3A72M6W4QQ4n/\n"
    "carol:{SHA}X9zPCbMFzMPlYX7+7QubnxKI7iM=\n"
    // A hash libcrypt cannot compute: dave's password cannot be checked.
    "dave:$2y$05$short\n";

const char kServer[] = "failure-delay = 0\nfailure-limit = 4\n";

const char kPolicy[] =
    "[virtual-host www]\nbranch = /web\npermission = POST rw\n"
    "[object /web]\nunauthenticated = *\n"
    "[object /web/private]\nuser = alice r\ngroup = staff rw\n"
    "[object /web/docs]\nunauthenticated = r\nuser = bob rw\n"
    "[object /web/team]\nmethod = form\nuser = alice r\ngroup = staff r\n"
    "[login]\nmax-sessions-per-user = 2\nmax-form-body = 512\n";

} // namespace

class QORAuthzServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(180);
        server->write("users", kUsers);
        server->write("groups", "staff: carol\n");
        server->writePolicy(m_serverEntries, kPolicy);
        ASSERT_EQ(server->start(), qor_s_ok) << server->output();
        core.reset(new QORCore("authz_test"));
        ASSERT_EQ(core->initialize(server->serverID(), &log), qor_s_ok);
    }

    void TearDown() override
    {
        if (core) {
            core->shutdown();
            core.reset();
        }
        EXPECT_EQ(server->stop(), 0) << server->output();
        EXPECT_EQ(server->poolObjects(), 0);
        qor_test_watchdog(0);
    }

    typedef std::unique_ptr<QORAuthzTestTransaction> Transaction;

    // A request as the web server hands it over, handled unless told; auth
    // is the Authorization value ("" for none), or user:password for Basic;
    // a body makes it a form whose body the web server has yet to read.
    Transaction send(const std::string& uri, const char* method = "GET",
                     const std::string& auth = "", const std::string& cookie = "",
                     const std::string& body = "", bool handle = true,
                     const std::string& clientIP = "192.0.2.1")
    {
        Transaction t(new QORAuthzTestTransaction());
        QORAuthzTestRequest& r = t->req();
        r.clientIP = clientIP;
        r.addServer("www");
        r.uri = uri.substr(0, uri.find('?'));
        r.hasQuery = uri.find('?') != std::string::npos;
        r.query = r.hasQuery ? uri.substr(uri.find('?') + 1) : "";
        r.method = method;
        r.headers.add("X-Dxqor-User", "mallory");
        if (!cookie.empty())
            r.headers.add("Cookie", cookie.c_str());
        size_t colon = auth.find(':');
        std::string basic = qor_authz_test_basic(auth.substr(0, colon), auth.substr(colon + 1));
        if (!auth.empty())
            r.headers.add("Authorization", colon == std::string::npos ? auth.c_str() : basic.c_str());
        if (!body.empty()) {
            r.headers.add("Content-Type", "application/x-www-form-urlencoded");
            r.headers.add("Content-Length", std::to_string(body.size()).c_str());
            r.pendingBody = body;
        }
        qor_authz_test_http_message(r);
        if (handle)
            t->handled = core->handleReq(t.get());
        return t;
    }

    // Logs in through the form; the session cookie ("NAME=value"), or "".
    std::string formLogin(const std::string& user, const std::string& password,
                          const std::string& target = "/team/x", std::string* location = nullptr)
    {
        std::string token = tokenOf(send("/dxqor/login")->response().body);
        std::string body = "username=" + user + "&password=" + password + "&target=" + target +
                           "&token=" + token;
        auto t = post(body);
        const char* set = t->response().headers.get("Set-Cookie");
        if (location && t->response().headers.get("Location"))
            *location = t->response().headers.get("Location");
        std::string c = set ? set : "";
        return c.substr(0, c.find(';'));
    }

    Transaction post(const std::string& body) { return send("/dxqor/login", "POST", "", "", body); }

    static std::string tokenOf(const std::string& page)
    {
        const std::string marker = "name=\"token\" value=\"";
        size_t at = page.find(marker);
        return at == std::string::npos ? "" : page.substr(at + marker.size(), 32);
    }

    // "result code/response code/identity" of a request.
    std::string outcome(const char* uri, const char* method = "GET", const std::string& auth = "",
                        const std::string& cookie = "", const std::string& clientIP = "192.0.2.1")
    {
        auto t = send(uri, method, auth, cookie, "", true, clientIP);
        const char* id = t->req().headers.get("X-Dxqor-User");
        return std::to_string(t->handled == qor_s_ok ? t->getResult() : -1) + "/" +
               std::to_string(t->response().code()) + "/" + (id ? id : "-");
    }

    std::string m_serverEntries = kServer;
    QORTestInstallRoot m_root{"authz", "[dxweb-plugins]\nvirtual-host = www\n"};
    QORTestLog log;
    std::unique_ptr<QORAuthzTestServer> server{new QORAuthzTestServer(DXQOR_AUTHZD_PATH, "svc")};
    std::unique_ptr<QORCore> core;
};

TEST_F(QORAuthzServiceTest, DecisionsThroughTheChannel)
{
    // Result 2: the plug-in's cache decided; 1 continue; 3 the server's
    // own response. The identity header is the server's or the client's.
    struct {
        const char* uri;
        const char* method;
        const char* auth;
        const char* expected;
    } rows[] = {
        {"/pub/a.gif", "GET", "", "2/200/mallory"},
        {"/docs/guide", "GET", "", "2/200/mallory"},
        {"/private/a", "GET", "", "3/401/mallory"},
        {"/private/a", "GET", "alice:wonderland", "1/200/alice"},
        {"/private/a", "GET", "alice:wonderland", "1/200/alice"},  // from the cache
        {"/private/a", "GET", "alice:wrong", "3/401/mallory"},
        {"/private/a", "GET", "bob:builder", "3/403/mallory"},
        {"/private/a", "POST", "carol:singer", "1/200/carol"},
        {"/private/sub/b", "POST", "alice:wonderland", "3/403/mallory"},
        {"/docs/guide", "POST", "", "3/401/mallory"},
        {"/docs/guide", "POST", "bob:builder", "1/200/bob"},
        {"/private/a", "GET", "Basic !!!!", "3/401/mallory"},
        {"/private/a", "GET", "Basic bm9jb2xvbg==", "3/401/mallory"},  // no colon
        {"/private/a", "GET", "Bearer abc", "3/401/mallory"},
    };
    for (auto& row : rows)
        EXPECT_EQ(outcome(row.uri, row.method, row.auth), row.expected)
            << row.uri << " " << row.method << " " << row.auth;

    auto t = send("/private/a", "GET", "");
    EXPECT_STREQ(t->response().headers.get("WWW-Authenticate"),
                 "Basic realm=\"dxqor\", charset=\"UTF-8\"");
    EXPECT_NE(t->response().body.find("Login required"), std::string::npos);
    t = send("/private/a", "GET", "alice:wonderland");
    EXPECT_EQ(t->req().headers.count("X-Dxqor-User"), 1);
    EXPECT_EQ(t->req().webLogUser[0], "alice");
}

// What the server lets a plug-in keep, seen in the plug-in's cache: only
// answers that let a GET through; a logout ends every kept answer.
TEST_F(QORAuthzServiceTest, DecisionsKeptOnlyWhenTheyMayBeReused)
{
    ASSERT_EQ(server->stop(), 0);
    server->writePolicy(std::string(kServer) + "decision-cache-lifetime = 30\n", kPolicy);
    ASSERT_EQ(server->start(), qor_s_ok) << server->output();
    EXPECT_EQ(outcome("/private/x", "GET", "alice:wonderland"), "1/200/alice");  // found again
    QORDecisionCache& cache = QORCoreTesting::decisionCache(*core);
    ASSERT_TRUE(cache.enabled()) << "the lifetime comes with the configuration flags";
    std::string session = formLogin("alice", "wonderland");
    ASSERT_FALSE(session.empty());
    struct {
        const char* why;
        const char* uri;
        const char* method;
        std::string auth, cookie;
        bool kept;
    } rows[] = {
        {"allowed", "/private/a", "GET", "alice:wonderland", "", true},
        {"open: the resource cache decides", "/docs/a", "GET", "", "", false},
        {"a session's user allowed", "/team/a", "GET", "", session, true},
        {"wrong password", "/private/a", "GET", "alice:wrong", "", false},
        {"no credentials", "/private/a", "GET", "", "", false},
        {"forbidden", "/private/a", "GET", "bob:builder", "", false},
        {"a POST, allowed", "/private/a", "POST", "carol:singer", "", false},
        {"the login form", "/team/b", "GET", "", "", false},
        {"the login page", "/dxqor/login", "GET", "", "", false},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.why);
        size_t before = cache.entries();
        std::string first = outcome(row.uri, row.method, row.auth, row.cookie);
        EXPECT_EQ(cache.entries(), before + (row.kept ? 1 : 0));
        EXPECT_EQ(outcome(row.uri, row.method, row.auth, row.cookie), first) << "applied again";
    }
    EXPECT_GT(cache.entries(), 0u);
    (void)send("/dxqor/logout", "GET", "", session);
    EXPECT_EQ(cache.entries(), 0u) << "a logout ends every kept answer";
    EXPECT_EQ(outcome("/team/a", "GET", "", session).substr(0, 5), "3/303");
}

TEST_F(QORAuthzServiceTest, RepeatedFailuresAreRefusedPastTheLimit)
{
    EXPECT_EQ(outcome("/private/a", "GET", "carol:singer"), "1/200/carol");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(outcome("/private/a", "GET", "bob:wrong"), "3/401/mallory");
    auto t = send("/private/a", "GET", "bob:builder");
    EXPECT_EQ(t->response().code(), 429);
    EXPECT_NE(t->response().headers.get("Retry-After"), nullptr);
    // The same address is refused for another user too, unless the
    // credential was verified before.
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "3/429/mallory");
    EXPECT_EQ(outcome("/private/a", "GET", "carol:singer"), "1/200/carol");
}

TEST_F(QORAuthzServiceTest, AReloadRaisesTheVersionAndChangesDecisionsAnInvalidOneNothing)
{
    EXPECT_EQ(outcome("/private/a", "GET", "bob:builder"), "3/403/mallory");
    EXPECT_EQ(outcome("/news/today", "GET"), "2/200/mallory");

    server->writePolicy(kServer, std::string(kPolicy) +
                                     "[object /web/news]\n"
                                     "[object /web/private/bob]\nuser = bob r\n");
    ASSERT_TRUE(server->reload()) << server->output();
    // The answer carries the new version; the plug-in fetches the cache
    // data again and /web/news is protected from then on.
    EXPECT_EQ(outcome("/private/bob/x", "GET", "bob:builder"), "1/200/bob");
    EXPECT_EQ(outcome("/news/today", "GET"), "3/401/mallory");

    server->writePolicy(kServer, "[object /web/broken\n");
    EXPECT_FALSE(server->reload());
    EXPECT_EQ(outcome("/private/bob/x", "GET", "bob:builder"), "1/200/bob");
    EXPECT_EQ(outcome("/news/today", "GET"), "3/401/mallory");
}

TEST_F(QORAuthzServiceTest, AServerRestartedMidStreamIsFoundAgain)
{
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "1/200/alice");
    server->kill();
    EXPECT_EQ(server->poolObjects(), 4);  // left behind, as by a crash
    ASSERT_EQ(server->start(), qor_s_ok) << server->output();
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "1/200/alice");
    EXPECT_EQ(outcome("/private/a", "GET", "bob:builder"), "3/403/mallory");
    EXPECT_EQ(outcome("/pub/x", "GET"), "2/200/mallory");
}

TEST_F(QORAuthzServiceTest, FormLoginSessionAndLogout)
{
    // Redirected to the login page, which returns to the original path.
    auto t = send("/team/x?a=1", "GET");
    EXPECT_EQ(t->response().code(), 303);
    EXPECT_STREQ(t->response().headers.get("Location"), "/dxqor/login?target=%2Fteam%2Fx%3Fa%3D1");
    t = send("/dxqor/login?target=%2Fteam%2Fx", "GET");
    EXPECT_EQ(t->response().code(), 200);
    std::string token = tokenOf(t->response().body);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(t->response().body.find("value=\"/team/x\""), std::string::npos);

    // The body arrives in two pieces, each a question of its own.
    std::string body = "username=alice&password=wonderland&target=%2Fteam%2Fx&token=" + token;
    auto login = send("/dxqor/login", "POST", "", "", body, false);
    login->failOn("req.retrieveBody", qor_s_not_available);
    ASSERT_EQ(core->handleReq(login.get()), qor_s_ok);
    EXPECT_EQ(login->getResult(), qor_require_more_body_data);
    login->req().postData = body.substr(0, 20);
    ASSERT_EQ(core->handleReq(login.get()), qor_s_ok);
    EXPECT_EQ(login->getResult(), qor_require_more_body_data);
    login->calls().clearFailures();
    login->req().pendingBody = body.substr(20);
    ASSERT_EQ(core->handleReq(login.get()), qor_s_ok);
    EXPECT_EQ(login->getResult(), qor_send_rsp_to_client);
    EXPECT_EQ(login->response().code(), 303);
    EXPECT_STREQ(login->response().headers.get("Location"), "/team/x");
    std::string set = login->response().headers.get("Set-Cookie");
    ASSERT_EQ(set.find("DXQORSESSION="), 0u);
    EXPECT_EQ(set.substr(13 + 64), "; Path=/; HttpOnly; SameSite=Lax");
    std::string cookie = set.substr(0, 13 + 64);

    // The session lets the next request through, with the identity header
    // and without the session cookie, among hundreds of others.
    std::string jar;
    for (int i = 0; i < 300; i++)
        jar += "c" + std::to_string(i) + "=v; ";
    t = send("/team/x", "GET", "", jar + cookie + "; last=1");
    EXPECT_EQ(t->getResult(), qor_continue);
    EXPECT_STREQ(t->req().headers.get("X-Dxqor-User"), "alice");
    EXPECT_EQ(std::string(t->req().headers.get("Cookie")), jar + "last=1");
    EXPECT_EQ(outcome("/private/a", "GET", "", cookie), "1/200/alice");
    EXPECT_EQ(outcome("/team/x", "GET", "", "DXQORSESSION=" + std::string(64, '0')), "3/303/mallory");

    // Logout ends the session and clears the cookie.
    t = send("/dxqor/logout", "GET", "", cookie);
    EXPECT_EQ(t->response().code(), 200);
    EXPECT_NE(std::string(t->response().headers.get("Set-Cookie")).find("DXQORSESSION=; Path=/"),
              std::string::npos);
    EXPECT_EQ(outcome("/team/x", "GET", "", cookie), "3/303/mallory");

    // Over HTTPS the cookie is Secure too.
    t = send("/dxqor/login", "POST", "", "",
             "username=alice&password=wonderland&token=" +
                 tokenOf(send("/dxqor/login")->response().body),
             false);
    t->req().security = 1;
    t->req().addSSLSession();
    ASSERT_EQ(core->handleReq(t.get()), qor_s_ok);
    set = t->response().headers.get("Set-Cookie") ? t->response().headers.get("Set-Cookie") : "";
    EXPECT_EQ(set.substr(13 + 64), "; Path=/; HttpOnly; SameSite=Lax; Secure");
}

TEST_F(QORAuthzServiceTest, BadLoginsGetThePageOrAClearError)
{
    std::string location;
    // Open-redirect attempts go to "/".
    for (const char* target : {"%2F%2Fevil.example", "%2Fa%0D%0ASet-Cookie%3A+x"}) {
        ASSERT_NE(formLogin("alice", "wonderland", target, &location), "") << target;
        EXPECT_EQ(location, "/") << target;
    }
    std::string token = tokenOf(send("/dxqor/login")->response().body);
    struct {
        std::string body;
        int code;
        const char* text;
    } rows[] = {
        {"username=alice&password=wonderland&token=forged", 403, "has expired"},
        {"username=alice&password=wrong&token=" + token, 200, "user name or password is wrong"},
        {"username=alice&password=wonderland&token=" + token, 403, "has expired"},  // replayed
        {"username=nobody&password=x&token=" + tokenOf(send("/dxqor/login")->response().body),
         200, "user name or password is wrong"},
        {"username=%zz&token=x", 400, "could not be read"},
        {"username=" + std::string(600, 'a'), 413, "too large"},
    };
    for (auto& row : rows) {
        auto t = post(row.body);
        EXPECT_EQ(t->response().code(), row.code) << row.body;
        EXPECT_NE(t->response().body.find(row.text), std::string::npos) << row.body;
        EXPECT_EQ(t->response().headers.get("Set-Cookie"), nullptr) << row.body;
    }
}

TEST_F(QORAuthzServiceTest, SessionLimitAndAReloadRemovingTheUser)
{
    std::string first = formLogin("carol", "singer");
    std::string second = formLogin("carol", "singer");
    std::string third = formLogin("carol", "singer");
    std::string alice = formLogin("alice", "wonderland");
    // Two sessions per user: the oldest went.
    EXPECT_EQ(outcome("/team/x", "GET", "", first), "3/303/mallory");
    EXPECT_EQ(outcome("/team/x", "GET", "", second), "1/200/carol");
    EXPECT_EQ(outcome("/team/x", "GET", "", third), "1/200/carol");

    server->write("users", std::string(kUsers).substr(0, std::string(kUsers).find("carol:")));
    ASSERT_TRUE(server->reload()) << server->output();
    EXPECT_EQ(outcome("/team/x", "GET", "", third), "3/303/mallory");
    EXPECT_EQ(outcome("/team/x", "GET", "", alice), "1/200/alice");  // survives the reload
}

TEST_F(QORAuthzServiceTest, ConcurrentRequestsDuringReloads)
{
    std::string cookie = formLogin("alice", "wonderland");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 40; n++) {
                bool basic = (n + i) % 2 == 0;
                std::string got = basic ? outcome("/private/a", "GET", "carol:singer")
                                        : outcome("/team/x", "GET", "", cookie);
                wrong += got != (basic ? "1/200/carol" : "1/200/alice");
            }
        });
    for (int i = 0; i < 2; i++)
        EXPECT_TRUE(server->reload()) << server->output();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(QORAuthzServiceTest, APasswordThatCannotBeCheckedIsNotAFailedLogin)
{
    // failure-limit is 4: were these counted, the address would be refused.
    for (int i = 0; i < 6; i++) {
        auto t = send("/private/a", "GET", "dave:anything");
        EXPECT_EQ(t->response().code(), 503) << i;
        EXPECT_NE(t->response().body.find("cannot be checked"), std::string::npos);
    }
    std::string token = tokenOf(send("/dxqor/login")->response().body);
    auto t = post("username=dave&password=x&target=%2Fteam%2Fx&token=" + token);
    EXPECT_EQ(t->response().code(), 503);
    EXPECT_EQ(t->response().headers.get("Set-Cookie"), nullptr);
    // Neither dave's name nor the address has a failure against it.
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "1/200/alice");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(outcome("/private/a", "GET", "alice:wrong"), "3/401/mallory");
    EXPECT_EQ(outcome("/private/a", "GET", "bob:builder"), "3/429/mallory");
}

// Two workers, each failure slowing its client down by five seconds.
class QORAuthzServiceBusyTest : public QORAuthzServiceTest {
protected:
    QORAuthzServiceBusyTest()
    {
        m_serverEntries = "workers = 2\nfailure-delay-after = 1\nfailure-delay = 5000\n"
                          "failure-limit = 0\n";
    }
};

TEST_F(QORAuthzServiceBusyTest, FailingClientsBeyondTheWorkersLeaveAGoodUserServed)
{
    const int kClients = 6;  // three times the workers
    const int kAttempts = 3;
    auto ip = [](int c) { return "198.51.100." + std::to_string(c + 1); };
    // Each failing client's first failure; from then on each is slowed down.
    for (int c = 0; c < kClients; c++)
        EXPECT_EQ(outcome("/private/a", "GET", "nobody" + std::to_string(c) + ":x", "", ip(c)),
                  "3/401/mallory");
    EXPECT_EQ(outcome("/private/a", "GET", "carol:singer", "", "203.0.113.9"), "1/200/carol");

    // Their next attempts come all at once, while the good user goes on.
    std::atomic<int> slowedDown{0}, other{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back([&, c] {
            for (int n = 1; n < kAttempts; n++) {
                auto t = send("/private/a", "GET", "nobody" + std::to_string(c) + ":x", "", "",
                              true, ip(c));
                const char* retry = t->response().headers.get("Retry-After");
                int seconds = retry ? atoi(retry) : 0;
                if (t->response().code() == 429 && seconds >= 1 && seconds <= 5)
                    slowedDown++;
                else
                    other++;
            }
        });
    std::vector<std::string> got;
    long slowestMs = 0;
    for (int n = 0; n < 10; n++) {
        auto start = std::chrono::steady_clock::now();
        got.push_back(outcome("/private/a", "GET", "carol:singer", "", "203.0.113.9"));
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
        slowestMs = std::max(slowestMs, ms);
    }
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(got, std::vector<std::string>(10, "1/200/carol"));
    // Half the slow-down: no answer of the good user's waited one out.
    EXPECT_LT(slowestMs, 2500);
    EXPECT_EQ(slowedDown, kClients * (kAttempts - 1));
    EXPECT_EQ(other, 0);
}

// The server with its audit trail in a file and its metrics on a port.
class QORAuthzObservedTest : public QORAuthzServiceTest {
protected:
    QORAuthzObservedTest()
    {
        m_metrics.httpPort = qor_free_loopback_port();
        m_serverEntries += "audit = file:audit.log\nmetrics-address = 127.0.0.1:"
                           + std::to_string(m_metrics.httpPort) + "\n";
    }
    QORE2EResponse get(const char* path) const
    {
        QORE2ERequest r;
        r.host = "127.0.0.1";
        r.path = path;
        return m_metrics.fetch(r);
    }
    // The value of a sample line ("name{labels} value"), or -1.
    long sample(const std::string& text, const std::string& series) const
    {
        size_t at = text.find("\n" + series + " ");
        return at == std::string::npos ? -1 : std::atol(text.c_str() + at + series.size() + 2);
    }

    QORE2EClient m_metrics;
};

TEST_F(QORAuthzObservedTest, EveryDecisionIsAuditedWithoutCredentialsCookiesOrQuery)
{
    struct {
        const char* uri;
        const char* auth;
        const char* cookie;
        const char* line;   // the fields after the client address
    } rows[] = {
        {"/private/a?ticket=querysecret", "alice:wonderland", "",
         "\"method\":\"GET\",\"path\":\"/private/a\",\"user\":\"alice\",\"outcome\":\"allowed\","
         "\"object\":\"/web/private\""},
        {"/private/a", "bob:builder", "other=crumbsecret",
         "\"path\":\"/private/a\",\"user\":\"bob\",\"outcome\":\"forbidden\""},
        // A name whose password failed is not a verified user.
        {"/private/a", "alice:wrongsecret", "DXQORSESSION=cookiesecret",
         "\"user\":\"\",\"outcome\":\"login_required\""},
        {"/private/\"q\\", "", "", "\"path\":\"/private/\\\"q\\\\\",\"user\":\"\""},
        // Decided by the plug-in's cache: the server never sees it.
        {"/pub/a.gif", "", "", nullptr},
    };
    for (auto& row : rows)
        (void)send(row.uri, "GET", row.auth, row.cookie);  // only the trail counts here
    std::vector<std::string> lines;
    std::string text = qor_read_file(server->dir() + "/audit.log");
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    ASSERT_EQ(lines.size(), 4u) << text;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].compare(0, 9, "{\"time\":\""), 0) << lines[i];
        EXPECT_NE(lines[i].find("\"vhost\":\"www\""), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find(rows[i].line), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find("\"latency_us\":"), std::string::npos) << lines[i];
    }
    std::string basic = qor_authz_test_basic("alice", "wonderland");
    for (const std::string& secret : {std::string("wonderland"), std::string("builder"),
                                      std::string("wrongsecret"), basic.substr(6),
                                      std::string("querysecret"), std::string("ticket"),
                                      std::string("cookiesecret"), std::string("crumbsecret")})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
}

TEST_F(QORAuthzObservedTest, MetricsCountDecisionsAndHealthFollowsTheLastReload)
{
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "1/200/alice");
    EXPECT_EQ(outcome("/private/a", "GET", "alice:wonderland"), "1/200/alice");
    EXPECT_EQ(outcome("/private/a", "GET", "bob:builder"), "3/403/mallory");
    EXPECT_EQ(outcome("/private/a", "GET", "bob:wrong"), "3/401/mallory");
    EXPECT_EQ(outcome("/private/a", "GET"), "3/401/mallory");
    QORE2EResponse m = get("/metrics");
    ASSERT_EQ(m.status, 200) << m.error;
    EXPECT_NE(m.header("Content-Type")->find("version=0.0.4"), std::string::npos);
    struct {
        const char* series;
        long value;
    } rows[] = {
        {"dxqor_authz_decisions_total{outcome=\"allowed\"}", 2},
        {"dxqor_authz_decisions_total{outcome=\"forbidden\"}", 1},
        {"dxqor_authz_decisions_total{outcome=\"login_required\"}", 2},
        {"dxqor_authz_decisions_total{outcome=\"error\"}", 0},
        {"dxqor_authz_answer_seconds_count", 5},
        {"dxqor_authz_answer_seconds_bucket{le=\"+Inf\"}", 5},
        {"dxqor_authz_credential_cache_lookups_total{result=\"hit\"}", 1},
        {"dxqor_authz_credential_cache_lookups_total{result=\"miss\"}", 3},
        {"dxqor_authz_credential_cache_entries", 2},
        {"dxqor_authz_failed_logins_total", 1},
        {"dxqor_authz_workers", 8},
        {"dxqor_authz_workers_busy", 0},
        {"dxqor_authz_questions_waiting", 0},
        {"dxqor_authz_sessions", 0},
        {"dxqor_authz_policy_loads_total{result=\"success\"}", 1},
    };
    for (auto& row : rows)
        EXPECT_EQ(sample(m.body, row.series), row.value) << row.series << "\n" << m.body;
    EXPECT_GT(sample(m.body, "dxqor_authz_cache_version"), 0);
    EXPECT_EQ(get("/healthz").status, 200);
    EXPECT_EQ(get("/nothing").status, 404);

    server->writePolicy(m_serverEntries, "[object /web]\nbad entry\n");
    EXPECT_FALSE(server->reload());
    EXPECT_EQ(get("/healthz").status, 503);
    EXPECT_EQ(sample(get("/metrics").body, "dxqor_authz_policy_loads_total{result=\"failure\"}"), 1);
    server->writePolicy(m_serverEntries, kPolicy);
    ASSERT_TRUE(server->reload()) << server->output();
    EXPECT_EQ(get("/healthz").status, 200);
}
