#include "msg/server/qorwebquestionhandler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "msg/core/qorurcversionquestion.h"
#include "msg/core/qorwebrspquestion.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "msg/plugin/qorwebtransanswerfactory.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "msg/server/qorurcversionanswerwriter.h"
#include "msg/server/qorwebreqquestionreader.h"
#include "msg/server/qorwebtransanswerwriter.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestlog.h"
#include "qortesttransaction.h"
#include "urc/plugin/qorurcversionanswerfactory.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

typedef QORWebTransAnswerBase B;

// A server that answers with what it read: a web request's URI in a request
// header, a web response's virtual host ID in a response header, a cache
// version question with the next version and one branch.
class EchoServer : public QORWebQuestionHandler {
protected:
    QORStatus answerWebRequest(const QORWebReqQuestionReader& q,
                               QORWebTransAnswerWriter& answer) override
    {
        QORStringRef uri;
        QORStatus st = q.getURI(&uri);
        if (st == qor_s_ok)
            st = answer.begin(qor_continue);
        if (st == qor_s_ok)
            st = answer.addNameValue(B::qor_req_set_header, QORStringRef("X-Seen-URI"), uri);
        return st;
    }
    QORStatus answerWebResponse(const QORWebRspQuestion& q,
                                QORWebTransAnswerWriter& answer) override
    {
        QORStringRef id;
        EXPECT_EQ(qor_s_ok, q.getVHostID(&id));
        QORStatus st = answer.begin(qor_send_rsp_to_client);
        if (st == qor_s_ok)
            st = answer.addInt(B::qor_rsp_set_response_code, 418);
        if (st == qor_s_ok)
            st = answer.addNameValue(B::qor_rsp_add_header, QORStringRef("X-VHost"), id);
        return st;
    }
    QORStatus answerURCVersion(const QOREpochVersion& plugin,
                               QORURCVersionAnswerWriter& answer) override
    {
        QOREpochVersion next = plugin;
        next.m_counter++;
        QORStatus st = answer.begin(next);
        if (st == qor_s_ok)
            st = answer.beginBranch(QORStringRef("/web"), 1);
        if (st == qor_s_ok)
            st = answer.addEntry(QORStringRef("/web/pub"), QORStringRef("*"));
        return st;
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
        ASSERT_EQ(m_dispatcher.registerProxyMsgFactory(new QORURCVersionAnswerFactory()),
                  qor_s_ok);
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
    EchoServer m_handler;
    QORSrvWorkerPool m_server;
    QORProxyIFDispatcher m_dispatcher;
};

} // namespace

TEST_F(WebQuestionHandlerTest, WebRequestAndResponseAnsweredAndApplied)
{
    QORTestTransaction t;
    t.request().uri = "/shop/cart";
    t.addServer("vh", "a", 80);
    QORWebReqQuestionMarshaller q(&t);
    QORProxyIFMessage* answer = ask(q, &t);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->getType(), qor_msg_web_trans_answer);
    EXPECT_EQ(static_cast<QORWebTransAnswerIter*>(answer)->getRspCode(), qor_continue);
    answer->deleteMe();
    EXPECT_STREQ(t.request().headers.get("X-Seen-URI"), "/shop/cart");
    EXPECT_EQ(t.request().headerFinalized, 1);
    QORWebRspQuestion rq;
    rq.setHTTPBuffer(QORBuffer("HTTP/1.1 200 OK\r\n\r\n", -1));
    rq.setVHostID(QORStringRef("vh-rsp"));
    answer = ask(rq, &t);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(static_cast<QORWebTransAnswerIter*>(answer)->getRspCode(), qor_send_rsp_to_client);
    answer->deleteMe();
    EXPECT_EQ(t.response().code(), 418);
    EXPECT_STREQ(t.response().headers.get("X-VHost"), "vh-rsp");
}

TEST_F(WebQuestionHandlerTest, CacheVersionExchange)
{
    QOREpochVersion v = {};
    v.m_identifier[3] = 0x5a;
    v.m_counter = 10;
    QORURCVersionQuestion q;
    q.setVersion(&v);
    QORUnprotResourceCache cache;
    QORURCVersionAnswerContext ctx = {&cache, &m_log};
    QORProxyIFMessage* answer = ask(q, &ctx);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->getType(), qor_msg_urc_version_answer);
    answer->deleteMe();
    v.m_counter = 11;
    EXPECT_TRUE(cache.getVersion() == v);
    QORString branch("/web");
    EXPECT_EQ(cache.size(&branch), 1);
}

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
