#include "core/threads/qorthread.h"

#include <sys/time.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <gtest/gtest.h>

namespace {

// Cancels a thread delaying for an hour, at once or once it has had time to
// block; a join that times out means the cancel was lost or the private
// mutex was left locked by an earlier cancel.
void cancelInsideDelay(bool letItBlock)
{
    std::atomic<bool> started{false};
    auto delayForAnHour = [](void* started) -> void* {
        static_cast<std::atomic<bool>*>(started)->store(true);
        struct timespec hour = {3600, 0};
        qorthread_delay_np(&hour);
        return nullptr;
    };
    pthread_t thread;
    ASSERT_EQ(qorthread_create(&thread, nullptr, delayForAnHour, &started), 0);
    while (letItBlock && !started.load())
        usleep(1000);
    usleep(letItBlock ? 100000 : 0);
    ASSERT_EQ(pthread_cancel(thread), 0);
    struct timespec limit = {60, 0}, deadline;
    ASSERT_EQ(qorthread_get_expiration_np(&limit, &deadline), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_timedjoin_np(thread, &result, &deadline), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
}

} // namespace

// The interval is added to a now taken during the call.
TEST(QORThread, ExpirationAddsIntervalToNowWithCarry)
{
    auto nanos = [](time_t seconds, int64_t n) { return int64_t(seconds) * 1000000000 + n; };
    for (struct timespec in : {timespec{0, 0}, timespec{2, 999999999}, timespec{0, 1999999999}}) {
        struct timespec result = {-1, -1};
        struct timeval before, after;
        gettimeofday(&before, nullptr);
        ASSERT_EQ(qorthread_get_expiration_np(&in, &result), 0);
        gettimeofday(&after, nullptr);
        EXPECT_TRUE(result.tv_nsec >= 0 && result.tv_nsec < 1000000000);
        int64_t got = nanos(result.tv_sec, result.tv_nsec) - nanos(in.tv_sec, in.tv_nsec);
        EXPECT_GE(got, nanos(before.tv_sec, before.tv_usec * 1000)) << in.tv_nsec;
        EXPECT_LE(got, nanos(after.tv_sec, after.tv_usec * 1000)) << in.tv_nsec;
    }
    struct timespec ok = {1, 0}, negSec = {-1, 0}, negNsec = {0, -1}, r;
    EXPECT_EQ(qorthread_get_expiration_np(nullptr, &r), EINVAL);
    EXPECT_EQ(qorthread_get_expiration_np(&ok, nullptr), EINVAL);
    EXPECT_EQ(qorthread_get_expiration_np(&negSec, &r), EINVAL);
    EXPECT_EQ(qorthread_get_expiration_np(&negNsec, &r), EINVAL);
    EXPECT_EQ(qorthread_delay_np(&negSec), EINVAL);
}

TEST(QORThread, DelayReachesTheNextSecond)
{
    // time() reads a coarse clock that may lag the waits' clock by a tick,
    // so the end is checked on the precise one.
    time_t start = time(nullptr);
    EXPECT_EQ(qorthread_sleep_np(1), 0);
    struct timeval end;
    gettimeofday(&end, nullptr);
    EXPECT_GE(end.tv_sec, start + 1);
}

TEST(QORThread, CancelledDelayIsJoinedAndLeavesTheMutexFree)
{
    cancelInsideDelay(false);
    cancelInsideDelay(true);
    cancelInsideDelay(true);
    EXPECT_EQ(qorthread_sleep_np(0), 0);
}

TEST(QORThread, GuardsHoldTheirLocksForTheirScope)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    {
        QORMutexLock m(mutex);
        QORReadLock r(lock);
        EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);
        EXPECT_EQ(pthread_rwlock_trywrlock(&lock), EBUSY);
    }
    {
        QORWriteLock w(lock);
        EXPECT_EQ(pthread_rwlock_tryrdlock(&lock), EBUSY);
    }
    EXPECT_EQ(pthread_rwlock_trywrlock(&lock), 0);
}

TEST(QORThreadDeathTest, UnlockingAnUnlockedMutexAborts)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attributes);
    EXPECT_DEATH(qorthread_mutex_unlock(&mutex), "Assertion failed at .*pthread_mutex_unlock");
}
