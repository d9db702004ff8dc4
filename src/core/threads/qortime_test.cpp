// Tests of the coarse clock: readings are cached between refreshes, the
// refresh thread starts once, on the first reading, and destruction stops it
// at once.
#include "core/threads/qortime.h"

#include <unistd.h>
#include <chrono>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "qortestdir.h"
#include "qortestthreads.h"

TEST(QORTimeTest, FirstReadingIsExactThenHeldUntilRefresh)
{
    QORTime clock(3600);
    time_t before = QORTime::now();
    time_t first = clock.time();
    EXPECT_GE(first, before);
    EXPECT_LE(first, QORTime::now());
    sleep(2);
    EXPECT_GE(QORTime::now(), first + 2);
    EXPECT_EQ(first, clock.time());
}

TEST(QORTimeTest, RefreshFollowsTheSystemClock)
{
    QORTime clock(1);
    time_t first = clock.time();
    time_t seen = first;
    // Waits for the refresh (a cap of 30 s only bounds a failure); a
    // reading is never ahead of the system clock.
    bool ahead = false;
    EXPECT_TRUE(qor_test_wait_until([&] {
        seen = clock.time();
        ahead = ahead || seen > QORTime::now();
        return seen >= first + 2;
    }));
    EXPECT_FALSE(ahead);
}

TEST(QORTimeTest, ConcurrentFirstReadingsStartOneThreadAndDestructionStopsIt)
{
    int before = qor_test_settled_thread_count();
    ASSERT_GT(before, 0);
    QORTime* clock = new QORTime(3600);
    usleep(100000);
    EXPECT_EQ(before, qor_test_thread_count());   // nothing until read
    std::vector<std::thread> readers;
    std::vector<time_t> readings(8, 0);
    for (int i = 0; i < 8; i++)
        readers.emplace_back([clock, &readings, i] { readings[i] = clock->time(); });
    for (std::thread& t : readers)
        t.join();
    EXPECT_TRUE(qor_test_threads_reach(before + 1, 5));
    for (time_t t : readings)
        EXPECT_EQ(readings[0], t);
    // The refresh thread sleeps for an hour; destruction cancels it.
    auto started = std::chrono::steady_clock::now();
    delete clock;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(qor_test_threads_reach(before, 5));
}
