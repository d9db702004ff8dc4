#include "msg/server/qorwebreqquestionreader.h"

#include <gtest/gtest.h>

#include <vector>

#include "qortestregion.h"

const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

// The server's reader refuses request areas that do not hold a question.
TEST(WebReqQuestionReader, RefusesMalformedQuestions)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status = qor_s_msg_unmarshal_failed;
    } rows[] = {
        {"no element", {}},
        {"flags of 8 bytes", {8, kNone, 0, 0}},
        {"unknown flag bit", {4, kNone, 0x1000}},
        {"URI flag without element", {4, kNone, 0x002}},
        {"element without flag", {4, s + 12, 0, 8, kNone, 2, qor_test_chars("/\0\0\0")}},
        {"string element with trailing word",
         {4, s + 12, 0x002, 12, kNone, 2, qor_test_chars("/\0\0\0"), 0}},
        {"string element missing the second string",
         {4, s + 12, 0x006, 8, kNone, 2, qor_test_chars("/\0\0\0")}},
        {"string count past the element", {4, s + 12, 0x002, 8, kNone, 40, 0}},
        {"server part with unknown bit", {4, s + 12, 0x008, 4, kNone, 0x8}},
        {"server port missing", {4, s + 12, 0x008, 4, kNone, 0x4}},
        {"SSL part with unknown bit", {4, s + 12, 0x010, 4, kNone, 0x20}},
        {"SSL ID past the part", {4, s + 12, 0x010, 8, kNone, 0x1, 99}},
        {"certificate flag without part", {4, s + 12, 0x010, 4, kNone, 0x2}},
        {"certificate with unknown bit", {4, s + 12, 0x010, 8, kNone, 0x2, 0x10}},
        {"HTTP message and one element too many", {4, s + 12, 0x020, 4, s + 24, 1, 4, kNone, 2}},
        {"six elements",
         {4, s + 12, 0x03f, 4, s + 24, 0, 4, s + 36, 0, 4, s + 48, 0, 4, s + 60, 0, 4, kNone, 0}},
        {"element past the region", {4, s + 12, 0x020, 64, kNone, 0}, qor_s_ipc_no_more_segments},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestRegion region;
        region.put(row.words);
        QORWebReqQuestionReader r;
        EXPECT_EQ(r.unmarshal(region.reader(), nullptr), row.status);
    }
}
