#include "msg/server/qorwebquestionhandler.h"

#include <gtest/gtest.h>

#include "msg/plugin/qorwebtransanswerfactory.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestintmessages.h"
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
        m_dispatcher.shutdown();
        (void)m_server.shutdown();
        EXPECT_EQ(m_path.countPoolObjects(), 0);
        qor_test_watchdog(0);
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
    QORTestIntMessage q(qor_msg_web_req_question, -1);   // one word of all bits set
    QORProxyIFMessage* answer = nullptr;
    bool retry = true;
    EXPECT_EQ(m_dispatcher.dispatch(q, &answer, &t, &retry), qor_s_ok);
    EXPECT_FALSE(retry);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->getType(), qor_msg_error);
    EXPECT_EQ(static_cast<QORErrorMessage*>(answer)->getStatus(), qor_s_msg_unmarshal_failed);
    answer->deleteMe();
    EXPECT_EQ(t.calls().size(), 0);
}
