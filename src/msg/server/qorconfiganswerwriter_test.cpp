#include "msg/server/qorconfiganswerwriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "msg/core/qorconfigquestion.h"
#include "msg/server/qorconfigquestionreader.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

const uint32_t kNone = 0xFFFFFFFFu;
const unsigned int kStart = 16;

// A region over a vector of words. Zero-filled, so that the padding the
// writer leaves alone reads as 0 in the expected layouts.
struct Region {
    explicit Region(unsigned int bytes = 1024)
        : words(bytes / 4, 0)
        , shm(words.data(), bytes)
    {
        alloc.initialize(shm, kStart, bytes - kStart);
    }
    // The words written, from the region start to the writer's position.
    std::vector<uint32_t> written() const
    {
        return std::vector<uint32_t>(words.begin() + kStart / 4,
                                     words.begin() + alloc.getCur() / 4);
    }
    void put(unsigned int offset, uint32_t value)
    {
        memcpy(reinterpret_cast<unsigned char*>(words.data()) + offset, &value, 4);
    }

    std::vector<uint32_t> words;
    QORLocalSharedMem shm;
    QORSharedMemAllocator alloc;
};

// Little-endian bytes as one word (the targets are little-endian x86).
uint32_t chars(const char (&s)[5])
{
    uint32_t v;
    memcpy(&v, s, 4);
    return v;
}

} // namespace

TEST(ConfigQuestion, LayoutAndServerRead)
{
    for (int type = 0; type < 4; type++) {
        Region r;
        QORConfigQuestion q(static_cast<QORConfigQuestion::qor_config_req_msg_type_e>(type));
        EXPECT_EQ(q.getType(), qor_msg_config_question);
        ASSERT_EQ(q.marshal(r.alloc), qor_s_ok);
        EXPECT_EQ(r.written(), (std::vector<uint32_t>{4, kNone, static_cast<uint32_t>(type)}));

        QORSharedMemIterator it;
        ASSERT_EQ(it.initialize(&r.alloc), qor_s_ok);
        QORConfigQuestion::qor_config_req_msg_type_e read = QORConfigQuestion::QOR_CONFIG_REQ_URC;
        ASSERT_EQ(QORConfigQuestionReader::read(it, &read), qor_s_ok);
        EXPECT_EQ(read, type);
        EXPECT_FALSE(it.hasMoreElements());
    }
}

TEST(ConfigQuestion, FullAreaFailsTheMarshal)
{
    Region r(32);
    QORSharedMemAllocator small;
    small.initialize(r.shm, kStart, 11);
    QORConfigQuestion q(QORConfigQuestion::QOR_CONFIG_REQ_FLAGS);
    EXPECT_EQ(q.marshal(small), qor_s_no_memory);
    EXPECT_EQ(small.usedLength(), 0u);
    EXPECT_EQ(QORConfigQuestion().getRequestType(), QORConfigQuestion::kTypeNotSet);
}

TEST(ConfigQuestion, ServerRefusesMalformedQuestions)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> words;  // written at the region start
        unsigned int size;            // region size
        QORStatus expected;
    } cases[] = {
        {"no element", {}, 0, qor_s_msg_unmarshal_failed},
        {"element too short for the type", {2, kNone, 1}, 12, qor_s_msg_unmarshal_failed},
        {"empty element", {0, kNone}, 8, qor_s_msg_unmarshal_failed},
        {"type below the known ones", {4, kNone, kNone}, 12, qor_s_msg_unmarshal_failed},
        {"type above the known ones", {4, kNone, 4}, 12, qor_s_msg_unmarshal_failed},
        {"length past the region", {400, kNone, 1}, 12, qor_s_ipc_no_more_segments},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Region r;
        for (size_t i = 0; i < c.words.size(); i++)
            r.put(kStart + 4 * static_cast<unsigned int>(i), c.words[i]);
        QORSharedMemIterator it;
        ASSERT_EQ(it.initialize(r.shm, kStart, c.size), qor_s_ok);
        QORConfigQuestion::qor_config_req_msg_type_e type = QORConfigQuestion::QOR_CONFIG_REQ_URC;
        EXPECT_EQ(QORConfigQuestionReader::read(it, &type), c.expected);
        EXPECT_EQ(type, QORConfigQuestion::QOR_CONFIG_REQ_URC);
    }
}

TEST(ConfigAnswerWriter, CommandLayouts)
{
    Region r;
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.addPostURI(QORStringRef("/a"), 7), qor_s_ok);
    ASSERT_EQ(w.addConfigFlag(QORStringRef("abcd"), 0x80000001u), qor_s_ok);
    ASSERT_EQ(w.addURCConfig(true, 60), qor_s_ok);
    ASSERT_EQ(w.addURCConfig(false, 60), qor_s_ok);
    EXPECT_EQ(w.commandCount(), 4);

    const uint32_t s = kStart;
    std::vector<uint32_t> expected = {
        // count element: 4 commands
        4, s + 12, 4,
        // command 0: id, string "/a" (count 3, 3 bytes + 1 padding), 7
        16, s + 36, 0, 3, chars("/a\0\0"), 7,
        // command 1: id, string "abcd" (count 5: 4 bytes, 0, 3 padding), flags
        20, s + 64, 1, 5, chars("abcd"), 0, 0x80000001u,
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
    Region r;
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.beginVHostList(1), qor_s_ok);
    QORConfigPermEntry get = {QORStringRef("GET"), QORStringRef("r")};
    ASSERT_EQ(w.addVHost(QORStringRef("h"), QORStringRef(""), 0x1c, QORStringRef("Tr"), &get, 1),
              qor_s_ok);
    EXPECT_EQ(w.commandCount(), 1);

    const uint32_t s = kStart;
    std::vector<uint32_t> expected = {
        4, s + 12, 1,
        // command 3 with the host count
        8, s + 28, 3, 1,
        // ID "h", branch "", flags, map size 2
        8, s + 44, 2, chars("h\0\0\0"),
        8, s + 60, 1, 0,
        4, s + 72, 0x1c,
        4, s + 84, 2,
        // "<default>" (count 10, 12 bytes), "Tr" (count 3, 4 bytes)
        24, s + 116, 10, chars("<def"), chars("ault"), chars(">\0\0\0"), 3, chars("Tr\0\0"),
        // "GET" (count 4), "r" (count 2)
        16, kNone, 4, chars("GET\0"), 2, chars("r\0\0\0"),
    };
    EXPECT_EQ(r.written(), expected);
}

TEST(ConfigAnswerWriter, FullAreaFailsAtOnce)
{
    Region r(64);
    QORConfigAnswerWriter w(r.alloc);
    ASSERT_EQ(w.begin(), qor_s_ok);
    ASSERT_EQ(w.addPostURI(QORStringRef("/a"), 7), qor_s_ok);
    unsigned int used = r.alloc.usedLength();
    EXPECT_EQ(w.addPostURI(QORStringRef("/a-longer-name-than-fits"), 7), qor_s_no_memory);
    EXPECT_EQ(r.alloc.usedLength(), used);
    EXPECT_EQ(w.commandCount(), 1);
}
