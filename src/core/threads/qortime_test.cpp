// Tests of the coarse clock: readings are cached between refreshes, the
// refresh thread starts once, and destruction stops it at once.
#include "core/threads/qortime.h"

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

namespace {

// The number of threads of this process, from /proc.
int threadCount()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    int count = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "Threads:", 8) == 0)
            count = atoi(line + 8);
    fclose(f);
    return count;
}

// Sleeps until the wall-clock second changes, so that a test starts early in
// a second.
void alignToSecond()
{
    time_t start = time(nullptr);
    while (time(nullptr) == start)
        usleep(10000);
}

} // namespace

TEST(QORTimeTest, FirstReadingIsExactThenHeldUntilRefresh)
{
    alignToSecond();
    QORTime clock(3600);
    time_t before = QORTime::now();
    time_t first = clock.time();
    EXPECT_GE(first, before);
    EXPECT_LE(first, QORTime::now());
    // Two seconds later the clock still shows the first reading.
    sleep(2);
    EXPECT_GE(QORTime::now(), first + 2);
    EXPECT_EQ(first, clock.time());
    EXPECT_EQ(3600, clock.interval());
}

TEST(QORTimeTest, RefreshFollowsTheSystemClock)
{
    QORTime clock(1);
    time_t first = clock.time();
    // The thread refreshes every second; within five seconds the reading
    // must have moved on and never run ahead of the system clock.
    time_t seen = first;
    for (int i = 0; i < 50 && seen < first + 2; i++) {
        usleep(100000);
        seen = clock.time();
        ASSERT_LE(seen, QORTime::now());
    }
    EXPECT_GE(seen, first + 2);
}

TEST(QORTimeTest, IntervalBelowOneCountsAsOne)
{
    EXPECT_EQ(1, QORTime(0).interval());
    EXPECT_EQ(1, QORTime(-5).interval());
}

TEST(QORTimeTest, ConcurrentFirstReadingsStartOneThreadAndDestructionStopsIt)
{
    int before = threadCount();
    ASSERT_GT(before, 0);
    auto started = std::chrono::steady_clock::now();
    {
        QORTime clock(3600);
        std::vector<std::thread> readers;
        std::vector<time_t> readings(8, 0);
        for (int i = 0; i < 8; i++)
            readers.emplace_back([&clock, &readings, i] { readings[i] = clock.time(); });
        for (std::thread& t : readers)
            t.join();
        EXPECT_EQ(before + 1, threadCount());
        for (time_t t : readings)
            EXPECT_NE(0, t);
    }
    // The refresh thread sleeps for an hour; destruction cancels it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(before, threadCount());
}

TEST(QORTimeTest, UnreadClockStartsNoThread)
{
    int before = threadCount();
    {
        QORTime clock(1);
        EXPECT_EQ(before, threadCount());
    }
    EXPECT_EQ(before, threadCount());
}
