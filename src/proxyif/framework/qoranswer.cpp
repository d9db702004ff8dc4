// qoranswer.cpp: asking a question whose answer acts while it is read.
#include "proxyif/framework/qoranswer.h"

#include "core/trace/qorlogstatus.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"

namespace {

const QORStatus kMsgUnknownAnswerType = QOR_MSG_ID(0x282);  // XLTIC0642E

} // namespace

QORStatus QORAnswer::ask(QORProxyIFDispatcher& dispatcher, QORProxyIFMessage& question,
                         void* context, int expectedType, QORLog* log,
                         const char* component)
{
    bool retry = false;
    QORStatus st = dispatcher.dispatch(question, out(), context, &retry);
    if (st != qor_s_ok)
        return st;
    if (retry)
        return qor_s_not_available;
    if (m_answer == nullptr)
        return qor_s_no_memory;
    int answerType = m_answer->getType();
    if (answerType == qor_msg_error)
        qor_log_status(log, __FILE__, __LINE__, component,
                       static_cast<QORErrorMessage*>(m_answer)->getStatus());
    else if (answerType != expectedType)
        qor_log_message(log, __FILE__, __LINE__, component, kMsgUnknownAnswerType,
                        answerType);
    return qor_s_ok;
}
