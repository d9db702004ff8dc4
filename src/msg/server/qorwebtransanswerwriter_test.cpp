#include "msg/server/qorwebtransanswerwriter.h"

#include <gtest/gtest.h>

#include <vector>

#include "msg/server/qorurcversionanswerwriter.h"
#include "qortestregion.h"

typedef QORWebTransAnswerBase B;

TEST(WebTransAnswerWriter, FullAreaLeavesTheCommandOut)
{
    QORTestRegion r(QORTestRegion::kStart + 64);
    QORWebTransAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(qor_continue), qor_s_ok);
    ASSERT_EQ(w.addInt(B::qor_rsp_set_response_code, 200), qor_s_ok);
    unsigned int used = r.alloc.usedLength();
    EXPECT_EQ(w.addString(B::qor_req_set_uri, QORStringRef("/a-path-longer-than-what-is-left")),
              qor_s_no_memory);
    EXPECT_EQ(r.alloc.usedLength(), used);
    EXPECT_EQ(w.commandCount(), 1);
    EXPECT_EQ(r.written()[3], 1u);
    QORTestRegion tiny(QORTestRegion::kStart + 8);
    QORWebTransAnswerWriter none(tiny.alloc);
    EXPECT_EQ(none.begin(qor_continue), qor_s_no_memory);
}

// Calls out of order are refused; the answer is complete once begun and
// while every branch has its entries.
TEST(URCVersionAnswerWriter, RefusesCallsOutOfOrderAndTellsWhenComplete)
{
    QOREpochVersion v = {};
    QORTestRegion r;
    QORURCVersionAnswerWriter w(r.alloc);
    EXPECT_EQ(w.beginBranch(QORStringRef("/b"), 1), qor_s_invalid_argument);
    EXPECT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_invalid_argument);
    EXPECT_FALSE(w.isComplete());
    ASSERT_EQ(w.begin(v), qor_s_ok);
    EXPECT_TRUE(w.isComplete());
    EXPECT_EQ(w.begin(v), qor_s_invalid_argument);
    EXPECT_EQ(w.beginBranch(QORStringRef("/b"), -1), qor_s_invalid_argument);
    EXPECT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_invalid_argument);
    ASSERT_EQ(w.beginBranch(QORStringRef("/b"), 1), qor_s_ok);
    EXPECT_FALSE(w.isComplete());
    EXPECT_EQ(w.beginBranch(QORStringRef("/c"), 0), qor_s_invalid_argument);
    ASSERT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_ok);
    EXPECT_TRUE(w.isComplete());
    EXPECT_EQ(w.addEntry(QORStringRef("/p"), QORStringRef("*")), qor_s_invalid_argument);
    ASSERT_EQ(w.beginBranch(QORStringRef(""), 0), qor_s_ok);
    EXPECT_EQ(w.branchCount(), 2);
}

// A branch goes in whole (name and count) or not at all.
TEST(URCVersionAnswerWriter, FullAreaKeepsBranchesWhole)
{
    QOREpochVersion v = {};
    // The version takes 32 bytes, the branch 16 for its name and 12 for
    // its count.
    for (unsigned int room = 32; room <= 32 + 28; room += 4) {
        SCOPED_TRACE(room);
        QORTestRegion r(QORTestRegion::kStart + 128);
        r.alloc.initialize(r.shm(), QORTestRegion::kStart, room);
        QORURCVersionAnswerWriter w(r.alloc);
        ASSERT_EQ(w.begin(v), qor_s_ok);
        QORStatus st = w.beginBranch(QORStringRef("/b"), 0);
        EXPECT_EQ(st, room == 32 + 28 ? qor_s_ok : qor_s_no_memory);
        EXPECT_EQ(r.alloc.usedLength(), st == qor_s_ok ? 60u : 32u);
    }
}
