// qorwebquestionhandler.cpp: reading web and cache version questions on
// the server's worker threads.
#include "msg/server/qorwebquestionhandler.h"

#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorurcversionquestion.h"
#include "msg/core/qorwebrspquestion.h"
#include "msg/server/qorurcversionanswerwriter.h"
#include "msg/server/qorwebreqquestionreader.h"
#include "msg/server/qorwebtransanswerwriter.h"

QORWebQuestionHandler::~QORWebQuestionHandler() {}

QORStatus QORWebQuestionHandler::handle(int questionType, QORSharedMemIterator& question,
                                        QORSharedMemAllocator& answer, int* answerType)
{
    switch (questionType) {
    case qor_msg_web_req_question: {
        QORWebReqQuestionReader q;
        QORStatus st = q.unmarshal(question, nullptr);
        if (st != qor_s_ok)
            return st;
        QORWebTransAnswerWriter w(answer);
        *answerType = qor_msg_web_trans_answer;
        return answerWebRequest(q, w);
    }
    case qor_msg_web_rsp_question: {
        QORWebRspQuestion q;
        QORStatus st = q.unmarshal(question, nullptr);
        if (st != qor_s_ok)
            return st;
        QORWebTransAnswerWriter w(answer);
        *answerType = qor_msg_web_trans_answer;
        return answerWebResponse(q, w);
    }
    case qor_msg_urc_version_question: {
        QORURCVersionQuestion q;
        QOREpochVersion held;
        QORStatus st = q.unmarshal(question, nullptr);
        if (st == qor_s_ok)
            st = q.getVersion(held);
        if (st != qor_s_ok)
            return st;
        QORURCVersionAnswerWriter w(answer);
        *answerType = qor_msg_urc_version_answer;
        return answerURCVersion(held, w);
    }
    default:
        return handleOther(questionType, question, answer, answerType);
    }
}

QORStatus QORWebQuestionHandler::answerURCVersion(const QOREpochVersion&,
                                                  QORURCVersionAnswerWriter&)
{
    return qor_s_not_supported;
}

QORStatus QORWebQuestionHandler::handleOther(int, QORSharedMemIterator&, QORSharedMemAllocator&,
                                             int*)
{
    return qor_s_not_supported;
}
