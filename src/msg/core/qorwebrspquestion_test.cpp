#include "msg/core/qorwebrspquestion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qortestregion.h"

const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

TEST(WebRspQuestion, LayoutAndRoundTrip)
{
    QORWebRspQuestion q;
    const char http[] = "HTTP/1.1 200 OK\r\n\r\n";  // 19 bytes
    q.setHTTPBuffer(QORBuffer(http, -1));
    q.setVHostID(QORStringRef("vh"));
    q.setSessionID(QORStringRef(""));
    q.setIsSecure(1);
    QORTestRegion region;
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {
        24, s + 32, 19, qor_test_chars("HTTP"), qor_test_chars("/1.1"), qor_test_chars(" 200"),
        qor_test_chars(" OK\r"), qor_test_chars("\n\r\n\0"),
        8, s + 48, 3, qor_test_chars("vh\0\0"),
        8, s + 64, 1, 0,
        4, kNone, 1,
    };
    EXPECT_EQ(region.written(), expected);
    QORWebRspQuestion r;
    ASSERT_EQ(r.unmarshal(region.reader(), nullptr), qor_s_ok);
    QORBuffer b;
    QORStringRef text;
    int secure = 0;
    EXPECT_EQ(qor_s_ok, r.getHTTPBuffer(&b));
    EXPECT_EQ(qor_test_str(b), http);
    EXPECT_EQ(qor_s_ok, r.getVHostID(&text));
    EXPECT_EQ(qor_test_str(text), "vh");
    EXPECT_EQ(qor_s_ok, r.getSessionID(&text));
    EXPECT_EQ(qor_test_str(text), "");
    EXPECT_EQ(qor_s_ok, r.isSecure(&secure));
    EXPECT_EQ(secure, 1);
}

TEST(WebRspQuestion, RefusesMalformedQuestions)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status;
    } rows[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"three elements",
         {4, s + 12, 0, 8, s + 28, 1, 0, 8, kNone, 1, 0}, qor_s_msg_unmarshal_failed},
        {"buffer past its element", {8, s + 16, 9, 0, 8, s + 32, 1, 0, 8, s + 48, 1, 0, 4, kNone, 0},
         qor_s_msg_unmarshal_failed},
        {"is-secure of 8 bytes",
         {4, s + 12, 0, 8, s + 28, 1, 0, 8, s + 44, 1, 0, 8, kNone, 1, 0},
         qor_s_msg_unmarshal_failed},
        {"damaged chain", {4, s + 12, 0, 400, kNone, 1}, qor_s_ipc_no_more_segments},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestRegion region;
        region.put(row.words);
        QORWebRspQuestion r;
        EXPECT_EQ(r.unmarshal(region.reader(), nullptr), row.status);
    }
}
