#include "plugin/core/qorcore.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "msg/core/qorconfigquestion.h"
#include "plugin/core/qoradapter.h"
#include "qoripctesting.h"
#include "qortestinstallroot.h"
#include "qortestauthserver.h"
#include "qortestlog.h"
#include "qortesttransaction.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"

namespace {

const QORStatus kNotInitialized = QOR_MSG_ID(16);
const QORStatus kAlreadyInitialized = QOR_MSG_ID(15);
const int kMsgDispatchFailed = QOR_MSG_ID(0x29b);
const int kMsgErrorFromServer = QOR_MSG_ID(0x281);
const int kMsgUnknownAnswerType = QOR_MSG_ID(0x282);

// The server's configuration: "www" is protected, with its objects under
// /web; "open" is unprotected; under /web/pub everything is open to all and
// /web/docs may be read by anyone.
QORTestAuthScript baseScript()
{
    QORTestAuthScript s =
        qor_test_auth_script("www", "/web", {{"GET", "r"}, {"POST", "rm"}}, "open");
    s.postURIs = {{"upload:/cgi/post", 1024}, {"upload:default", 16}};
    s.configFlags = {{"feature-a", 5}};
    s.branches = {{"/web", {{"/web/pub", "*"}, {"/web/docs", "r"}}}};
    return s;
}

} // namespace

class QORCoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(120);
        m_root.reset(new QORTestInstallRoot("core", "[dxweb-plugins]\n"
                                                    "unprotected-virtual-host = static\n"
                                                    "virtual-host = www\n"));
        m_path.reset(new QORTestIPCPath("core"));
        core.reset(new QORCore("qorcore_test"));
        server.reset(new QORTestAuthServer(m_path->c_str(), baseScript()));
    }

    void TearDown() override
    {
        core->shutdown();
        core.reset();
        server.reset();
        EXPECT_EQ(m_path->countPoolObjects(), 0);
        m_path.reset();
        m_root.reset();
        qor_test_watchdog(0);
    }

    void startAndInitialize()
    {
        ASSERT_EQ(server->start(), qor_s_ok);
        ASSERT_EQ(core->initialize(server->name(), &log), qor_s_ok);
    }

    // A request for uri on vhost, decided by the core.
    QORStatus request(QORTestTransaction& trans, const char* vhost, const char* uri,
                      const char* method = "GET")
    {
        trans.addServer(vhost);
        trans.request().uri = uri;
        trans.request().method = method;
        return core->handleReq(&trans);
    }

    QORTestAuthShared& seen() { return server->shared(); }

    QORTestLog log;
    std::unique_ptr<QORCore> core;
    std::unique_ptr<QORTestAuthServer> server;

private:
    std::unique_ptr<QORTestInstallRoot> m_root;
    std::unique_ptr<QORTestIPCPath> m_path;
};

TEST_F(QORCoreTest, AnUnprotectedVirtualHostIsAnsweredEvenBeforeInitialize)
{
    QORTestTransaction open, other;
    EXPECT_EQ(request(open, "static", "/a"), qor_s_ok);
    EXPECT_EQ(open.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(request(other, "www", "/a"), kNotInitialized);
    EXPECT_EQ(other.getResult(), qor_severe_error);
    EXPECT_EQ(core->postProcess(&other), qor_s_not_supported);
}

TEST_F(QORCoreTest, InitializeFetchesTheServersConfigurationAndTheCache)
{
    startAndInitialize();
    for (int type = 0; type < 4; type++)
        EXPECT_EQ(seen().configQuestions[type], 1) << type;
    EXPECT_EQ(seen().questions[qor_msg_urc_version_question], 1);
    EXPECT_EQ(seen().databasesSent, 1);
    EXPECT_EQ(core->initialize(server->name(), &log), kAlreadyInitialized);

    int minimum = -1;
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef("default"),
                                   QORStringRef("/cgi/post"), &minimum),
              qor_s_ok);
    EXPECT_EQ(minimum, 1024);
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef("default"),
                                   QORStringRef(""), &minimum),
              qor_s_ok);
    EXPECT_EQ(minimum, 16);
    minimum = -1;
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef("nothing"),
                                   QORStringRef("/none"), &minimum),
              qor_s_not_available);
    EXPECT_EQ(minimum, -1);
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-a")), 5u);
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-b")), 0u);

    // The server's hosts replace the list; the file's follow them.
    QORPluginVirtualHostList& hosts = core->virtualHostList();
    hosts.readLock();
    std::string ids;
    for (QORPluginVirtualHost* h : hosts)
        ids += std::string(h->getID().data(), static_cast<size_t>(h->getID().length())) + " ";
    hosts.unlock();
    EXPECT_EQ(ids, "www open ");
    EXPECT_EQ(log.count("ERROR"), 0);
}

TEST_F(QORCoreTest, TheCacheDecidesUnprotectedResourcesWithoutAQuestion)
{
    startAndInitialize();
    QORTestTransaction pub, docs, open, post, priv;
    EXPECT_EQ(request(pub, "www", "/pub/img/logo/a.gif"), qor_s_ok);
    EXPECT_EQ(pub.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(request(docs, "www", "/docs/manual.html"), qor_s_ok);
    EXPECT_EQ(docs.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(request(open, "open", "/anything"), qor_s_ok);
    EXPECT_EQ(open.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 0);

    // What the cache cannot clear goes to the server.
    EXPECT_EQ(request(post, "www", "/docs/manual.html", "POST"), qor_s_ok);
    EXPECT_EQ(post.getResult(), qor_continue);
    EXPECT_EQ(request(priv, "www", "/private/a"), qor_s_ok);
    EXPECT_EQ(priv.getResult(), qor_continue);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 2);
}

TEST_F(QORCoreTest, AProtectedRequestGetsTheAnswersCommandsAndResult)
{
    server->script().rspCode = qor_send_rsp_to_client;
    server->script().headers = {{true, true, "X-Checked", "yes"},
                                {false, true, "X-User", "alice"}};
    startAndInitialize();
    QORTestTransaction trans;
    EXPECT_EQ(request(trans, "www", "/private/report"), qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_send_rsp_to_client);
    EXPECT_STREQ(trans.response().headers.get("X-Checked"), "yes");
    EXPECT_STREQ(trans.request().headers.get("X-User"), "alice");
    // The answer finalizes the response itself; the core does not again.
    EXPECT_EQ(trans.response().headerFinalized, 1);
    EXPECT_EQ(trans.retryPreparations, 0);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 1);
}

TEST_F(QORCoreTest, AnAnswerNamingANewCacheVersionMakesTheCacheFetchAgain)
{
    // From version 7 on, /web/news is open too.
    server->script().newerFrom = 7;
    server->script().newerBranches = {{"/web", {{"/web/pub", "*"}, {"/web/news", "*"}}}};
    startAndInitialize();
    QORUnprotResourceCache& cache = core->urcClient()->cache();
    seen().sendURCVersion = true;

    // The same version: nothing is fetched.
    QORTestTransaction same;
    EXPECT_EQ(request(same, "www", "/news/today.html"), qor_s_ok);
    EXPECT_EQ(same.getResult(), qor_continue);
    EXPECT_EQ(seen().questions[qor_msg_urc_version_question], 1);

    seen().urcCounter = 7;
    QORTestTransaction newer;
    EXPECT_EQ(request(newer, "www", "/private/a"), qor_s_ok);
    EXPECT_EQ(newer.getResult(), qor_continue);
    EXPECT_EQ(seen().questions[qor_msg_urc_version_question], 2);
    EXPECT_EQ(seen().databasesSent, 2);
    cache.readLock();
    EXPECT_TRUE(cache.getVersion() == server->urcVersion());
    cache.unlock();

    // The next lookups use the new data, without asking again.
    QORTestTransaction news, pub;
    EXPECT_EQ(request(news, "www", "/news/today.html"), qor_s_ok);
    EXPECT_EQ(news.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(request(pub, "www", "/pub/a.gif"), qor_s_ok);
    EXPECT_EQ(pub.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(seen().questions[qor_msg_urc_version_question], 2);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 2);
}

TEST_F(QORCoreTest, AfterAServerRestartTheConfigurationIsFetchedAgainAndTheRequestResent)
{
    startAndInitialize();
    seen().holdWeb = true;
    QORTestTransaction trans;
    QORStatus st = qor_s_no_memory;
    std::thread web([&] { st = request(trans, "www", "/private/a"); });
    EXPECT_TRUE(QORTestAuthServer::waitFor(seen().questions[qor_msg_web_req_question], 1));

    // Killed while it holds the question, then started anew.
    server->kill();
    seen().holdWeb = false;
    QORStatus started = server->start();
    EXPECT_EQ(started, qor_s_ok);
    if (started != qor_s_ok)
        server->stop();  // wakes the request thread
    web.join();

    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_continue);
    EXPECT_EQ(trans.retryPreparations, 1);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 2);
    for (int type = 0; type < 4; type++)
        EXPECT_EQ(seen().configQuestions[type], 2) << type;

    // And the core goes on working with the new server.
    QORTestTransaction next;
    EXPECT_EQ(request(next, "www", "/private/b"), qor_s_ok);
    EXPECT_EQ(next.getResult(), qor_continue);
}

TEST_F(QORCoreTest, ADispatchFailureGivesTheDefaultResponseWith503)
{
    startAndInitialize();
    // An answer type the core has no factory for fails the dispatch.
    seen().webAnswerType = 9;
    QORTestTransaction trans;
    EXPECT_EQ(request(trans, "www", "/private/a"), qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_send_default_rsp_to_client);
    EXPECT_EQ(trans.response().code(), 503);
    EXPECT_TRUE(trans.response().useDefaultResponse());
    ASSERT_EQ(trans.loggedMessages.size(), 1u);
    EXPECT_EQ(trans.loggedMessages[0], kMsgDispatchFailed);
    EXPECT_EQ(trans.response().headerFinalized, 1);
    EXPECT_EQ(trans.response().bodyFinalized, 1);
}

TEST_F(QORCoreTest, AnErrorOrUnexpectedAnswerAlsoGives503)
{
    startAndInitialize();
    seen().webErrorStatus = QOR_MSG_ID(0x30);
    QORTestTransaction error;
    EXPECT_EQ(request(error, "www", "/private/a"), qor_s_ok);
    EXPECT_EQ(error.getResult(), qor_send_default_rsp_to_client);
    EXPECT_EQ(error.response().code(), 503);
    ASSERT_EQ(error.loggedMessages.size(), 1u);
    EXPECT_EQ(error.loggedMessages[0], kMsgErrorFromServer);

    // An answer of a type that has no business here.
    class Unexpected : public QORProxyIFMessage {
    public:
        void deleteMe() override { released++; }
        QORStatus unmarshal(QORSharedMemIterator&, void*) override { return 0; }
        QORStatus marshal(QORSharedMemAllocator&) override { return 0; }
        int getType() const override { return qor_msg_web_rsp_question; }
        int released = 0;
    } answer;
    QORTestTransaction unexpected;
    unexpected.addServer("www");
    EXPECT_EQ(core->handleWebDispatch(&unexpected, &answer, 0), qor_s_ok);
    EXPECT_EQ(answer.released, 1);
    EXPECT_EQ(unexpected.getResult(), qor_send_default_rsp_to_client);
    EXPECT_EQ(unexpected.response().code(), 503);
    ASSERT_EQ(unexpected.loggedMessages.size(), 1u);
    EXPECT_EQ(unexpected.loggedMessages[0], kMsgUnknownAnswerType);

    // No answer without a failure: no decision.
    QORTestTransaction none;
    none.addServer("www");
    EXPECT_EQ(core->handleWebDispatch(&none, nullptr, 0), qor_s_no_memory);
    EXPECT_EQ(none.getResult(), qor_severe_error);
    EXPECT_FALSE(none.calls().contains("rsp.setCode"));
    EXPECT_EQ(none.response().headerFinalized, 1);
}

TEST_F(QORCoreTest, AFailedInitializeLeavesTheCoreReadyForAnotherTry)
{
    // No server yet.
    EXPECT_NE(core->initialize(server->name(), &log), qor_s_ok);
    EXPECT_FALSE(core->isInitialized());

    // The cache's first fetch fails after everything else was fetched.
    ASSERT_EQ(server->start(), qor_s_ok);
    seen().urcAnswerType = 9;
    EXPECT_EQ(core->initialize(server->name(), &log), QOR_MSG_ID(0x201));
    EXPECT_FALSE(core->isInitialized());
    EXPECT_EQ(core->urcClient(), nullptr);
    int minimum = -1;
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef(),
                                   QORStringRef("/cgi/post"), &minimum),
              qor_s_not_available);
    QORTestTransaction refused;
    EXPECT_EQ(request(refused, "www", "/a"), kNotInitialized);

    seen().urcAnswerType = 0;
    ASSERT_EQ(core->initialize(server->name(), &log), qor_s_ok);
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef(),
                                   QORStringRef("/cgi/post"), &minimum),
              qor_s_ok);
    QORTestTransaction pub;
    EXPECT_EQ(request(pub, "www", "/pub/a"), qor_s_ok);
    EXPECT_EQ(pub.getResult(), qor_continue_uninteresting);
}

TEST_F(QORCoreTest, ErrorsInConfigurationAnswersAreLoggedNotReturned)
{
    server->script().configFlags.clear();
    ASSERT_EQ(server->start(), qor_s_ok);
    seen().failConfigType = QORConfigQuestion::QOR_CONFIG_REQ_FLAGS;
    seen().failConfigStatus = QOR_MSG_ID(0x30);
    ASSERT_EQ(core->initialize(server->name(), &log), qor_s_ok);
    EXPECT_EQ(log.count("DXQor ERROR"), 1);
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-a")), 0u);
}

TEST_F(QORCoreTest, WhenTheAnswerAsksForTheBodyTheRequestIsSentAgainWithIt)
{
    startAndInitialize();
    seen().askForBody = true;
    QORTestTransaction trans;
    trans.request().pendingBody = "a=1";
    EXPECT_EQ(request(trans, "www", "/private/form", "POST"), qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_continue);
    EXPECT_EQ(trans.request().postData, "a=1");
    EXPECT_EQ(trans.retryPreparations, 1);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 2);
    EXPECT_EQ(seen().configQuestions[QORConfigQuestion::QOR_CONFIG_REQ_VHOSTS], 2);
}

TEST_F(QORCoreTest, AResponseIsSentAndItsAnswerApplied)
{
    server->script().headers = {{true, false, "X-Rsp", "seen"}};
    startAndInitialize();
    QORTestTransaction trans;
    trans.addServer("www");
    trans.response().httpBuffer = "HTTP/1.1 200 OK\r\n\r\n";
    EXPECT_EQ(core->handleRsp(&trans), qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_continue);
    EXPECT_STREQ(trans.response().headers.get("X-Rsp"), "seen");
    EXPECT_EQ(seen().questions[qor_msg_web_rsp_question], 1);

    // A response the core cannot describe is not sent.
    QORTestTransaction bad;
    bad.addServer("www");
    bad.failOn("rsp.getHTTPBuffer", qor_s_not_supported);
    EXPECT_EQ(core->handleRsp(&bad), qor_s_not_supported);
    EXPECT_EQ(seen().questions[qor_msg_web_rsp_question], 1);
}

TEST_F(QORCoreTest, AfterShutdownOnlyTheShortcutWorksUntilTheNextInitialize)
{
    startAndInitialize();
    EXPECT_EQ(core->shutdown(), qor_s_ok);
    QORTestTransaction open, www;
    EXPECT_EQ(request(open, "open", "/a"), qor_s_ok);
    EXPECT_EQ(open.getResult(), qor_continue_uninteresting);
    EXPECT_EQ(request(www, "www", "/pub/a"), kNotInitialized);
    // Flags survive a shutdown, POST sizes do not.
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-a")), 5u);
    int minimum = 0;
    EXPECT_EQ(core->getMinPostData(QORStringRef("upload"), QORStringRef(),
                                   QORStringRef("/cgi/post"), &minimum),
              qor_s_not_available);
    ASSERT_EQ(core->initialize(server->name(), &log), qor_s_ok);
    QORTestTransaction again;
    EXPECT_EQ(request(again, "www", "/pub/a"), qor_s_ok);
    EXPECT_EQ(again.getResult(), qor_continue_uninteresting);
}

TEST_F(QORCoreTest, AnAdapterThatCannotPrepareARetryEndsTheRequest)
{
    startAndInitialize();
    seen().askForBody = true;
    QORTestTransaction trans;
    trans.failOn("trans.prepareForRetry", qor_s_not_supported);
    EXPECT_EQ(request(trans, "www", "/private/form", "POST"), qor_s_not_supported);
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 1);
}

TEST(QORCoreDeathTest, ATransactionWithoutResponseStopsTheProcess)
{
    QORTestInstallRoot root("core-death", "");
    QORCore core("qorcore_death_test");
    QORTestTransaction trans;
    trans.addServer("www");
    trans.m_response = nullptr;
    EXPECT_DEATH(core.handleReq(&trans), "Assertion failed");
}

TEST_F(QORCoreTest, ARetryAskedForDuringACacheFetchRefetchesTheConfigurationFirst)
{
    startAndInitialize();
    // The next lookup polls; the server resets the worker holding the poll.
    core->urcClient()->setConfigParams(true, 3600);
    seen().holdURC = true;
    QORTestTransaction trans;
    QORStatus st = qor_s_no_memory;
    std::thread web([&] { st = request(trans, "www", "/pub/a.gif"); });
    EXPECT_TRUE(QORTestAuthServer::waitFor(seen().questions[qor_msg_urc_version_question], 2));
    seen().resetWorkers = true;
    // The held answer is dropped once the reset is made; the worker's thread
    // then serves the questions of the retry.
    while (seen().resetWorkers)
        usleep(1000);
    seen().holdURC = false;
    web.join();
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_continue_uninteresting);
    for (int type = 0; type < 4; type++)
        EXPECT_EQ(seen().configQuestions[type], 2) << type;
    EXPECT_EQ(seen().questions[qor_msg_web_req_question], 0);
}
