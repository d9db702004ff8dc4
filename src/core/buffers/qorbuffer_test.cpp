#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorbuffercursor.h"

#include <gtest/gtest.h>

TEST(QORBufferTest, ComparisonCountsTheTerminatorAndIsUnsignedThenShorterFirst)
{
    QORString s("abc");
    QORBuffer three("abc", 3);
    QORBuffer four("abc", 4);  // includes the zero byte
    EXPECT_EQ(three.compare(s), -1);
    EXPECT_EQ(four.compare(s), 0);
    EXPECT_EQ(four.compare(QORStringRef("abc")), 0);
    EXPECT_EQ(four.compare(QORStringRef("abcdef", 3)), 0);
    const unsigned char hi[] = {0x80};
    const unsigned char lo[] = {0x7f};
    EXPECT_EQ(QORBuffer(hi, 1).compare(lo, 1), 1);
    EXPECT_EQ(QORBuffer(lo, 1).compare(hi, 1), -1);
    EXPECT_EQ(QORBuffer("ab", 2).compare(reinterpret_cast<const unsigned char*>("abc"), 3), -1);
    EXPECT_EQ(QORBuffer().compare(nullptr, 0), 0);
}

TEST(QORBufferTest, HashAndConstruction)
{
    EXPECT_EQ(QORBuffer().hash(), 5381u);
    QORBuffer counted("hello", -1);
    EXPECT_EQ(counted.getLen(), 5);
    EXPECT_EQ(counted.hash(), qor_binary_hasher.hash(counted.getData(), 5));
    // Copying goes through the virtual accessors of the source.
    struct Fixed : QORBuffer {
        const unsigned char* getData() const override
        {
            return reinterpret_cast<const unsigned char*>("xyz");
        }
        int getLen() const override { return 3; }
    } fixed;
    QORBuffer copy(fixed);
    EXPECT_EQ(copy.compare(reinterpret_cast<const unsigned char*>("xyz"), 3), 0);
}

TEST(QORBufferCursorTest, RollbackReturnsToTheLastCommit)
{
    const char text[] = "GET /x";
    QORBufferCursor c(text, 6);
    c.advance(3);
    c.commit();
    EXPECT_EQ(c.remaining(), 3);
    c.advance(2);
    EXPECT_EQ(c.sinceMark(), 2);
    EXPECT_EQ(c.peek(), 'x');
    EXPECT_EQ(c.peek(1), -1);
    c.rollback();
    EXPECT_EQ(c.current(), text + 3);
    EXPECT_EQ(c.remaining(), 3);
    c.advance(3);
    EXPECT_TRUE(c.atEnd());
}

TEST(QORBufferCursorDeathTest, AdvancingPastTheEndStopsTheProcess)
{
    EXPECT_DEATH(QORBufferCursor("ab", 2).advance(3), "Assertion failed at .*m_remaining >= 0");
}
