#include "msg/server/qorconfiganswerwriter.h"

#include <gtest/gtest.h>

#include <vector>

#include "msg/core/qorconfigquestion.h"
#include "msg/server/qorconfigquestionreader.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "qortestregion.h"

typedef QORConfigQuestion::qor_config_req_msg_type_e RequestType;
const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

TEST(ConfigQuestion, LayoutAndServerRead)
{
    for (int type = 0; type < 4; type++) {
        QORTestRegion r;
        QORConfigQuestion q(static_cast<RequestType>(type));
        ASSERT_EQ(q.marshal(r.alloc), qor_s_ok);
        EXPECT_EQ(r.written(), (std::vector<uint32_t>{4, kNone, static_cast<uint32_t>(type)}));
        RequestType read = QORConfigQuestion::QOR_CONFIG_REQ_URC;
        QORSharedMemIterator& it = r.reader();
        ASSERT_EQ(QORConfigQuestionReader::read(it, &read), qor_s_ok);
        EXPECT_EQ(read, type);
        EXPECT_FALSE(it.hasMoreElements());
    }
    QORTestRegion r;
    r.alloc.initialize(r.shm(), s, 11);
    EXPECT_EQ(QORConfigQuestion(QORConfigQuestion::QOR_CONFIG_REQ_FLAGS).marshal(r.alloc),
              qor_s_no_memory);
    EXPECT_EQ(r.alloc.usedLength(), 0u);
}

TEST(ConfigQuestion, ServerRefusesMalformedQuestions)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus expected = qor_s_msg_unmarshal_failed;
    } cases[] = {
        {"no element", {}},
        {"element too short for the type", {2, kNone, 1}},
        {"empty element", {0, kNone}},
        {"type below the known ones", {4, kNone, kNone}},
        {"type above the known ones", {4, kNone, 4}},
        {"length past the region", {400, kNone, 1}, qor_s_ipc_no_more_segments},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QORTestRegion r;
        r.put(c.words);
        RequestType type = QORConfigQuestion::QOR_CONFIG_REQ_URC;
        EXPECT_EQ(QORConfigQuestionReader::read(r.reader(), &type), c.expected);
        EXPECT_EQ(type, QORConfigQuestion::QOR_CONFIG_REQ_URC);
    }
}

TEST(ConfigAnswerWriter, CommandLayouts)
{
    QORTestRegion r;
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.addPostURI(QORStringRef("/a"), 7), qor_s_ok);
    ASSERT_EQ(w.addConfigFlag(QORStringRef("abcd"), 0x80000001u), qor_s_ok);
    ASSERT_EQ(w.addURCConfig(true, 60), qor_s_ok);
    ASSERT_EQ(w.addURCConfig(false, 60), qor_s_ok);
    EXPECT_EQ(w.commandCount(), 4);
    std::vector<uint32_t> expected = {
        // count element: 4 commands
        4, s + 12, 4,
        // command 0: id, string "/a" (count 3, 3 bytes + 1 padding), 7
        16, s + 36, 0, 3, qor_test_chars("/a\0\0"), 7,
        // command 1: id, string "abcd" (count 5: 4 bytes, 0, 3 padding), flags
        20, s + 64, 1, 5, qor_test_chars("abcd"), 0, 0x80000001u,
        // command 2, enabled: id, 1; then an element with the interval
        8, s + 80, 2, 1,
        4, s + 92, 60,
        // command 2, disabled: no interval
        8, kNone, 2, 0,
    };
    EXPECT_EQ(r.written(), expected);
}

TEST(ConfigAnswerWriter, VirtualHostLayout)
{
    QORTestRegion r;
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.beginVHostList(1), qor_s_ok);
    QORConfigPermEntry get = {QORStringRef("GET"), QORStringRef("r")};
    ASSERT_EQ(w.addVHost(QORStringRef("h"), QORStringRef(""), 0x1c, QORStringRef("Tr"), &get, 1),
              qor_s_ok);
    EXPECT_EQ(w.commandCount(), 1);
    std::vector<uint32_t> expected = {
        4, s + 12, 1,
        // command 3 with the host count
        8, s + 28, 3, 1,
        // ID "h", branch "", flags, map size 2
        8, s + 44, 2, qor_test_chars("h\0\0\0"),
        8, s + 60, 1, 0,
        4, s + 72, 0x1c,
        4, s + 84, 2,
        // "<default>" (count 10, 12 bytes), "Tr" (count 3, 4 bytes)
        24, s + 116, 10, qor_test_chars("<def"), qor_test_chars("ault"), qor_test_chars(">\0\0\0"), 3, qor_test_chars("Tr\0\0"),
        // "GET" (count 4), "r" (count 2)
        16, kNone, 4, qor_test_chars("GET\0"), 2, qor_test_chars("r\0\0\0"),
    };
    EXPECT_EQ(r.written(), expected);
}

TEST(ConfigAnswerWriter, FullAreaFailsAtOnce)
{
    QORTestRegion r(s + 48);
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.addPostURI(QORStringRef("/a"), 7), qor_s_ok);
    unsigned int used = r.alloc.usedLength();
    EXPECT_EQ(w.addPostURI(QORStringRef("/a-longer-name-than-fits"), 7), qor_s_no_memory);
    EXPECT_EQ(r.alloc.usedLength(), used);
    EXPECT_EQ(w.commandCount(), 1);
}
