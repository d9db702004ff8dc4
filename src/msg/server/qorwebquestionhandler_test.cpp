#include "msg/server/qorwebquestionhandler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "msg/plugin/qorwebtransanswerfactory.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

namespace {

// Answers nothing: only what the handler does before asking is tested here.
class NoAnswers : public QORWebQuestionHandler {
protected:
    QORStatus answerWebRequest(const QORWebReqQuestionReader&, QORWebTransAnswerWriter&) override
    {
        return qor_s_not_supported;
    }
    QORStatus answerWebResponse(const QORWebRspQuestion&, QORWebTransAnswerWriter&) override
    {
        return qor_s_not_supported;
    }
};

// A web request question of bytes that are not one.
class Garbage : public QORProxyIFMessage {
public:
    void deleteMe() override {}
    QORStatus unmarshal(QORSharedMemIterator&, void*) override { return qor_s_not_supported; }
    QORStatus marshal(QORSharedMemAllocator& alloc) override
    {
        void* data = nullptr;
        QORStatus st = alloc.allocate(4, &data);
        if (st == qor_s_ok)
            memset(data, 0xff, 4);
        return st;
    }
    int getType() const override { return qor_msg_web_req_question; }
};

class WebQuestionHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(60);
        ASSERT_EQ(m_server.start(m_path.c_str(), 2, 16 * 1024, &m_handler), qor_s_ok);
        ASSERT_EQ(m_dispatcher.initialize(&m_log, m_path.c_str()), qor_s_ok);
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORWebTransAnswerFactory()), qor_s_ok);
    }
    void TearDown() override
    {
        (void)m_dispatcher.shutdown();
        (void)m_server.shutdown();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        qor_test_watchdog(0);
    }
    // Dispatches q, which is answered at once; the answer.
    QORProxyIFMessage* ask(QORProxyIFMessage& q, void* context)
    {
        QORProxyIFMessage* answer = nullptr;
        bool retry = true;
        EXPECT_EQ(m_dispatcher.dispatch(q, &answer, context, &retry), qor_s_ok);
        EXPECT_FALSE(retry);
        return answer;
    }

    QORTestIPCPath m_path{"webq"};
    QORTestLog m_log;
    NoAnswers m_handler;
    QORSrvWorkerPool m_server;
    QORProxyIFDispatcher m_dispatcher;
};

} // namespace

// A question the server cannot read comes back as an error message with
// the reader's status.
TEST_F(WebQuestionHandlerTest, UnreadableQuestionGivesAnErrorAnswer)
{
    QORTestTransaction t;
    Garbage q;
    QORProxyIFMessage* answer = ask(q, &t);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->getType(), qor_msg_error);
    EXPECT_EQ(static_cast<QORErrorMessage*>(answer)->getStatus(), qor_s_msg_unmarshal_failed);
    answer->deleteMe();
    EXPECT_EQ(t.calls().size(), 0);
}
