#include "proxyif/framework/qorerrormessage.h"

#include <gtest/gtest.h>

#include <vector>

#include "qortestregion.h"

TEST(QORErrorMessageTest, StatusRoundTripsAsOneFourByteElement)
{
    QORTestRegion r;
    QORErrorMessage sent(0x35f02099);
    ASSERT_EQ(sent.marshal(r.alloc), qor_s_ok);
    EXPECT_EQ(r.alloc.usedLength(), 12u);
    QORProxyIFMessage* read = nullptr;
    QORErrorMessageFactory factory;
    ASSERT_EQ(factory.createMsg(&read), qor_s_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(static_cast<QORErrorMessage*>(read)->getStatus(), 0u);
    QORSharedMemIterator& it = r.reader();
    EXPECT_EQ(read->unmarshal(it, nullptr), qor_s_ok);
    EXPECT_EQ(static_cast<QORErrorMessage*>(read)->getStatus(), 0x35f02099u);
    EXPECT_FALSE(it.hasMoreElements());
    read->deleteMe();
    QORTestRegion full;
    full.alloc.initialize(full.shm(), QORTestRegion::kStart, 11);
    EXPECT_EQ(QORErrorMessage(1).marshal(full.alloc), qor_s_no_memory);
}

// A missing or short status is malformed and leaves the message's status; a
// broken chain reports the reader's status.
TEST(QORErrorMessageTest, MalformedStatuses)
{
    const uint32_t none = QORTestRegion::kNoNext;
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status;
    } rows[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"status of 2 bytes", {2, none, 0x0201}, qor_s_msg_unmarshal_failed},
        {"element past the region", {400, none, 1}, qor_s_ipc_no_more_segments},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestRegion r;
        r.put(row.words);
        QORErrorMessage msg(7);
        EXPECT_EQ(msg.unmarshal(r.reader(), nullptr), row.status);
        EXPECT_EQ(msg.getStatus(), 7u);
    }
}
