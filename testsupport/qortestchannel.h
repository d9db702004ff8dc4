// qortestchannel.h: what the channel tests of several directories share: a
// fixture that records the interface's log at its most detailed level, and
// one question whose answer must come at the first attempt.
#pragma once
#include <gtest/gtest.h>
#include <ios>
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "qoripcsquatting.h"
#include "qortestintmessages.h"

// QORIPCLogTest with every trace line of the interface recorded.
class QORIPCTraceTest : public QORIPCLogTest {
protected:
    void SetUp() override
    {
        QORIPCLogTest::SetUp();
        QORProxyIFLog::get()->setLevel(7);
    }
};

// The answer to value, or -1 unless it came at the first attempt.
inline int32_t qor_test_answer_to(QORProxyIFDispatcher& d, int32_t value)
{
    QORTestIntOutcome o = qor_test_ask(d, value);
    bool answered = o.st == qor_s_ok && !o.retry && o.type == qor_msg_urc_version_answer;
    EXPECT_TRUE(answered) << std::hex << o.st << " retry " << o.retry << " type " << o.type;
    return answered ? o.value : -1;
}
