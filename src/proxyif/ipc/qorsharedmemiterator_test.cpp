#include "proxyif/ipc/qorsharedmemiterator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

} // namespace

TEST(QORSharedMemAllocatorTest, ElementsAreLinkedBackToBackAndReadBack)
{
    Segment seg(256);
    QORSharedMemAllocator alloc;
    alloc.initialize(seg.shm, 16, 200);
    const unsigned int sizes[] = {5, 0, 12};
    void* d[3];
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(alloc.allocate(sizes[i], &d[i]), qor_s_ok);
        memset(d[i], 'a' + i, sizes[i]);
    }
    // The layout itself: the message layout tables of every question and answer.
    EXPECT_EQ(alloc.usedLength(), 8u + 8 + 8 + 0 + 8 + 12);
    QORSharedMemIterator it;
    ASSERT_EQ(it.initialize(&alloc), qor_s_ok);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(it.hasMoreElements());
        unsigned int len = 99;
        void* data = nullptr;
        ASSERT_EQ(it.getNextElement(&len, &data), qor_s_ok);
        EXPECT_EQ(std::string(static_cast<char*>(data), len), std::string(sizes[i], 'a' + i));
    }
    EXPECT_FALSE(it.hasMoreElements());
    // Exhausted: succeeds and leaves the outputs alone.
    unsigned int len = 7;
    void* data = &len;
    EXPECT_EQ(it.getNextElement(&len, &data), qor_s_ok);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(data, &len);
    alloc.reset();
    EXPECT_EQ(alloc.usedLength(), 0u);
    ASSERT_EQ(alloc.allocate(4, &data), qor_s_ok);
    EXPECT_EQ(data, seg.at(24));
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

// Regions of a 64-byte segment: where they may lie, and which elements a
// walk finds in them before it stops, rather than leave the region, read a
// header cut by its end, or loop.
TEST(QORSharedMemIteratorTest, RegionBoundsAndChains)
{
    const uint32_t none = kQORSharedMemNoNext;
    const QORStatus bad = qor_s_ipc_bad_parameter;
    const QORStatus broken = qor_s_ipc_no_more_segments;
    const struct {
        const char* what;
        std::vector<uint32_t> words;  // offset, value pairs
        unsigned int start, size;
        QORStatus initSt, walkSt;
        std::vector<unsigned int> lengths;
    } cases[] = {
        // The link is never followed when the element fills the region.
        {"element filling the region", {16, 8, 20, 0x12345678u}, 16, 16, qor_s_ok, qor_s_ok, {8}},
        {"unpadded last element", {0, 5, 4, none}, 0, 16, qor_s_ok, qor_s_ok, {5}},
        {"empty region", {}, 0, 0, qor_s_ok, qor_s_ok, {}},
        {"shorter than a header", {}, 0, 7, qor_s_ok, qor_s_ok, {}},
        {"past the segment", {}, 32, 36, bad, qor_s_ok, {}},
        {"start wraps", {}, 0xFFFFFFF0u, 0x20, bad, qor_s_ok, {}},
        {"unaligned start", {}, 2, 16, bad, qor_s_ok, {}},
        {"element longer than the rest", {0, 4, 4, 12, 12, 9}, 0, 28, qor_s_ok, broken, {4}},
        {"length wraps when 8 is added", {0, 0xFFFFFFF9u}, 0, 28, qor_s_ok, broken, {}},
        {"link to itself", {16, 4, 20, 16}, 16, 32, qor_s_ok, broken, {}},
        {"link into its own data", {16, 4, 20, 24}, 16, 32, qor_s_ok, broken, {}},
        {"link before the region", {16, 4, 20, 8}, 16, 32, qor_s_ok, broken, {}},
        {"link to the segment base", {16, 4, 20, 0}, 16, 32, qor_s_ok, broken, {}},
        {"link past the last whole header", {16, 4, 20, 44}, 16, 32, qor_s_ok, broken, {}},
        {"link to the region end", {16, 4, 20, 48}, 16, 32, qor_s_ok, broken, {}},
        {"link off the 4-byte grid", {16, 4, 20, 30}, 16, 32, qor_s_ok, broken, {}},
        {"link to nowhere before the end", {16, 4, 20, none}, 16, 32, qor_s_ok, broken, {}},
        {"link far beyond the segment", {16, 4, 20, 0xFFFFFFFCu}, 16, 32, qor_s_ok, broken, {}},
        // A gap before the next header is allowed: the link is what counts.
        {"gap before the next header", {16, 4, 20, 36, 36, 4}, 16, 32, qor_s_ok, qor_s_ok, {4, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Segment seg(64);
        for (size_t i = 0; i + 1 < c.words.size(); i += 2)
            seg.put(c.words[i], c.words[i + 1]);
        QORSharedMemIterator it;
        EXPECT_EQ(it.initialize(seg.shm, c.start, c.size), c.initSt);
        std::vector<unsigned int> lengths;
        QORStatus st = qor_s_ok;
        while (st == qor_s_ok && it.hasMoreElements()) {
            unsigned int len = 77;
            void* data = nullptr;
            st = it.getNextElement(&len, &data);
            // A failed read leaves the outputs alone.
            if (st == qor_s_ok || len != 77)
                lengths.push_back(len);
        }
        EXPECT_EQ(st, c.walkSt);
        EXPECT_EQ(lengths, c.lengths);
        // A failed read leaves the iterator where it was.
        EXPECT_EQ(it.hasMoreElements(), c.walkSt != qor_s_ok);
    }
    QORSharedMemIterator it;
    QORLocalSharedMem unmapped;
    EXPECT_EQ(it.initialize(unmapped, 0, 16), qor_s_ipc_bad_parameter);
    EXPECT_FALSE(it.hasMoreElements());
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
