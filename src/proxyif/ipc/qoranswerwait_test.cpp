#include "proxyif/ipc/qoranswerwait.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <thread>
#include <time.h>

namespace {

bool severalCpus()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
}

// Sleeping is timed first, then watching; a watch sees a written answer at
// once and gives up on an unwritten one within its limit.
TEST(QORAnswerWaitTest, LearnsBothWaysAndWatchesTheResultFields)
{
    if (!severalCpus())
        GTEST_SKIP() << "this thread may run on one CPU only";
    QORAnswerWait::setWatchAllowed(true);
    int32_t header[2] = {0, 0};
    {
        QORAnswerWait first;
        EXPECT_EQ(first.watchNs(), 0u);
        first.finish(true);
    }
    ASSERT_GT(QORAnswerWait::sleepingNs(), 0u);
    EXPECT_EQ(QORAnswerWait::watchingNs(), 0u);
    {
        QORAnswerWait second;
        ASSERT_GE(second.watchNs(), 2000u);
        ASSERT_LE(second.watchNs(), 50000u);
        EXPECT_FALSE(second.watch(header));
        header[1] = 12;  // a length alone is an answer too
        EXPECT_TRUE(second.watch(header));
        second.finish(true);
    }
    EXPECT_GT(QORAnswerWait::watchingNs(), 0u);
    // An answer that never came teaches nothing.
    uint32_t watching = QORAnswerWait::watchingNs();
    for (int i = 0; i < 40; i++) {
        QORAnswerWait w;
        w.finish(false);
    }
    EXPECT_EQ(QORAnswerWait::watchingNs(), watching);
}

// A slow sleeping wait, then a quick watching one: watching pays.
void learnThatWatchingPays()
{
    QORAnswerWait::setWatchAllowed(true);
    {
        // A slow sleeping wait, then a quick watching one.
        QORAnswerWait slow;
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        do
            clock_gettime(CLOCK_MONOTONIC, &now);
        while ((now.tv_sec - start.tv_sec) * 1000000000L + now.tv_nsec - start.tv_nsec < 200000);
        slow.finish(true);
    }
    QORAnswerWait().finish(true);
}

// Rows: what stops a thread from watching while watching pays.
TEST(QORAnswerWaitTest, NeverWatchesBesideAnotherWaiterOrOnOneCpu)
{
    if (!severalCpus())
        GTEST_SKIP() << "this thread may run on one CPU only";
    learnThatWatchingPays();
    EXPECT_NE(QORAnswerWait().watchNs(), 0u) << "alone";
    {
        QORAnswerWait holder;
        for (int i = 0; i < 40; i++)
            EXPECT_EQ(QORAnswerWait().watchNs(), 0u) << "beside another waiter";
    }
    EXPECT_EQ(QORAnswerWait().watchNs(), 0u) << "just after another waiter";
    std::thread pinned([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        for (int i = 0; i < 40; i++)
            EXPECT_EQ(QORAnswerWait().watchNs(), 0u) << "on one CPU";
    });
    pinned.join();
    QORAnswerWait::setWatchAllowed(false);
    EXPECT_EQ(QORAnswerWait().watchNs(), 0u) << "not allowed";
    // Another process's question in flight counts as another waiter.
    learnThatWatchingPays();
    EXPECT_NE(QORAnswerWait().watchNs(), 0u) << "alone again";
    EXPECT_EQ(QORAnswerWait(true).watchNs(), 0u) << "beside another process's question";
    QORAnswerWait::setWatchAllowed(true);
}

} // namespace
