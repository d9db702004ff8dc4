// Tests of the coarse clock: readings are cached between refreshes, the
// refresh thread starts once, and destruction stops it at once.
#include "core/threads/qortime.h"

#include <unistd.h>
#include <chrono>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "qortestthreads.h"

namespace {

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

TEST(QORTimeTest, ConcurrentFirstReadingsStartOneThreadAndDestructionStopsIt)
{
    int before = qor_test_settled_thread_count();
    ASSERT_GT(before, 0);
    QORTime* clock = new QORTime(3600);
    std::vector<std::thread> readers;
    std::vector<time_t> readings(8, 0);
    for (int i = 0; i < 8; i++)
        readers.emplace_back([clock, &readings, i] { readings[i] = clock->time(); });
    for (std::thread& t : readers)
        t.join();
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    for (time_t t : readings)
        EXPECT_NE(0, t);
    // The refresh thread sleeps for an hour; destruction cancels it.
    auto started = std::chrono::steady_clock::now();
    delete clock;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(qor_test_threads_reach(before, 5));
}

TEST(QORTimeTest, UnreadClockStartsNoThread)
{
    int before = qor_test_settled_thread_count();
    QORTime clock(1);
    usleep(200000);
    EXPECT_EQ(before, qor_test_thread_count());
}
