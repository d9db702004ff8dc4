#include "proxyif/ipc/qorsharedmemiterator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

namespace {

// A segment over a vector of words, so that the region is 4-aligned and
// ASan sees reads past its end.
struct Segment {
    explicit Segment(unsigned int bytes)
        : words(bytes / 4, 0xA5A5A5A5u)
        , shm(words.data(), bytes)
    {
    }
    unsigned char* at(unsigned int offset)
    {
        return reinterpret_cast<unsigned char*>(words.data()) + offset;
    }
    void put(unsigned int offset, uint32_t value) { memcpy(at(offset), &value, 4); }
    uint32_t word(unsigned int offset)
    {
        uint32_t v;
        memcpy(&v, at(offset), 4);
        return v;
    }

    std::vector<uint32_t> words;
    QORLocalSharedMem shm;
};

// Reads every element; returns the lengths seen and the final status.
QORStatus walk(QORSharedMemIterator& it, std::vector<unsigned int>* lengths)
{
    while (it.hasMoreElements()) {
        unsigned int len = 0;
        void* data = nullptr;
        QORStatus st = it.getNextElement(&len, &data);
        if (st != qor_s_ok)
            return st;
        lengths->push_back(len);
    }
    return qor_s_ok;
}

} // namespace

TEST(QORSharedMemAllocatorTest, ElementsAreLinkedBackToBack)
{
    Segment seg(256);
    QORSharedMemAllocator alloc;
    alloc.initialize(seg.shm, 16, 200);
    void* a;
    void* b;
    void* c;
    ASSERT_EQ(alloc.allocate(5, &a), qor_s_ok);
    ASSERT_EQ(alloc.allocate(0, &b), qor_s_ok);
    ASSERT_EQ(alloc.allocate(12, &c), qor_s_ok);
    EXPECT_EQ(a, seg.at(24));
    EXPECT_EQ(b, seg.at(40));  // 16 + 8 + round4(5)
    EXPECT_EQ(c, seg.at(48));
    EXPECT_EQ(seg.word(16), 5u);
    EXPECT_EQ(seg.word(20), 32u);  // offsets from the segment base
    EXPECT_EQ(seg.word(32), 0u);
    EXPECT_EQ(seg.word(36), 40u);
    EXPECT_EQ(seg.word(44), kQORSharedMemNoNext);
    EXPECT_EQ(alloc.usedLength(), 8u + 8 + 8 + 0 + 8 + 12);

    alloc.reset();
    EXPECT_EQ(alloc.usedLength(), 0u);
    ASSERT_EQ(alloc.allocate(4, &a), qor_s_ok);
    EXPECT_EQ(a, seg.at(24));
    EXPECT_EQ(seg.word(20), kQORSharedMemNoNext);  // no link to the forgotten
}

TEST(QORSharedMemAllocatorTest, FreeSpaceRule)
{
    Segment seg(64);
    QORSharedMemAllocator alloc;
    alloc.initialize(seg.shm, 0, 32);
    void* d = nullptr;
    ASSERT_EQ(alloc.allocate(8, &d), qor_s_ok);   // 16 of 32 used
    EXPECT_EQ(alloc.allocate(9, &d), qor_s_no_memory);
    EXPECT_EQ(alloc.usedLength(), 16u);            // nothing changed
    EXPECT_EQ(seg.word(4), kQORSharedMemNoNext);
    EXPECT_EQ(alloc.allocate(8, &d), qor_s_ok);   // exactly free - 8
    EXPECT_EQ(alloc.allocate(0, &d), qor_s_no_memory);
    // A length beyond the int range is refused, not taken as negative.
    alloc.reset();
    EXPECT_EQ(alloc.allocate(0xFFFFFFF0u, &d), qor_s_no_memory);
}

TEST(QORSharedMemIteratorTest, ReadsBackWhatTheAllocatorWrote)
{
    Segment seg(256);
    QORSharedMemAllocator alloc;
    alloc.initialize(seg.shm, 8, 240);
    const unsigned int sizes[] = {4, 0, 20, 8};
    for (unsigned int s : sizes) {
        void* d;
        ASSERT_EQ(alloc.allocate(s, &d), qor_s_ok);
        memset(d, static_cast<int>(s), s);
    }
    QORSharedMemIterator it;
    ASSERT_EQ(it.initialize(&alloc), qor_s_ok);
    for (unsigned int s : sizes) {
        ASSERT_TRUE(it.hasMoreElements());
        unsigned int len = 99;
        void* data = nullptr;
        ASSERT_EQ(it.getNextElement(&len, &data), qor_s_ok);
        EXPECT_EQ(len, s);
        for (unsigned int i = 0; i < s; i++)
            EXPECT_EQ(static_cast<unsigned char*>(data)[i], s);
    }
    EXPECT_FALSE(it.hasMoreElements());
    // Exhausted: succeeds and leaves the outputs alone.
    unsigned int len = 7;
    void* data = &len;
    EXPECT_EQ(it.getNextElement(&len, &data), qor_s_ok);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(data, &len);
}

// Regions of a 64-byte segment: where they may lie and which elements a
// walk finds in them.
TEST(QORSharedMemIteratorTest, RegionBoundsAndChainEnds)
{
    const struct {
        const char* what;
        uint32_t length, next;  // the element at start, if length is not 0
        unsigned int start, size;
        QORStatus st;
        std::vector<unsigned int> lengths;
    } cases[] = {
        // The link is never followed when the element fills the region.
        {"one element filling the region", 8, 0x12345678u, 16, 16, qor_s_ok, {8}},
        {"unpadded last element", 5, kQORSharedMemNoNext, 0, 16, qor_s_ok, {5}},
        {"empty region", 0, 0, 0, 0, qor_s_ok, {}},
        {"shorter than a header", 0, 0, 0, 7, qor_s_ok, {}},
        {"past the segment", 0, 0, 32, 36, qor_s_ipc_bad_parameter, {}},
        {"start wraps", 0, 0, 0xFFFFFFF0u, 0x20, qor_s_ipc_bad_parameter, {}},
        {"unaligned start", 0, 0, 2, 16, qor_s_ipc_bad_parameter, {}},
    };
    for (const auto& c : cases) {
        Segment seg(64);
        if (c.length != 0) {
            seg.put(c.start, c.length);
            seg.put(c.start + 4, c.next);
        }
        QORSharedMemIterator it;
        EXPECT_EQ(it.initialize(seg.shm, c.start, c.size), c.st) << c.what;
        std::vector<unsigned int> lengths;
        EXPECT_EQ(walk(it, &lengths), qor_s_ok) << c.what;
        EXPECT_EQ(lengths, c.lengths) << c.what;
    }
    QORSharedMemIterator it;
    QORLocalSharedMem unmapped;
    EXPECT_EQ(it.initialize(unmapped, 0, 16), qor_s_ipc_bad_parameter);
    EXPECT_FALSE(it.hasMoreElements());
}

TEST(QORSharedMemIteratorTest, ElementLongerThanTheRestIsMalformed)
{
    Segment seg(64);
    seg.put(0, 4);
    seg.put(4, 12);
    seg.put(12, 9);  // second element at 12 claims 9 bytes; 8 remain
    QORSharedMemIterator it;
    ASSERT_EQ(it.initialize(seg.shm, 0, 28), qor_s_ok);
    unsigned int len;
    void* data;
    ASSERT_EQ(it.getNextElement(&len, &data), qor_s_ok);
    len = 77;
    EXPECT_EQ(it.getNextElement(&len, &data), qor_s_ipc_no_more_segments);
    EXPECT_EQ(len, 77u);
    EXPECT_TRUE(it.hasMoreElements());  // left where it was

    seg.put(0, 0xFFFFFFF9u);  // wraps when 8 is added
    ASSERT_EQ(it.initialize(seg.shm, 0, 28), qor_s_ok);
    EXPECT_EQ(it.getNextElement(&len, &data), qor_s_ipc_no_more_segments);
}

TEST(QORSharedMemIteratorTest, LinksMustLeadForwardInsideTheRegion)
{
    // An element of 4 bytes at 16 in a region [16, 48); each case sets its
    // link and expects the walk to fail rather than leave the region, read
    // a header cut by the region's end, or loop.
    struct Case {
        uint32_t next;
        const char* what;
    } cases[] = {
        {16, "to itself"},
        {24, "into its own data"},
        {8, "before the region"},
        {0, "to the segment base"},
        {44, "past the last whole header"},
        {48, "to the region end"},
        {30, "off the 4-byte grid"},
        {kQORSharedMemNoNext, "to nowhere before the end"},
        {0xFFFFFFFCu, "far beyond the segment"},
    };
    Segment seg(64);
    for (const Case& c : cases) {
        seg.put(16, 4);
        seg.put(20, c.next);
        QORSharedMemIterator it;
        ASSERT_EQ(it.initialize(seg.shm, 16, 32), qor_s_ok);
        unsigned int len;
        void* data;
        EXPECT_EQ(it.getNextElement(&len, &data), qor_s_ipc_no_more_segments) << c.what;
    }
    // A gap before the next header is allowed: the link is what counts.
    seg.put(20, 36);
    seg.put(36, 4);
    QORSharedMemIterator it;
    ASSERT_EQ(it.initialize(seg.shm, 16, 32), qor_s_ok);
    std::vector<unsigned int> lengths;
    EXPECT_EQ(walk(it, &lengths), qor_s_ok);
    EXPECT_EQ(lengths, (std::vector<unsigned int>{4, 4}));
}

TEST(QORSharedMemIteratorTest, CopyRawCopiesTheSegmentUpToTheRegionEnd)
{
    Segment seg(64);
    for (unsigned int i = 0; i < 64; i++)
        *seg.at(i) = static_cast<unsigned char>(i);
    QORSharedMemIterator it;
    ASSERT_EQ(it.initialize(seg.shm, 8, 24), qor_s_ok);
    int end = 0;
    int start = 0;
    EXPECT_EQ(it.copyRaw(nullptr, &end, &start), qor_s_ok);
    EXPECT_EQ(end, 32);
    EXPECT_EQ(start, 8);

    Segment target(64);
    EXPECT_EQ(it.copyRaw(&target.shm, &end, &start), qor_s_ok);
    EXPECT_EQ(memcmp(target.at(0), seg.at(0), 32), 0);
    EXPECT_EQ(target.word(32), 0xA5A5A5A5u);

    Segment small(16);
    EXPECT_EQ(it.copyRaw(&small.shm, &end, &start), qor_s_ipc_bad_parameter);
}
