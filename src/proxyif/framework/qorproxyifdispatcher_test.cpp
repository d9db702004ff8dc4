#include "proxyif/framework/qorproxyifdispatcher.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qortestlog.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/ipc/qorclntworkerbuffer.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestchannel.h"
#include "qortestdir.h"
#include "qortestintmessages.h"

namespace {

const int kAnswerType = qor_msg_urc_version_answer;

class QORProxyIFDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(120);
        g_qorTestLiveMessages = 0;
    }
    void TearDown() override
    {
        m_handler.release = true;
        // The server's threads trace through the component the dispatcher
        // set up: they end first.
        (void)m_server.shutdown();
        m_dispatcher.shutdown();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        EXPECT_EQ(g_qorTestLiveMessages, 0);
        // Every dispatcher of the test is down: the allocators are gone.
        EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), nullptr);
        qor_test_watchdog(0);
    }
    void startBoth(int workers, unsigned size = 512,
                   const QORChannelLimits& limits = QORChannelLimits())
    {
        ASSERT_EQ(m_server.start(m_path.c_str(), workers, size, &m_handler), qor_s_ok);
        ASSERT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str(), limits), qor_s_ok);
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORTestIntFactory(kAnswerType)),
                  qor_s_ok);
    }
    int32_t answerTo(int32_t value) { return qor_test_answer_to(m_dispatcher, value); }
    QORTestIPCPath m_path{"disp"};
    QORTestLog m_log{true};
    QORTestEchoHandler m_handler;
    QORSrvWorkerPool m_server;
    QORProxyIFDispatcher m_dispatcher;
};

} // namespace

TEST_F(QORProxyIFDispatcherTest, NothingWorksBeforeInitialize)
{
    QORTestIntMessage question(1, 5);
    QORProxyIFMessage* answer = &question;
    bool retry = true;
    EXPECT_EQ(m_dispatcher.dispatch(question, &answer, nullptr, &retry), qor_s_pif_not_initialized);
    EXPECT_FALSE(retry);
    EXPECT_EQ(answer, nullptr);
    QORTestIntFactory factory(3);
    EXPECT_EQ(m_dispatcher.registerProxyMsgFactory(&factory), qor_s_pif_not_initialized);
    m_dispatcher.shutdown();
}

TEST_F(QORProxyIFDispatcherTest, AServerFailureArrivesAsAnErrorMessage)
{
    startBoth(2);
    QORTestIntMessage failing(qor_msg_web_req_question, -2);
    QORProxyIFMessage* answer = nullptr;
    bool retry = true;
    ASSERT_EQ(m_dispatcher.dispatch(failing, &answer, nullptr, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    EXPECT_EQ(m_handler.lastQuestionType, qor_msg_web_req_question);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->getType(), qor_msg_error);
    EXPECT_EQ(static_cast<QORErrorMessage*>(answer)->getStatus(), QORTestEchoHandler::kFailure);
    // From the class's caching allocator, which the dispatcher set up.
    EXPECT_NE(QORErrorMessage::getAllocator(), nullptr);
    EXPECT_EQ(QORAllocated::allocatorOf(static_cast<QORErrorMessage*>(answer)),
              QORErrorMessage::getAllocator());
    answer->deleteMe();
}

TEST_F(QORProxyIFDispatcherTest, FailuresAfterTakingAWorkerGiveItBack)
{
    // One worker: each next question finds it only if the last gave it back.
    startBoth(1);
    QORTestIntOutcome o = qor_test_ask(m_dispatcher, -3);
    EXPECT_EQ(o.st, qor_s_pif_no_factory);
    EXPECT_FALSE(o.retry);
    EXPECT_EQ(qor_test_ask(m_dispatcher, -4).st, qor_s_msg_unmarshal_failed);
    EXPECT_EQ(g_qorTestLiveMessages, 0);  // the half-read answer was released
    EXPECT_EQ(answerTo(9), 10);
}

// A restarted server means a retry (the core's and the channel fault
// tests); one gone for good does not.
TEST_F(QORProxyIFDispatcherTest, ServerGoneMeansNoRetry)
{
    startBoth(2);
    ASSERT_EQ(answerTo(1), 2);
    ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    QORTestIntOutcome o = qor_test_ask(m_dispatcher, 2);
    EXPECT_EQ(o.st, qor_s_ipc_removed);
    EXPECT_FALSE(o.retry);
}

TEST_F(QORProxyIFDispatcherTest, AllocatorsLiveUntilTheLastShutdownAndASecondInitialize)
{
    startBoth(1);
    QORAllocator* iterators = QORProxyIFAllocators::sharedMemIterator();
    ASSERT_NE(iterators, nullptr);
    EXPECT_NE(QORProxyIFAllocators::clntWorkerBuffer(), nullptr);
    {
        QORProxyIFDispatcher second;
        ASSERT_EQ(second.initialize(&m_log, m_path.c_str()), qor_s_ok);
        EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), iterators);
        second.shutdown();
    }
    EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), iterators);
    EXPECT_EQ(answerTo(5), 6);
    // A second initialize shuts the last dispatcher down; a third works.
    EXPECT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_pif_already_initialized);
    EXPECT_FALSE(m_dispatcher.isInitialized());
    EXPECT_EQ(QORProxyIFAllocators::sharedMemAllocator(), nullptr);
    EXPECT_EQ(QORErrorMessage::getAllocator(), nullptr);
    EXPECT_EQ(qor_test_ask(m_dispatcher, 1).st, qor_s_pif_not_initialized);
    ASSERT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_ok);
    ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORTestIntFactory(kAnswerType)),
              qor_s_ok);
    EXPECT_EQ(answerTo(1), 2);
}

TEST_F(QORProxyIFDispatcherTest, FactoriesGrowFirstMatchWinsAllAreDeleted)
{
    startBoth(1);
    int destroyed = 0;
    std::vector<QORTestIntFactory*> made;
    for (int i = 0; i < 12; i++) {
        made.push_back(new QORTestIntFactory(100 + i % 6, &destroyed));
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(made.back()), qor_s_ok);
    }
    EXPECT_EQ(m_dispatcher.lookupFactory(103), made[3]);
    EXPECT_EQ(m_dispatcher.lookupFactory(qor_msg_error)->getType(), qor_msg_error);
    EXPECT_EQ(m_dispatcher.lookupFactory(99), nullptr);
    m_dispatcher.shutdown();
    EXPECT_EQ(destroyed, 12);
}

TEST_F(QORProxyIFDispatcherTest, StaleResultPostIsNeverTakenForTheAnswer)
{
    startBoth(1);
    worker_info volatile* w = nullptr;
    ASSERT_EQ(m_server.getWorkerInfo(0, &w), qor_s_ok);
    const int semId = w->semId, resSem = w->resSemNum;
    // Posts left before the question (a reset's, a late answer's): were one
    // taken, the answer read would be the empty one the question leaves.
    for (int stale : {1, 2, 7}) {
        ASSERT_EQ(QORSysVSemHelper::signal(semId, resSem, stale), qor_s_ok);
        // The server holds the question until it is seen held.
        m_handler.release = false;
        std::thread releaser([this] {
            qor_test_wait_until([this] { return m_handler.held.load(); });
            m_handler.release = true;
        });
        int32_t answer = answerTo(-1);
        releaser.join();
        EXPECT_EQ(answer, 0) << stale;
        EXPECT_EQ(semctl(semId, resSem, GETVAL), 0) << stale;
    }
}

TEST_F(QORProxyIFDispatcherTest, LateAnswerNeverReachesAnotherRequestsWorker)
{
    QORChannelLimits limits;
    limits.answerWaitSeconds = 1;
    m_server.setReclaimInterval(50);
    startBoth(2, 512, limits);
    QORTestIntOutcome o = qor_test_ask(m_dispatcher, -1);
    EXPECT_EQ(o.st, qor_s_ipc_answer_timeout);
    EXPECT_FALSE(o.retry);
    EXPECT_EQ(o.type, -1);
    EXPECT_EQ(m_server.getState(0), qor_worker_abandoned);
    // A second request holds the other worker while the late answer lands.
    QORClntWorkerPool other;
    ASSERT_EQ(other.initialize(m_path.c_str()), qor_s_ok);
    QORClntWorkerBuffer* held = nullptr;
    ASSERT_EQ(other.getFreeWorker(&held), qor_s_ok);
    ASSERT_EQ(held->getWorkerNum(), 1);
    held->setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), 12345);
    m_handler.release = true;
    ASSERT_TRUE(qor_test_wait_until([&] { return m_server.answered(0) == 1; }));
    EXPECT_EQ(held->getHeaderField(offsetof(QORWorkerBufferHeader, resultLength)), 12345);
    EXPECT_EQ(semctl(held->getSemId(), held->getResSemNum(), GETVAL), 0);
    ASSERT_EQ(other.replaceWorker(held), qor_s_ok);
    EXPECT_EQ(other.shutdown(), qor_s_ok);
    // The server frees the abandoned worker once its answer is done.
    ASSERT_TRUE(qor_test_wait_until([&] { return m_server.getState(0) == qor_worker_free; }));
    for (int32_t v = 10; v < 12; v++)
        EXPECT_EQ(answerTo(v), v + 1);
}
