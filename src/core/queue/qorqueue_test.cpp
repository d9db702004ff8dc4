#include "core/queue/qorqueue.h"

#include <string>
#include <gtest/gtest.h>

namespace {

// The link at a non-zero offset, so that QOR_QUEUE_DATA has work to do.
struct Item {
    char value = '?';
    QORQueue byAge;
};

// The values from head to last, then from last to head.
std::string walk(QORQueue& q)
{
    std::string s;
    for (QORQueue* l = q.head(); l != q.sentinel(); l = l->next())
        s += QOR_QUEUE_DATA(l, Item, byAge)->value;
    s += '|';
    for (QORQueue* l = q.last(); l != q.sentinel(); l = l->prev())
        s += QOR_QUEUE_DATA(l, Item, byAge)->value;
    return s;
}

} // namespace

TEST(QORQueue, InsertsAtBothEndsAndRemovesFromAnyPlace)
{
    Item it[5];
    for (int i = 0; i < 5; i++)
        it[i].value = char('0' + i);
    QORQueue q;
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(walk(q), "|");
    q.insertTail(&it[2].byAge);
    q.insertTail(&it[3].byAge);
    q.insertHead(&it[1].byAge);
    q.insertHead(&it[0].byAge);
    it[3].byAge.insertAfter(&it[4].byAge);
    EXPECT_EQ(walk(q), "01234|43210");
    it[2].byAge.remove();
    EXPECT_TRUE(it[2].byAge.empty());
    it[2].byAge.remove();
    EXPECT_EQ(walk(q), "0134|4310");
    it[0].byAge.remove();
    it[4].byAge.remove();
    EXPECT_EQ(walk(q), "13|31");
    EXPECT_EQ(QOR_QUEUE_DATA(q.last(), Item, byAge), &it[3]);
    it[1].byAge.remove();
    it[3].byAge.remove();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(walk(q), "|");
}
