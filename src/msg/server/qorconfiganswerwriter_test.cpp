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
