// The real dxqor-authzd answering a real plug-in core through the channel.
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include "plugin/core/qorcore.h"
#include "qorauthztestserver.h"
#include "qoripctesting.h"
#include "qortestinstallroot.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

namespace {

// alice wonderland (bcrypt), bob builder ($apr1$), carol singer ({SHA}),
// dave diver (SHA-512-crypt).
const char kUsers[] =
    "alice:$2y$05$LabAjCr3nvtZl5ZIX.uGt.dQQuKU3ImvjEiGHnriCYcNyH2k8oyQy\n"
    "bob:$apr1$N/FqldgB$tCgYE3S.r3A72M6W4QQ4n/\n"
    "carol:{SHA}X9zPCbMFzMPlYX7+7QubnxKI7iM=\n"
    "dave:$6$s4ltS4lt$cNV0lDFAhalb/I4J9lSBEDGEhYNZA9N6ASR41Q3rq3U7HgyoR82/7ABZwYetaW31bgyzSiUMppoEBHEkI1fEr/\n";

const char kServer[] = "failure-delay = 0\nfailure-limit = 4\n";

const char kPolicy[] =
    "[virtual-host www]\nbranch = /web\npermission = POST rw\n"
    "[object /web]\nunauthenticated = *\n"
    "[object /web/private]\nuser = alice r\ngroup = staff rw\n"
    "[object /web/docs]\nunauthenticated = r\nuser = bob rw\n";

} // namespace

class QORAuthzServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(180);
        m_root.reset(new QORTestInstallRoot("authz", "[dxweb-plugins]\nvirtual-host = www\n"));
        server.reset(new QORAuthzTestServer(DXQOR_AUTHZD_PATH, "svc"));
        server->write("users", kUsers);
        server->write("groups", "staff: carol\n");
        server->writePolicy(kServer, kPolicy);
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
        server.reset();
        m_root.reset();
        qor_test_watchdog(0);
    }

    // A request as the web server hands it over; auth is the Authorization
    // value ("" for none), or user:password for Basic.
    std::unique_ptr<QORTestTransaction> send(const char* uri, const char* method = "GET",
                                             const std::string& auth = "")
    {
        std::unique_ptr<QORTestTransaction> t(new QORTestTransaction());
        t->addServer("www");
        t->request().uri = uri;
        t->request().method = method;
        t->request().headers.add("X-Dxqor-User", "mallory");
        size_t colon = auth.find(':');
        if (!auth.empty())
            t->request().headers.add("Authorization",
                                     colon == std::string::npos
                                         ? auth.c_str()
                                         : qor_authz_test_basic(auth.substr(0, colon),
                                                                auth.substr(colon + 1))
                                               .c_str());
        qor_authz_test_http_message(t->request());
        status = core->handleReq(t.get());
        return t;
    }

    // "result code/response code/identity" of a request.
    std::string outcome(const char* uri, const char* method = "GET", const std::string& auth = "")
    {
        auto t = send(uri, method, auth);
        const char* id = t->request().headers.get("X-Dxqor-User");
        return std::to_string(status == qor_s_ok ? t->getResult() : -1) + "/" +
               std::to_string(t->response().code()) + "/" + (id ? id : "-");
    }

    QORTestLog log;
    QORStatus status = qor_s_ok;
    std::unique_ptr<QORCore> core;
    std::unique_ptr<QORAuthzTestServer> server;

private:
    std::unique_ptr<QORTestInstallRoot> m_root;
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
        {"/private/a", "GET", "nobody:x", "3/401/mallory"},
        {"/private/a", "GET", "bob:builder", "3/403/mallory"},
        {"/private/a", "GET", "dave:diver", "3/403/mallory"},
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
    EXPECT_EQ(t->request().headers.count("X-Dxqor-User"), 1);
    EXPECT_EQ(t->request().webLogUser[0], "alice");
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
    server->write("users", "carol:{SHA}a\ncarol:{SHA}b\n");
    server->writePolicy(kServer, kPolicy);
    EXPECT_FALSE(server->reload());
    EXPECT_GE(server->count("the user is named twice"), 1);
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
