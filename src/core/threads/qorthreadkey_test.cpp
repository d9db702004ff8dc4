#include "core/threads/qorthreadkey.h"

#include <gtest/gtest.h>
#include <atomic>
#include <thread>

namespace {

std::atomic<int> g_destroyed{0};

void countDestroyed(void* p)
{
    if (p != nullptr)
        g_destroyed++;
}

} // namespace

TEST(QORThreadKeyTest, ValuesArePerThreadAndDestroyedWithTheThread)
{
    QORThreadKey key(countDestroyed);
    int mine = 1;
    ASSERT_TRUE(key.set(&mine));
    int theirs = 2;
    void* seenByOther = &theirs;
    std::thread t([&] {
        seenByOther = key.get();
        key.set(&theirs);
    });
    t.join();
    EXPECT_EQ(seenByOther, nullptr);
    EXPECT_EQ(g_destroyed.load(), 1);
    EXPECT_EQ(key.get(), &mine);
    // Removal hands back this thread's value and ends the key for good.
    EXPECT_EQ(key.remove(), &mine);
    EXPECT_FALSE(key.ready());
    EXPECT_FALSE(key.set(&mine));
    EXPECT_EQ(key.get(), nullptr);
    EXPECT_EQ(key.remove(), nullptr);
    // Removed before its first use, it stays unavailable too.
    QORThreadKey unused;
    EXPECT_EQ(unused.remove(), nullptr);
    EXPECT_FALSE(unused.ready());
}
