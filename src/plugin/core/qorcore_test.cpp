#include "plugin/core/qorcore.h"

#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "msg/core/qorconfigquestion.h"
#include "plugin/core/qoradapter.h"
#include "qorcoretesting.h"
#include "qortestcorerig.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"

namespace {

const char kVHostConf[] = "[dxweb-plugins]\n"
                          "unprotected-virtual-host = static\n"
                          "virtual-host = www\n";

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
    }
    void TearDown() override
    {
        core->shutdown();  // a test may have shut it down already
        server->stop();
        EXPECT_EQ(rig.poolObjects(), 0);
        qor_test_watchdog(0);
    }

    void startAndInitialize() { ASSERT_EQ(rig.start(), qor_s_ok); }
    // Whether the core decides uri on vhost without a question.
    bool local(const char* vhost, const char* uri)
    {
        QORTestTransaction trans;
        trans.addServer(vhost);
        trans.request().uri = uri;
        bool decided = core->decideLocally(&trans);
        EXPECT_EQ(trans.getResult(), decided ? qor_continue_uninteresting : qor_severe_error);
        return decided;
    }
    // The smallest POST size for uri, or minus the number of the status
    // (the size then left alone).
    int minPostData(const char* uri, const char* fallback = "default")
    {
        int minimum = -1;
        QORStatus st = core->getMinPostData(QORStringRef("upload"), QORStringRef(fallback),
                                            QORStringRef(uri), &minimum);
        if (st == qor_s_ok)
            return minimum;
        EXPECT_EQ(minimum, -1);
        return -static_cast<int>(st & 0xfff);
    }
    // The default response with code, its header finalized, and one message.
    static void expectDefaultResponse(QORTestTransaction& trans, int code, int message)
    {
        EXPECT_EQ(trans.getResult(), qor_send_default_rsp_to_client) << message;
        EXPECT_EQ(trans.response().code(), code) << message;
        EXPECT_EQ(trans.loggedMessages, std::vector<int>{message});
        EXPECT_EQ(trans.response().headerFinalized, 1) << message;
    }
    QORTestAuthShared& seen() { return rig.seen(); }
    int webQuestions() { return rig.questions(qor_msg_web_req_question); }
    int urcQuestions() { return rig.questions(qor_msg_urc_version_question); }
    void expectConfigQuestions(int n)
    {
        for (int type = 0; type < 4; type++)
            EXPECT_EQ(seen().configQuestions[type], n) << type;
    }

    QORTestCoreRig rig{"qorcore_test", kVHostConf, baseScript()};
    QORCore* core = &rig.core;
    QORTestAuthServer* server = &rig.server;
};

TEST_F(QORCoreTest, AnUnprotectedVirtualHostIsAnsweredEvenBeforeInitialize)
{
    QORTestTransaction other;
    EXPECT_EQ(rig.decide("static", "/a"), qor_continue_uninteresting);
    EXPECT_TRUE(local("static", "/a"));
    EXPECT_FALSE(local("www", "/pub/img/logo/a.gif"));
    EXPECT_EQ(rig.request(other, "www", "/a"), qor_s_not_initialized);
    EXPECT_EQ(other.getResult(), qor_severe_error);
    EXPECT_EQ(core->postProcess(&other), qor_s_not_supported);
}

TEST_F(QORCoreTest, InitializeFetchesTheServersConfigurationAndTheCache)
{
    startAndInitialize();
    expectConfigQuestions(1);
    EXPECT_EQ(urcQuestions(), 1);
    EXPECT_EQ(seen().databasesSent, 1);
    EXPECT_EQ(core->initialize(server->name(), &rig.log), qor_s_already_initialized);
    EXPECT_EQ(minPostData(""), 16);   // the fallback name's size

    // The server's hosts replace the list; the file's follow them.
    QORPluginVirtualHostList& hosts = QORCoreTesting::virtualHostList(*core);
    ASSERT_EQ(hosts.readLock(), qor_s_ok);
    std::string ids;
    for (QORPluginVirtualHost* h : hosts)
        ids += std::string(h->getID().data(), static_cast<size_t>(h->getID().length())) + " ";
    EXPECT_EQ(hosts.unlock(), qor_s_ok);
    EXPECT_EQ(ids, "www open ");
    EXPECT_EQ(rig.log.count("ERROR"), 0);
}

TEST_F(QORCoreTest, TheCacheDecidesUnprotectedResourcesWithoutAQuestion)
{
    startAndInitialize();
    struct { const char* vhost; const char* uri; bool local; } cases[] = {
        {"www", "/pub/img/logo/a.gif", true}, {"open", "/x", true}, {"www", "/private/a", false}};
    for (const auto& c : cases)
        EXPECT_EQ(local(c.vhost, c.uri), c.local) << c.uri;
    EXPECT_EQ(webQuestions(), 0);

    // What the event loop could not decide, the thread asks about without
    // looking again, on the same transaction.
    QORTestTransaction trans;
    trans.addServer("www");
    trans.request().uri = "/private/a";
    EXPECT_FALSE(core->decideLocally(&trans));
    EXPECT_EQ(core->handleReq(&trans), qor_s_ok);
    EXPECT_EQ(trans.getResult(), server->script().rspCode);
    EXPECT_EQ(webQuestions(), 1);
}

TEST_F(QORCoreTest, AProtectedRequestGetsTheAnswersCommandsAndResult)
{
    server->script().rspCode = qor_send_rsp_to_client;
    server->script().headers = {{true, true, "X-Checked", "yes"},
                                {false, true, "X-User", "alice"}};
    startAndInitialize();
    QORTestTransaction trans;
    EXPECT_EQ(rig.request(trans, "www", "/private/report"), qor_s_ok);
    EXPECT_EQ(trans.getResult(), qor_send_rsp_to_client);
    EXPECT_STREQ(trans.response().headers.get("X-Checked"), "yes");
    EXPECT_STREQ(trans.request().headers.get("X-User"), "alice");
    // The answer finalizes the response itself; the core does not again.
    EXPECT_EQ(trans.response().headerFinalized, 1);
    EXPECT_EQ(trans.retryPreparations, 0);
    EXPECT_EQ(webQuestions(), 1);
}

TEST_F(QORCoreTest, AfterAServerRestartTheConfigurationIsFetchedAgainAndTheRequestResent)
{
    startAndInitialize();
    seen().holdWeb = true;
    QORTestTransaction trans;
    QORStatus st = qor_s_no_memory;
    std::thread web([&] { st = rig.request(trans, "www", "/private/a"); });
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
    EXPECT_EQ(webQuestions(), 2);
    expectConfigQuestions(2);
    EXPECT_EQ(rig.decide("www", "/private/b"), qor_continue);
}

TEST_F(QORCoreTest, AFailedDispatchOrAnErrorOrUnexpectedAnswerGives503)
{
    startAndInitialize();
    // An answer type the core has no factory for fails the dispatch.
    seen().webAnswerType = 9;
    QORTestTransaction failed;
    EXPECT_EQ(rig.request(failed, "www", "/private/a"), qor_s_ok);
    EXPECT_EQ(failed.response().bodyFinalized, 1);
    EXPECT_TRUE(failed.response().useDefaultResponse());

    seen().webAnswerType = 0;
    seen().webErrorStatus = QOR_MSG_ID(0x30);
    QORTestTransaction error;
    EXPECT_EQ(rig.request(error, "www", "/private/a"), qor_s_ok);

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

    expectDefaultResponse(failed, 503, QOR_MSG_ID(0x29b));       // dispatch failed
    expectDefaultResponse(error, 503, QOR_MSG_ID(0x281));        // error from the server
    expectDefaultResponse(unexpected, 503, QOR_MSG_ID(0x282));   // unknown answer type

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
    EXPECT_NE(core->initialize(server->name(), &rig.log), qor_s_ok);
    EXPECT_FALSE(core->isInitialized());

    // The cache's first fetch fails after everything else was fetched.
    ASSERT_EQ(server->start(), qor_s_ok);
    seen().urcAnswerType = 9;
    EXPECT_EQ(core->initialize(server->name(), &rig.log), qor_s_pif_no_factory);
    EXPECT_FALSE(core->isInitialized());
    EXPECT_EQ(QORCoreTesting::urcClient(*core), nullptr);
    EXPECT_EQ(minPostData("/cgi/post"), -2);
    QORTestTransaction refused;
    EXPECT_EQ(rig.request(refused, "www", "/a"), qor_s_not_initialized);

    seen().urcAnswerType = 0;
    ASSERT_EQ(core->initialize(server->name(), &rig.log), qor_s_ok);
    EXPECT_EQ(minPostData("/cgi/post"), 1024);
    EXPECT_EQ(rig.decide("www", "/pub/a"), qor_continue_uninteresting);
}

TEST_F(QORCoreTest, ErrorsInConfigurationAnswersAreLoggedNotReturned)
{
    ASSERT_EQ(server->start(), qor_s_ok);
    seen().failConfigType = QORConfigQuestion::QOR_CONFIG_REQ_FLAGS;
    seen().failConfigStatus = QOR_MSG_ID(0x30);
    ASSERT_EQ(core->initialize(server->name(), &rig.log), qor_s_ok);
    EXPECT_EQ(rig.log.count("DXQor ERROR"), 1);
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-a")), 0u);
}

// An adapter that cannot prepare the retry the answer asks for ends the
// request.
TEST_F(QORCoreTest, AFailedRetryPreparationEndsTheRequest)
{
    startAndInitialize();
    seen().askForBody = true;
    QORTestTransaction stuck;
    stuck.failOn("trans.prepareForRetry", qor_s_not_supported);
    EXPECT_EQ(rig.request(stuck, "www", "/private/form", "POST"), qor_s_not_supported);
    EXPECT_EQ(webQuestions(), 1);
}

// A response the core cannot describe is not sent.
TEST_F(QORCoreTest, AResponseThatCannotBeReadIsNotSent)
{
    startAndInitialize();
    QORTestTransaction bad;
    bad.addServer("www");
    bad.failOn("rsp.getHTTPBuffer", qor_s_not_supported);
    EXPECT_EQ(core->handleRsp(&bad), qor_s_not_supported);
    EXPECT_EQ(seen().questions[qor_msg_web_rsp_question], 0);
}

TEST_F(QORCoreTest, AfterShutdownOnlyTheShortcutWorksUntilTheNextInitialize)
{
    startAndInitialize();
    core->shutdown();
    EXPECT_EQ(rig.decide("open", "/a"), qor_continue_uninteresting);
    EXPECT_EQ(rig.decide("www", "/pub/a"), -1);
    // Flags survive a shutdown, POST sizes do not.
    EXPECT_EQ(core->getConfigFlags(QORStringRef("feature-a")), 5u);
    EXPECT_EQ(minPostData("/cgi/post"), -2);
    ASSERT_EQ(core->initialize(server->name(), &rig.log), qor_s_ok);
    EXPECT_EQ(rig.decide("www", "/pub/a"), qor_continue_uninteresting);
}

TEST(QORCoreDeathTest, ATransactionWithoutResponseStopsTheProcess)
{
    QORTestInstallRoot root("core-death", "");
    QORCore core("qorcore_death_test");
    QORTestTransaction trans;
    trans.addServer("www");
    trans.m_response = nullptr;
    EXPECT_DEATH((void)core.handleReq(&trans), "Assertion failed");
}

TEST_F(QORCoreTest, ARetryAskedForDuringACacheFetchRefetchesTheConfigurationFirst)
{
    startAndInitialize();
    // The next lookup polls; the server resets the worker holding the poll.
    ASSERT_EQ(QORCoreTesting::urcClient(*core)->setConfigParams(true, 3600), qor_s_ok);
    seen().holdURC = true;
    QORTestTransaction trans;
    QORStatus st = qor_s_no_memory;
    std::thread web([&] { st = rig.request(trans, "www", "/pub/a.gif"); });
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
    expectConfigQuestions(2);
    EXPECT_EQ(webQuestions(), 0);
}

TEST_F(QORCoreTest, BoundedWaitsRetriesAndQuestionSizeEndInAStatusCodeAndALogLine)
{
    rig.writeConf(std::string(kVHostConf) + "answer-wait-limit = 1\nretry-limit = 2 \n");
    startAndInitialize();
    QORTestTransaction asking, slow, big;
    seen().keepAskingForBody = true;
    EXPECT_EQ(rig.request(asking, "www", "/private/form", "POST"), qor_s_ok);
    EXPECT_EQ(asking.retryPreparations, 2);
    EXPECT_EQ(webQuestions(), 3);
    seen().keepAskingForBody = false;
    seen().holdWeb = true;
    EXPECT_EQ(rig.request(slow, "www", "/private/a"), qor_s_ok);
    seen().holdWeb = false;
    EXPECT_EQ(rig.request(big, "www", ("/" + std::string(70000, 'a')).c_str()), qor_s_ok);

    expectDefaultResponse(asking, 503, QOR_MSG_ID(0x228));   // retry limit
    expectDefaultResponse(slow, 503, QOR_MSG_ID(0x226));     // no answer in time
    expectDefaultResponse(big, 413, QOR_MSG_ID(0x227));      // question too large
    // Other requests are unaffected, on the workers left.
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(rig.decide("www", "/private/b"), qor_continue) << i;
}

// Many web-server threads on one core while the cache version moves on and
// the configuration is fetched again and again: each request ends as it must.
TEST_F(QORCoreTest, SixteenThreadsDecideEveryRequestWhileConfigurationChanges)
{
    const int kThreads = 16;
    const int kRequestsPerThread = 1000;
    const struct {
        const char* vhost;
        const char* uri;
        qor_proxy_rsp_code_e result;
    } kinds[] = {
        {"open", "/x", qor_continue_uninteresting},               // host shortcut
        {"www", "/pub/a/b/c/d.gif", qor_continue_uninteresting},  // cache
        {"www", "/docs/a.html", qor_continue_uninteresting},      // cache, with grants
        {"www", "/private/a", qor_continue},                      // server
    };
    qor_test_watchdog(300);
    seen().sendURCVersion = true;
    seen().bumpURCEvery = 5;
    startAndInitialize();
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, failed{0}, decided{0}, replaced{0};
    std::thread reconfigure([&] {
        while (!done) {
            core->prepareForRetry();
            replaced++;
        }
    });
    std::vector<std::thread> web;
    for (int t = 0; t < kThreads; t++) {
        web.emplace_back([&, t] {
            for (int i = 0; i < kRequestsPerThread; i++) {
                const auto& kind = kinds[(t + i) % 4];
                int result = rig.decide(kind.vhost, kind.uri);
                if (result == -1)
                    failed++;
                else if (result != kind.result)
                    wrong++;
                else
                    decided++;
            }
        });
    }
    for (std::thread& w : web)
        w.join();
    done = true;
    reconfigure.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(decided, kThreads * kRequestsPerThread);
    EXPECT_GT(replaced, 0);
    // A quarter of the requests reached the server, each answered once.
    EXPECT_EQ(webQuestions(), kThreads * kRequestsPerThread / 4);
    EXPECT_GT(seen().databasesSent, 1);
    EXPECT_EQ(rig.log.count("ERROR"), 0);
    core->shutdown();
}
