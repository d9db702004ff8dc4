#include "msg/server/qorwebtransanswerwriter.h"

#include <gtest/gtest.h>

#include <vector>

#include "msg/server/qorurcversionanswerwriter.h"
#include "qortestregion.h"

typedef QORWebTransAnswerBase B;
const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

// One command of every data kind, with the count in the first element kept
// up to date.
TEST(WebTransAnswerWriter, CommandLayouts)
{
    QORTestRegion r;
    QORWebTransAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(qor_continue), qor_s_ok);
    ASSERT_EQ(w.addNameValue(B::qor_req_add_header, QORStringRef("X-A"), QORStringRef("v")),
              qor_s_ok);
    ASSERT_EQ(w.addString(B::qor_req_set_uri, QORStringRef("/abc")), qor_s_ok);
    ASSERT_EQ(w.addInt(B::qor_rsp_set_response_code, 302), qor_s_ok);
    ASSERT_EQ(w.addBuffer(B::qor_rsp_set_body, QORBuffer("hello", -1)), qor_s_ok);
    ASSERT_EQ(w.add(B::qor_rsp_set_keep_alive), qor_s_ok);
    ASSERT_EQ(w.addWebLogUser(QORStringRef("u"), QORStringRef(""), QORStringRef("ab")), qor_s_ok);
    EXPECT_EQ(w.commandCount(), 6);
    ASSERT_EQ(w.setRspCode(qor_send_rsp_to_client), qor_s_ok);
    std::vector<uint32_t> expected = {
        // result code, count
        8, s + 16, 3, 6,
        // add header: id, "X-A" (count 4), "v" (count 2)
        20, s + 44, 0, 4, qor_test_chars("X-A\0"), 2, qor_test_chars("v\0\0\0"),
        // set URI: id, "/abc" (count 5: 4 bytes, 0, padding)
        16, s + 68, 4, 5, qor_test_chars("/abc"), 0,
        // response code
        8, s + 84, 24, 302,
        // body piece: id, 5 bytes, padding
        16, s + 108, 25, 5, qor_test_chars("hell"), qor_test_chars("o\0\0\0"),
        // keep-alive: the identifier alone
        4, s + 120, 30,
        // web log user: id, 3 texts
        32, kNone, 8, 3, 2, qor_test_chars("u\0\0\0"), 1, 0, 3, qor_test_chars("ab\0\0"),
    };
    EXPECT_EQ(r.written(), expected);
}

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

TEST(URCVersionAnswerWriter, Layout)
{
    QOREpochVersion v = {};
    v.m_identifier[0] = 0x11;
    v.m_counter = 3;
    QORTestRegion r;
    QORURCVersionAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(v), qor_s_ok);
    EXPECT_TRUE(w.isComplete());
    ASSERT_EQ(w.beginBranch(QORStringRef("/b"), 2), qor_s_ok);
    EXPECT_FALSE(w.isComplete());
    ASSERT_EQ(w.addEntry(QORStringRef("/b/x"), QORStringRef(QORURCVersionAnswerWriter::kOpenToAll)),
              qor_s_ok);
    ASSERT_EQ(w.addEntry(QORStringRef("/b/y"), QORStringRef("Tr")), qor_s_ok);
    EXPECT_TRUE(w.isComplete());
    ASSERT_EQ(w.beginBranch(QORStringRef(""), 0), qor_s_ok);
    EXPECT_EQ(w.branchCount(), 2);
    std::vector<uint32_t> expected = {
        24, s + 32, 20, 0x11, 0, 0, 0, 3,
        8, s + 48, 3, qor_test_chars("/b\0\0"),
        4, s + 60, 2,
        20, s + 88, 5, qor_test_chars("/b/x"), 0, 2, qor_test_chars("*\0\0\0"),
        20, s + 116, 5, qor_test_chars("/b/y"), 0, 3, qor_test_chars("Tr\0\0"),
        8, s + 132, 1, 0,
        4, kNone, 0,
    };
    EXPECT_EQ(r.written(), expected);
}

TEST(URCVersionAnswerWriter, RefusesCallsOutOfOrder)
{
    QOREpochVersion v = {};
    QORTestRegion r;
    QORURCVersionAnswerWriter w(r.alloc);
    EXPECT_EQ(w.beginBranch(QORStringRef("/b"), 1), qor_s_invalid_argument);
    EXPECT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_invalid_argument);
    ASSERT_EQ(w.begin(v), qor_s_ok);
    EXPECT_EQ(w.begin(v), qor_s_invalid_argument);
    EXPECT_EQ(w.beginBranch(QORStringRef("/b"), -1), qor_s_invalid_argument);
    EXPECT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_invalid_argument);
    ASSERT_EQ(w.beginBranch(QORStringRef("/b"), 1), qor_s_ok);
    EXPECT_EQ(w.beginBranch(QORStringRef("/c"), 0), qor_s_invalid_argument);
    ASSERT_EQ(w.addEntry(QORStringRef("/o"), QORStringRef("*")), qor_s_ok);
    EXPECT_EQ(w.addEntry(QORStringRef("/p"), QORStringRef("*")), qor_s_invalid_argument);
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
