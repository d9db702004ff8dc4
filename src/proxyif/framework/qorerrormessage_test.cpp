#include "proxyif/framework/qorerrormessage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

struct Region {
    Region()
        : words(32, 0)
        , shm(words.data(), 128)
    {
        alloc.initialize(shm, 16, 64);
    }
    QORStatus element(unsigned int length, const void* bytes)
    {
        void* at = nullptr;
        QORStatus st = alloc.allocate(length, &at);
        if (st == qor_s_ok)
            memcpy(at, bytes, length);
        return st;
    }

    std::vector<uint32_t> words;
    QORLocalSharedMem shm;
    QORSharedMemAllocator alloc;
    QORSharedMemIterator it;
};

} // namespace

TEST(QORErrorMessageTest, StatusRoundTripsAsOneFourByteElement)
{
    Region r;
    QORErrorMessage sent(0x35f02099);
    EXPECT_EQ(sent.getType(), 0);
    ASSERT_EQ(sent.marshal(r.alloc), qor_s_ok);
    EXPECT_EQ(r.alloc.usedLength(), 12u);

    ASSERT_EQ(r.it.initialize(&r.alloc), qor_s_ok);
    QORProxyIFMessage* read = nullptr;
    QORErrorMessageFactory factory;
    EXPECT_EQ(factory.getType(), 0);
    ASSERT_EQ(factory.createMsg(&read), qor_s_ok);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(static_cast<QORErrorMessage*>(read)->getStatus(), 0u);
    EXPECT_EQ(read->unmarshal(r.it, nullptr), qor_s_ok);
    EXPECT_EQ(static_cast<QORErrorMessage*>(read)->getStatus(), 0x35f02099u);
    EXPECT_FALSE(r.it.hasMoreElements());
    read->deleteMe();
}

TEST(QORErrorMessageTest, MissingOrShortStatusIsMalformed)
{
    Region empty;
    ASSERT_EQ(empty.it.initialize(&empty.alloc), qor_s_ok);
    QORErrorMessage msg(7);
    EXPECT_EQ(msg.unmarshal(empty.it, nullptr), qor_s_msg_unmarshal_failed);

    Region shortOne;
    ASSERT_EQ(shortOne.element(2, "\x01\x02"), qor_s_ok);
    ASSERT_EQ(shortOne.it.initialize(&shortOne.alloc), qor_s_ok);
    EXPECT_EQ(msg.unmarshal(shortOne.it, nullptr), qor_s_msg_unmarshal_failed);
    EXPECT_EQ(msg.getStatus(), 7u);

    // A broken chain reports the reader's status.
    Region broken;
    ASSERT_EQ(broken.element(4, "\x01\x02\x03\x04"), qor_s_ok);
    ASSERT_EQ(broken.it.initialize(broken.shm, 16, 8), qor_s_ok);
    EXPECT_EQ(msg.unmarshal(broken.it, nullptr), qor_s_ipc_no_more_segments);
}

TEST(QORErrorMessageTest, FullRegionFailsToMarshal)
{
    Region r;
    r.alloc.initialize(r.shm, 0, 11);
    QORErrorMessage msg(1);
    EXPECT_EQ(msg.marshal(r.alloc), qor_s_no_memory);
}
