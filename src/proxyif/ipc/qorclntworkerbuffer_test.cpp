#include "proxyif/ipc/qorclntworkerbuffer.h"

#include <cstring>
#include <gtest/gtest.h>

#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

// A worker segment in process memory and one record describing a buffer in
// it; the tests play the server by writing the buffer header directly.
class QORClntWorkerBufferTest : public ::testing::Test {
protected:
    static const int kSegment = 1024;
    void SetUp() override
    {
        ASSERT_EQ(m_segment.create(nullptr, 'w', kSegment), qor_s_ok);
        memset(&m_record, 0, sizeof m_record);
        describe(3, 128, 256);
    }
    void describe(int worker, int start, int size)
    {
        m_record.workerNum = worker;
        m_record.memStartOffset = start;
        m_record.memSize = size;
        m_record.semId = -1;
        if (start >= 0 && start + 4 <= kSegment)
            memcpy(base() + start, &worker, 4);
    }
    char* base() { return static_cast<char*>(m_segment.getBaseAddress()); }
    // Writes one question element of n bytes and completes the header.
    void ask(QORClntWorkerBuffer& b, unsigned n)
    {
        QORSharedMemAllocator* alloc = b.getRequestAllocator();
        ASSERT_NE(alloc, nullptr);
        void* data;
        ASSERT_EQ(alloc->allocate(n, &data), qor_s_ok);
        memset(data, 'q', n);
        ASSERT_EQ(b.writeRequest(6, *alloc), qor_s_ok);
        delete alloc;
    }
    QORLocalSharedMem m_segment;
    worker_info m_record;
};

} // namespace

TEST_F(QORClntWorkerBufferTest, RecordMustDescribeABufferInsideTheSegment)
{
    const struct {
        int start, size;
        QORStatus st;
    } cases[] = {
        {0, 32, qor_s_ok},                       // a header and an empty area
        {0, 31, qor_s_ipc_bad_worker_buffer},    // not even the header
        {1, 34, qor_s_ipc_bad_worker_buffer},    // the area starts at 36
        {1, 35, qor_s_ok},
        {-4, 64, qor_s_ipc_bad_worker_buffer},
        {kSegment - 64, 64, qor_s_ok},
        {kSegment - 64, 65, qor_s_ipc_bad_worker_buffer},
        {0x7ffffff0, 0x20, qor_s_ipc_bad_worker_buffer},
        {64, -1, qor_s_ipc_bad_worker_buffer},
    };
    for (const auto& c : cases) {
        describe(1, c.start, c.size);
        QORClntWorkerBuffer b;
        EXPECT_EQ(b.initialize(&m_record, m_segment), c.st) << c.start << "+" << c.size;
    }
    // The description is taken once: a later change to the record moves nothing.
    describe(1, 64, 128);
    QORClntWorkerBuffer b;
    ASSERT_EQ(b.initialize(&m_record, m_segment), qor_s_ok);
    m_record.memStartOffset = 900;
    m_record.memSize = 5000;
    EXPECT_EQ(b.getMemStartOffset(), 64);
    EXPECT_EQ(b.bufferEnd(), 192u);
}

TEST_F(QORClntWorkerBufferTest, RequestHeaderAndAreas)
{
    describe(3, 129, 256); // header off a 4-byte boundary
    QORClntWorkerBuffer b;
    ASSERT_EQ(b.initialize(&m_record, m_segment), qor_s_ok);
    EXPECT_EQ(b.requestStart(), 132u + 32u);
    EXPECT_EQ(b.areaSize(), 256u - 3u - 32u);
    ask(b, 5);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, workerNum)), 3);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, requestType)), 6);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, requestStart)), 164);
    // One element: 8 bytes of header, 5 of data, 3 of padding.
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, requestLength)), 16);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, resultStart)), 180);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, resultType)), 0);
    EXPECT_EQ(b.getHeaderField(offsetof(QORWorkerBufferHeader, resultLength)), 0);
    // The answer: one element of 4 bytes at the result start.
    QORSharedMemAllocator reply;
    reply.initialize(m_segment, 180, b.bufferEnd() - 180);
    void* data = nullptr;
    ASSERT_EQ(reply.allocate(4, &data), qor_s_ok);
    memset(data, 'a', 4);
    b.setHeaderField(offsetof(QORWorkerBufferHeader, resultType), 7);
    b.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), reply.usedLength());
    int type = -1;
    QORSharedMemIterator* it = nullptr;
    ASSERT_EQ(b.readResult(type, &it), qor_s_ok);
    EXPECT_EQ(type, 7);
    unsigned len = 0;
    ASSERT_TRUE(it->hasMoreElements());
    ASSERT_EQ(it->getNextElement(&len, &data), qor_s_ok);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(memcmp(data, "aaaa", 4), 0);
    EXPECT_FALSE(it->hasMoreElements());
    delete it;
}

TEST_F(QORClntWorkerBufferTest, ResultOutsideTheBufferIsRefused)
{
    QORClntWorkerBuffer b;
    ASSERT_EQ(b.initialize(&m_record, m_segment), qor_s_ok);
    ask(b, 8);
    int32_t start = b.getHeaderField(offsetof(QORWorkerBufferHeader, resultStart));
    const int32_t end = (int32_t)b.bufferEnd();
    const struct {
        const char* what;
        int32_t start, length;
        QORStatus st;
    } cases[] = {
        {"fits", start, end - start, qor_s_ok},
        {"empty at the end", end, 0, qor_s_ok},
        {"past the end", start, end - start + 4, qor_s_ipc_bad_parameter},
        {"starts past the end", end + 4, 0, qor_s_ipc_bad_parameter},
        {"in the header", 128, 8, qor_s_ipc_bad_parameter},
        {"before the buffer", 0, 16, qor_s_ipc_bad_parameter},
        {"negative start", -8, 16, qor_s_ipc_bad_parameter},
        {"negative length", start, -8, qor_s_ipc_bad_parameter},
        {"unaligned", start + 2, 8, qor_s_ipc_bad_parameter},
        {"wraps", start, 0x7ffffff0, qor_s_ipc_bad_parameter},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultStart), c.start);
        b.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), c.length);
        int type = -1;
        QORSharedMemIterator* it = nullptr;
        EXPECT_EQ(b.readResult(type, &it), c.st);
        if (c.st != qor_s_ok) {
            EXPECT_EQ(it, nullptr);
            EXPECT_EQ(type, -1);
        }
        delete it;
    }
}
