#include "msg/plugin/qorwebreqquestionmarshaller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg/server/qorwebreqquestionreader.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

typedef QORWebReqQuestionBase Q;

// The three gathering failures that are only logged, and the two that end
// the question: the security flag failing, and a secure request without an
// SSL session.
TEST(WebReqQuestion, GatheringFailures)
{
    const QORStatus failure = QOR_MSG_ID(0x35);
    struct Row {
        const char* op;   // nullptr: a secure request without a session
        QORStatus marshal;
        int msg;
        int missingFlag;
    } rows[] = {
        {"req.getHTTPBuffer", qor_s_ok, QOR_MSG_ID(0x283), Q::kHTTPMessage},
        {"req.getClientIP", qor_s_ok, QOR_MSG_ID(0x284), Q::kClientIPAddress},
        {"req.getURI", qor_s_ok, QOR_MSG_ID(0x285), Q::kURI},
        {"req.getSecurity", failure, QOR_MSG_ID(0x286), 0},
        {nullptr, qor_s_not_available, QOR_MSG_ID(0x287), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.op ? row.op : "no session");
        QORTestTransaction t;
        if (row.op != nullptr)
            t.failOn(row.op, failure);
        else
            t.request().security = 1;
        QORTestRegion region;
        QORWebReqQuestionMarshaller q(&t);
        EXPECT_EQ(q.marshal(region.alloc), row.marshal);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{row.msg});
        // The status's text and code are the message's arguments.
        ASSERT_EQ(t.logLines.size(), 1u);
        const char* arg = row.op != nullptr ? "0x35f02035" : "XLTIC0002E";
        EXPECT_NE(t.logLines[0].find(arg), std::string::npos) << t.logLines[0];
        if (row.marshal != qor_s_ok) {
            EXPECT_EQ(region.alloc.usedLength(), 0u);
            continue;
        }
        QORWebReqQuestionReader r;
        ASSERT_EQ(r.unmarshal(region.reader(), nullptr), qor_s_ok);
        EXPECT_FALSE(r.hasFlag(row.missingFlag));
    }
}

TEST(WebReqQuestion, FullAreaFailsTheMarshal)
{
    QORTestTransaction t;
    t.request().httpBuffer = std::string(200, 'x');
    for (unsigned int room : {0u, 11u, 12u, 220u, 236u}) {
        SCOPED_TRACE(room);
        QORTestRegion region(QORTestRegion::kStart + 256);
        region.alloc.initialize(region.shm(), QORTestRegion::kStart, room);
        QORWebReqQuestionMarshaller q(&t);
        EXPECT_EQ(q.marshal(region.alloc), qor_s_no_memory);
    }
}
