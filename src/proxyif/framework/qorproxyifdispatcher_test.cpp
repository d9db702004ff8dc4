#include "proxyif/framework/qorproxyifdispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/trace/qortracetesting.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyiflog.h"
#include "proxyif/ipc/qorclntworkerbuffer.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"

namespace {

const int kAnswerType = qor_msg_urc_version_answer;
const QORStatus kServerFailure = 0x35f02099;

// Questions and answers of one int element. Live objects are counted so
// that a test sees every answer released.
std::atomic<int> g_liveMessages{0};

class IntMessage : public QORProxyIFMessage {
public:
    IntMessage(int type, int32_t value = 0)
        : m_type(type)
        , m_value(value)
    {
        g_liveMessages++;
    }
    ~IntMessage() override { g_liveMessages--; }

    void deleteMe() override { delete this; }
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override
    {
        m_context = context;
        if (!it.hasMoreElements())
            return qor_s_msg_unmarshal_failed;
        unsigned int len = 0;
        void* data = nullptr;
        QORStatus st = it.getNextElement(&len, &data);
        if (st != qor_s_ok)
            return st;
        QORProxyIFMsgInt item;
        if (item.unmarshal(static_cast<unsigned char*>(data), (int)len) == 0)
            return qor_s_msg_unmarshal_failed;
        m_value = item.get();
        return qor_s_ok;
    }
    QORStatus marshal(QORSharedMemAllocator& alloc) override
    {
        QORProxyIFMsgInt item(m_value);
        void* data = nullptr;
        // extra pads the element, to fill a worker buffer on purpose.
        QORStatus st = alloc.allocate(4 + m_extra, &data);
        if (st == qor_s_ok)
            item.marshal(static_cast<unsigned char*>(data), 4);
        return st;
    }
    int getType() const override { return m_type; }

    int32_t value() const { return m_value; }
    void* context() const { return m_context; }
    void setExtra(unsigned int extra) { m_extra = extra; }

private:
    int m_type;
    int32_t m_value;
    unsigned int m_extra = 0;
    void* m_context = nullptr;
};

class IntFactory : public QORProxyIFMsgFactory {
public:
    IntFactory(int type, int* destroyed = nullptr)
        : m_type(type)
        , m_destroyed(destroyed)
    {
    }
    ~IntFactory() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }
    int getType() override { return m_type; }
    QORStatus createMsg(QORProxyIFMessage** out) override
    {
        *out = new IntMessage(m_type);
        return qor_s_ok;
    }

private:
    int m_type;
    int* m_destroyed;
};

// The server's answers by question value: v + 1 as type 7; -1 holds the
// worker until released, then answers; -2 fails (an error answer); -3
// answers with a type no factory builds; -4 answers type 7 without an
// element.
class Handler : public QORSrvQuestionHandler {
public:
    QORStatus handle(int questionType, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType) override
    {
        lastQuestionType = questionType;
        unsigned len = 0;
        void* in = nullptr;
        QORStatus st = question.getNextElement(&len, &in);
        if (st != qor_s_ok || len < 4)
            return st ? st : qor_s_msg_unmarshal_failed;
        int32_t v;
        memcpy(&v, in, 4);
        *answerType = kAnswerType;
        if (v == -1) {
            held = true;
            while (!release)
                usleep(1000);
            held = false;
        }
        if (v == -2)
            return kServerFailure;
        if (v == -3)
            *answerType = qor_msg_config_answer;
        if (v == -4)
            return qor_s_ok;
        void* out;
        st = answer.allocate(4, &out);
        if (st == qor_s_ok) {
            int32_t r = v + 1;
            memcpy(out, &r, 4);
        }
        return st;
    }

    std::atomic<int> lastQuestionType{-1};
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
};

class QORProxyIFDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(120);
        g_liveMessages = 0;
    }
    void TearDown() override
    {
        m_handler.release = true;
        m_dispatcher.shutdown();
        m_server.shutdown();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        EXPECT_EQ(g_liveMessages, 0);
        // Every dispatcher of the test is down: the allocators are gone.
        EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), nullptr);
        qor_test_watchdog(0);
    }
    void startBoth(int workers, unsigned size = 512,
                   const QORChannelLimits& limits = QORChannelLimits())
    {
        ASSERT_EQ(m_server.start(m_path.c_str(), workers, size, &m_handler), qor_s_ok);
        ASSERT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str(), limits), qor_s_ok);
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new IntFactory(kAnswerType)),
                  qor_s_ok);
    }
    // Asks value; the status, the answer (released here) in *out.
    QORStatus ask(int32_t value, int32_t* out, bool* retry, void* context = nullptr)
    {
        IntMessage question(qor_msg_urc_version_question, value);
        QORProxyIFMessage* answer = nullptr;
        QORStatus st = m_dispatcher.dispatch(question, &answer, context, retry);
        if (answer != nullptr) {
            if (answer->getType() == kAnswerType)
                *out = static_cast<IntMessage*>(answer)->value();
            answer->deleteMe();
        }
        return st;
    }

    QORTestIPCPath m_path{"disp"};
    QORTraceTestLog m_log;
    Handler m_handler;
    QORSrvWorkerPool m_server;
    QORProxyIFDispatcher m_dispatcher;
};

} // namespace

TEST_F(QORProxyIFDispatcherTest, NothingWorksBeforeInitialize)
{
    IntMessage question(1, 5);
    QORProxyIFMessage* answer = &question;
    bool retry = true;
    EXPECT_EQ(m_dispatcher.dispatch(question, &answer, nullptr, &retry),
              qor_s_pif_not_initialized);
    EXPECT_FALSE(retry);
    EXPECT_EQ(answer, nullptr);
    IntFactory factory(3);
    EXPECT_EQ(m_dispatcher.registerProxyMsgFactory(&factory), qor_s_pif_not_initialized);
    EXPECT_EQ(m_dispatcher.shutdown(), qor_s_ok);
}

TEST_F(QORProxyIFDispatcherTest, InitializeWithoutServerFailsAndShutsDown)
{
    EXPECT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_ipc_no_segment);
    EXPECT_FALSE(m_dispatcher.isInitialized());
    EXPECT_EQ(QORErrorMessage::getAllocator(), nullptr);
}

TEST_F(QORProxyIFDispatcherTest, SecondInitializeShutsDownThenAThirdWorks)
{
    startBoth(1);
    EXPECT_NE(QORProxyIFAllocators::sharedMemAllocator(), nullptr);
    EXPECT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_pif_already_initialized);
    EXPECT_FALSE(m_dispatcher.isInitialized());
    EXPECT_EQ(QORProxyIFAllocators::sharedMemAllocator(), nullptr);
    int32_t out = 0;
    bool retry = true;
    EXPECT_EQ(ask(1, &out, &retry), qor_s_pif_not_initialized);

    ASSERT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_ok);
    ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new IntFactory(kAnswerType)),
              qor_s_ok);
    EXPECT_EQ(ask(1, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 2);
    EXPECT_FALSE(retry);
}

TEST_F(QORProxyIFDispatcherTest, QuestionAndAnswerRoundTrip)
{
    startBoth(2);
    IntMessage question(qor_msg_urc_version_question, 41);
    QORProxyIFMessage* answer = nullptr;
    bool retry = true;
    int context = 0;
    ASSERT_EQ(m_dispatcher.dispatch(question, &answer, &context, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    EXPECT_EQ(m_handler.lastQuestionType, qor_msg_urc_version_question);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->getType(), kAnswerType);
    EXPECT_EQ(static_cast<IntMessage*>(answer)->value(), 42);
    EXPECT_EQ(static_cast<IntMessage*>(answer)->context(), &context);
    answer->deleteMe();
}

TEST_F(QORProxyIFDispatcherTest, ServerFailureArrivesAsAnErrorMessage)
{
    startBoth(1);
    IntMessage question(qor_msg_web_req_question, -2);
    QORProxyIFMessage* answer = nullptr;
    bool retry = true;
    ASSERT_EQ(m_dispatcher.dispatch(question, &answer, nullptr, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->getType(), qor_msg_error);
    EXPECT_EQ(static_cast<QORErrorMessage*>(answer)->getStatus(), kServerFailure);
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
    int32_t out = 0;
    bool retry = true;
    EXPECT_EQ(ask(-3, &out, &retry), qor_s_pif_no_factory);
    EXPECT_FALSE(retry);
    EXPECT_EQ(ask(-4, &out, &retry), qor_s_msg_unmarshal_failed);
    EXPECT_EQ(g_liveMessages, 0);  // the half-read answer was released

    IntMessage big(qor_msg_web_req_question, 1);
    big.setExtra(1024);
    QORProxyIFMessage* answer = nullptr;
    EXPECT_EQ(m_dispatcher.dispatch(big, &answer, nullptr, &retry),
              qor_s_ipc_question_too_large);
    EXPECT_EQ(answer, nullptr);

    EXPECT_EQ(ask(9, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 10);
}

TEST_F(QORProxyIFDispatcherTest, ResetWorkerMeansRetryWithoutAnswer)
{
    startBoth(1);
    QORStatus st = 1;
    bool retry = false;
    int32_t out = -100;
    std::thread asker([&] { st = ask(-1, &out, &retry); });
    while (!m_handler.held)
        usleep(1000);
    ASSERT_EQ(m_server.resetWorker(0), qor_s_ok);
    asker.join();
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_TRUE(retry);
    EXPECT_EQ(out, -100);  // no answer object
    m_handler.release = true;
    EXPECT_EQ(ask(3, &out, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    EXPECT_EQ(out, 4);
}

TEST_F(QORProxyIFDispatcherTest, ServerRestartMeansRefreshAndRetry)
{
    startBoth(2);
    int32_t out = 0;
    bool retry = true;
    ASSERT_EQ(ask(1, &out, &retry), qor_s_ok);
    ASSERT_EQ(m_server.restart(), qor_s_ok);
    EXPECT_EQ(ask(2, &out, &retry), qor_s_ipc_removed);
    EXPECT_TRUE(retry);
    EXPECT_EQ(ask(2, &out, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    EXPECT_EQ(out, 3);
}

TEST_F(QORProxyIFDispatcherTest, ServerGoneMeansNoRetry)
{
    startBoth(1);
    ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    int32_t out = 0;
    bool retry = true;
    EXPECT_EQ(ask(2, &out, &retry), qor_s_ipc_removed);
    EXPECT_FALSE(retry);
}

TEST_F(QORProxyIFDispatcherTest, ManyThreadsShareFewWorkers)
{
    startBoth(2);
    const int kThreads = 8;
    const int kQuestions = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kQuestions; i++) {
                int32_t v = t * 1000 + i;
                int32_t out = 0;
                bool retry = false;
                if (ask(v, &out, &retry) != qor_s_ok || out != v + 1 || retry)
                    wrong++;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(m_server.answered(), (unsigned long)(kThreads * kQuestions));
}

TEST_F(QORProxyIFDispatcherTest, AllocatorsLiveUntilTheLastShutdown)
{
    startBoth(1);
    QORAllocator* iterators = QORProxyIFAllocators::sharedMemIterator();
    ASSERT_NE(iterators, nullptr);
    EXPECT_NE(QORProxyIFAllocators::clntWorkerBuffer(), nullptr);
    {
        QORProxyIFDispatcher second;
        ASSERT_EQ(second.initialize(&m_log, m_path.c_str()), qor_s_ok);
        EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), iterators);
        EXPECT_EQ(second.shutdown(), qor_s_ok);
    }
    EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), iterators);
    int32_t out = 0;
    bool retry = true;
    EXPECT_EQ(ask(5, &out, &retry), qor_s_ok);
    EXPECT_EQ(out, 6);
    m_dispatcher.shutdown();
    EXPECT_EQ(QORProxyIFAllocators::sharedMemIterator(), nullptr);
    EXPECT_EQ(QORErrorMessage::getAllocator(), nullptr);
}

TEST_F(QORProxyIFDispatcherTest, FactoriesGrowFirstMatchWinsAllAreDeleted)
{
    startBoth(1);
    int destroyed = 0;
    std::vector<IntFactory*> made;
    for (int i = 0; i < 12; i++) {
        made.push_back(new IntFactory(100 + i % 6, &destroyed));
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(made.back()), qor_s_ok);
    }
    EXPECT_EQ(m_dispatcher.lookupFactory(103), made[3]);
    EXPECT_EQ(m_dispatcher.lookupFactory(qor_msg_error)->getType(), qor_msg_error);
    EXPECT_EQ(m_dispatcher.lookupFactory(99), nullptr);
    m_dispatcher.shutdown();
    EXPECT_EQ(destroyed, 12);
}

// Bounded wait for pred (the test's watchdog ends a hang).
template <class Pred>
bool within30s(Pred pred)
{
    for (int i = 0; i < 3000 && !pred(); i++)
        usleep(10000);
    return pred();
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
            within30s([this] { return m_handler.held.load(); });
            m_handler.release = true;
        });
        int32_t out = -100;
        bool retry = true;
        QORStatus st = ask(-1, &out, &retry);
        releaser.join();
        EXPECT_EQ(st, qor_s_ok) << stale;
        EXPECT_EQ(out, 0) << stale;
        EXPECT_FALSE(retry);
        EXPECT_EQ(semctl(semId, resSem, GETVAL), 0) << stale;
    }
}

TEST_F(QORProxyIFDispatcherTest, LateAnswerNeverReachesAnotherRequestsWorker)
{
    QORChannelLimits limits;
    limits.answerWaitSeconds = 1;
    m_server.setReclaimInterval(50);
    startBoth(2, 512, limits);
    int32_t out = -100;
    bool retry = true;
    EXPECT_EQ(ask(-1, &out, &retry), qor_s_ipc_answer_timeout);
    EXPECT_FALSE(retry);
    EXPECT_EQ(out, -100);
    EXPECT_EQ(m_server.getState(0), qor_worker_abandoned);

    // A second request holds the other worker while the late answer lands.
    QORClntWorkerPool other;
    ASSERT_EQ(other.initialize(m_path.c_str()), qor_s_ok);
    QORClntWorkerBuffer* held = nullptr;
    ASSERT_EQ(other.getFreeWorker(&held), qor_s_ok);
    ASSERT_EQ(held->getWorkerNum(), 1);
    held->setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), 12345);
    m_handler.release = true;
    ASSERT_TRUE(within30s([&] { return m_server.answered(0) == 1; }));
    EXPECT_EQ(held->getHeaderField(offsetof(QORWorkerBufferHeader, resultLength)), 12345);
    EXPECT_EQ(semctl(held->getSemId(), held->getResSemNum(), GETVAL), 0);
    ASSERT_EQ(other.replaceWorker(held), qor_s_ok);
    other.shutdown();

    // The server frees the abandoned worker once its answer is done.
    ASSERT_TRUE(within30s([&] { return m_server.getState(0) == qor_worker_free; }));
    for (int32_t v = 10; v < 12; v++) {
        EXPECT_EQ(ask(v, &out, &retry), qor_s_ok);
        EXPECT_EQ(out, v + 1);
    }
}
