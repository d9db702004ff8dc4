#include "urc/plugin/qorunprotresourcecacheclient.h"

#include <gtest/gtest.h>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "plugin/core/qorpluginvirtualhostlist.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qortestlog.h"
#include "qortesttransaction.h"
#include "qortesturcanswer.h"
#include "qortestvhosts.h"
#include "urc/plugin/qorurcversionanswerfactory.h"

TEST(QORObjGetParentTest, CutsAtTheLastSlashBeforeTheLastCharacter)
{
    const char* rows[][2] = {
        {"/web/pub/img/a.gif", "/web/pub/img"}, {"/web/pub/", "/web"}, {"/web", "/"},
        {"//", "/"}, {"/a//b", "/a/"}, {"/", "<none>"}, {"", "<none>"}, {"web/pub", "<none>"},
    };
    for (const auto& r : rows) {
        QORString name(r[0]);
        EXPECT_EQ(qor_obj_get_parent(name) ? qor_test_str(QORStringRef(name)) : "<none>", r[1]) << r[0];
    }
}

// Fills the host list by hand and the cache as an answer of the server
// would, so that lookups run without an authorization server; a poll is
// never due.
class QORUnprotResourceCacheClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(client.setConfigParams(true, 3600), qor_s_ok);
        setLastPoll(time(nullptr));
    }

    void setLastPoll(long when) { client.m_lastPoll = when; }
    bool pollDue() const { return client.checkPollTimer(); }

    // A host accepting both protocols, with GET requiring r and POST r and m
    // of "primary", unless told otherwise.
    QORPluginVirtualHost* addHost(const char* id, const char* branch, unsigned long flags = 0,
                                  bool withMap = true)
    {
        QORPluginVirtualHost* host =
            qor_test_vhost(id, flags | qor_vhost_secure | qor_vhost_unsecure, branch);
        if (withMap)
            host->setPermMap(qor_test_perm_map({{"GET", "r"}, {"POST", "rm"}}));
        EXPECT_EQ(vhosts.writeLock(), qor_s_ok);
        EXPECT_EQ(vhosts.add(host), qor_s_ok);
        EXPECT_EQ(vhosts.unlock(), qor_s_ok);
        return host;
    }

    // Installs a database of these branches (per object "*" or an action
    // group list text).
    void setBranches(const std::vector<QORTestAuthBranch>& branches)
    {
        QORTestRegion r;
        ASSERT_EQ(qor_test_write_urc_answer(r, QORTestAuthServer::versionWithCounter(1), branches),
                  qor_s_ok);
        ASSERT_EQ(qor_test_apply_urc_answer(r, &client.cache(), &log), qor_s_ok);
    }

    QORStatus lookup(const char* vhost, const char* method, const std::string& uri,
                     QORURCDecision* decision, int security = 0)
    {
        QORTestRequest request;
        request.addServer(vhost);
        request.method = method;
        request.uri = uri;
        request.security = security;
        *decision = -1;
        return client.lookupCache(request, decision);
    }

    QORURCDecision decide(const char* vhost, const char* method, const std::string& uri,
                          int security = 0)
    {
        QORURCDecision decision;
        EXPECT_EQ(lookup(vhost, method, uri, &decision, security), qor_s_ok);
        return decision;
    }

    QORTestLog log;
    QORPluginVirtualHostList vhosts;
    // Initialized only by the tests that fetch.
    QORProxyIFDispatcher dispatcher;
    QORUnprotResourceCacheClient client{&vhosts, &log, &dispatcher};
};

TEST_F(QORUnprotResourceCacheClientTest, APollFallsDueOnlyOnceTheIntervalHasFullyPassed)
{
    ASSERT_EQ(client.setConfigParams(true, 60), qor_s_ok);
    EXPECT_EQ(client.lastPoll(), -1);
    EXPECT_TRUE(pollDue());
    long now = static_cast<long>(time(nullptr));
    setLastPoll(now - 59);
    EXPECT_FALSE(pollDue());
    setLastPoll(now - 61);
    EXPECT_TRUE(pollDue());
}

// The nearest ancestor with an entry decides; its grants must cover what
// the method requires, which a host without a permission map cannot tell;
// names follow the host's case rule; and a path the web server may map
// elsewhere than it reads never opens by walking up to an open entry; the
// host is found by ID and protocol.
TEST_F(QORUnprotResourceCacheClientTest, DecisionsByHostBranchAndPath)
{
    addHost("www", "/web");
    addHost("nomap", "/nm", 0, false);
    addHost("lower", "/ci", qor_vhost_case_insensitive);
    addHost("exact", "/cs");
    addHost("root", "/");
    addHost("tls", "/tls")->setFlags(qor_vhost_secure);
    setBranches({{"/web", {{"/web/pub", "*"}, {"/web/pub/private", "[Audit]g"},
                           {"/web/docs", "r"}, {"/web/upper", "R"}}},
                 {"/nm", {{"/nm/docs", "r"}, {"/nm/pub", "*"}}},
                 {"/ci", {{"/ci/pub", "*"}}},
                 {"/cs", {{"/cs/pub", "*"}}},
                 {"/", {{"/", "*"}}},
                 {"/tls", {{"/tls", "*"}}}});
    const QORURCDecision open = qor_urc_unprotected, ask = qor_urc_ask_server;
    const struct {
        const char* vhost;
        const char* method;
        std::string uri;
        QORURCDecision expected;
        int security = 0;
    } cases[] = {
        {"www", "GET", "/pub/img/deep/a.gif", open},
        {"www", "DELETE", "/pub/x", open},
        {"www", "GET", "/pub", open},
        {"www", "GET", "/pub/private/a", ask},  // the nearer entry grants too little
        {"www", "GET", "/other/a.gif", ask},
        {"www", "GET", "/", ask},
        {"www", "GET", "/docs/a.html", open},
        {"www", "POST", "/docs/a.html", ask},
        {"www", "GET", "/upper/a.html", ask},   // actions compare exactly
        {"www", "PUT", "/docs/a.html", ask},    // no list for the method
        {"nomap", "GET", "/docs/a", ask},
        {"nomap", "GET", "/pub/a", open},
        {"lower", "GET", "/PUB/A.GIF", open},
        {"exact", "GET", "/PUB/A.GIF", ask},
        {"exact", "GET", "//pub///a.gif", open},
        {"www", "GET", "/pub/..a/.b./...", open},
        {"www", "GET", "/pub/../cart", ask},
        {"www", "GET", "/pub/..;/cart", ask},
        {"www", "GET", "/pub/%2e%2e/cart", ask},
        {"www", "GET", "/pub/..", ask},
        {"www", "GET", "/pub/.", ask},
        {"www", "GET", "/pub\\..\\cart", ask},
        {"www", "GET", std::string("/pub/a\0b", 8), ask},
        {"www", "GET", "/pub/a\n", ask},
        {"www", "GET", "/pub/a\x7f", ask},
        {"root", "GET", "/a/b", open},  // under "/" the name starts "//"
        {"tls", "GET", "/a", open, 1},
        {"tls", "GET", "/a", ask, 0},
        {"elsewhere", "GET", "/a", ask, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decide(c.vhost, c.method, c.uri, c.security), c.expected)
            << c.vhost << " " << c.uri << " " << c.security;
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(QORUnprotResourceCacheClientTest, MissingDataNeedsTheServerAndOnlyAMissingBranchIsLogged)
{
    addHost("www", "/web");
    addHost("empty", "/empty");
    addHost("gone", "/gone");
    // No database at all.
    EXPECT_EQ(decide("www", "GET", "/a"), qor_urc_ask_server);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.count("DXQor ERROR XLTIC1154E"), 1);
    log.clear();

    setBranches({{"/web", {{"/web", "*"}}}, {"/empty", {}}});
    EXPECT_EQ(decide("empty", "GET", "/a"), qor_urc_ask_server);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(decide("gone", "GET", "/a"), qor_urc_ask_server);
    EXPECT_EQ(log.count("XLTIC1154E"), 1);
    EXPECT_EQ(decide("www", "GET", "/a"), qor_urc_unprotected);
}

TEST_F(QORUnprotResourceCacheClientTest, ARequestFailureNeverLetsTheRequestThrough)
{
    addHost("www", "/web");
    setBranches({{"/web", {{"/web", "*"}}}});
    QORTestRequest request;
    request.addServer("www");
    request.uri = "/a";
    QORURCDecision decision = -1;
    // A method that cannot be read fails the lookup; a URI that cannot be
    // read goes to the server, even under an open branch.
    request.callLog().failOn("req.getMethod", qor_s_not_supported);
    EXPECT_EQ(client.lookupCache(request, &decision), qor_s_not_supported);
    EXPECT_EQ(decision, qor_urc_ask_server);
    request.callLog().clearFailures();
    request.callLog().failOn("req.getURI", qor_s_not_supported);
    EXPECT_EQ(client.lookupCache(request, &decision), qor_s_ok);
    EXPECT_EQ(decision, qor_urc_ask_server);
}

// Fetches from a test authorization server in another process.
class QORUnprotResourceCacheFetchTest : public QORUnprotResourceCacheClientTest {
protected:
    static QORTestAuthScript script()
    {
        QORTestAuthScript s;
        s.branches = {{"/web", {{"/web/pub", "*"}}}};
        return s;
    }

    void SetUp() override
    {
        qor_test_watchdog(60);
        ASSERT_EQ(QORURCVersionAnswerUnmarshaller::addAllocatorRef(), qor_s_ok);
        ASSERT_EQ(server.start(), qor_s_ok);
        ASSERT_EQ(dispatcher.initialize(&log, server.name()), qor_s_ok);
        ASSERT_EQ(dispatcher.registerProxyMsgFactory(new QORURCVersionAnswerFactory()), qor_s_ok);
        addHost("www", "/web");
    }

    void TearDown() override
    {
        dispatcher.shutdown();
        server.stop();
        QORURCVersionAnswerUnmarshaller::releaseAllocatorRef();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        qor_test_watchdog(0);
    }

    int versionQuestions() { return server.shared().questions[qor_msg_urc_version_question]; }

    QORTestIPCPath m_path{"urc"};
    QORTestAuthServer server{m_path.c_str(), script()};
};

TEST_F(QORUnprotResourceCacheFetchTest, ALookupPollsOnceTheIntervalHasPassed)
{
    ASSERT_EQ(client.initialize(true, 60), qor_s_ok);
    setLastPoll(static_cast<long>(time(nullptr)) - 61);
    server.shared().urcCounter = 2;
    EXPECT_EQ(decide("www", "GET", "/pub/a"), qor_urc_unprotected);
    EXPECT_EQ(versionQuestions(), 2);
    EXPECT_EQ(server.shared().databasesSent, 2);
    EXPECT_EQ(decide("www", "GET", "/pub/a"), qor_urc_unprotected);
    EXPECT_EQ(versionQuestions(), 2);
}

TEST_F(QORUnprotResourceCacheFetchTest, ServerMemoryExhaustionDisablesTheCache)
{
    ASSERT_EQ(client.initialize(true, 60), qor_s_ok);
    server.shared().urcErrorStatus = qor_s_no_memory;
    setLastPoll(-1);
    EXPECT_EQ(decide("www", "GET", "/pub/a"), qor_urc_ask_server);
    EXPECT_FALSE(client.isEnabled());
    EXPECT_EQ(log.count("XLTIC0012E"), 1);
    EXPECT_EQ(log.count("XLTIC1155E"), 1);
    // Disabled, it asks nothing more.
    EXPECT_EQ(decide("www", "GET", "/pub/a"), qor_urc_ask_server);
    EXPECT_EQ(versionQuestions(), 2);
}

TEST_F(QORUnprotResourceCacheFetchTest, AFailedFirstFetchLeavesTheCacheDisabled)
{
    server.shared().urcAnswerType = qor_msg_web_rsp_question;
    EXPECT_EQ(client.initialize(true, 60), qor_s_pif_no_factory);
    EXPECT_FALSE(client.isEnabled());
    EXPECT_EQ(client.pollInterval(), -1);
}

TEST_F(QORUnprotResourceCacheFetchTest, AWorkerResetDuringAFetchAsksForARetry)
{
    ASSERT_EQ(client.initialize(true, 60), qor_s_ok);
    setLastPoll(-1);
    server.shared().holdURC = true;
    QORStatus st = qor_s_ok;
    QORURCDecision decision = -1;
    std::thread web([&] { st = lookup("www", "GET", "/pub/a", &decision); });
    EXPECT_TRUE(QORTestAuthServer::waitFor(server.shared().questions[qor_msg_urc_version_question], 2));
    server.shared().resetWorkers = true;
    web.join();
    server.shared().holdURC = false;
    EXPECT_EQ(st, qor_s_not_available);
    EXPECT_EQ(decision, -1);
}
