// qorthread.cpp: the POSIX thread wrappers.
#include "core/threads/qorthread.h"

#include <sys/time.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/system/qorassert.h"
#include "core/system/qorreport.h"
#include "core/system/qorsyserr.h"

namespace {

const long kNanosPerSecond = 1000000000L;
const int64_t kMaxTime = std::numeric_limits<time_t>::max();

// The private pair qorthread_delay_np waits on. Nothing signals the
// condition; the waits exist only for their timeout.
pthread_mutex_t g_delayMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_delayCond = PTHREAD_COND_INITIALIZER;

[[noreturn]] void lockFailed(const char* function, int rc)
{
    char text[128];
    char expression[192];
    snprintf(expression, sizeof expression, "%s: %s (%d)", function,
             qor_sys_strerror(rc, text, sizeof text), rc);
    qor_assert_fail(__FILE__, __LINE__, expression);
}

void unlockDelayMutex(void* mutex)
{
    qorthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

bool invalidInterval(const struct timespec* interval)
{
    return interval == nullptr || interval->tv_sec < 0 || interval->tv_nsec < 0;
}

} // namespace

extern "C" void qorthread_mutex_lock(pthread_mutex_t* mutex)
{
    int rc = pthread_mutex_lock(mutex);
    if (rc != 0)
        lockFailed("pthread_mutex_lock", rc);
}

extern "C" void qorthread_mutex_unlock(pthread_mutex_t* mutex)
{
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0)
        lockFailed("pthread_mutex_unlock", rc);
}

extern "C" void qorthread_rwlock_rdlock(pthread_rwlock_t* lock)
{
    int rc = pthread_rwlock_rdlock(lock);
    if (rc != 0)
        lockFailed("pthread_rwlock_rdlock", rc);
}

extern "C" void qorthread_rwlock_wrlock(pthread_rwlock_t* lock)
{
    int rc = pthread_rwlock_wrlock(lock);
    if (rc != 0)
        lockFailed("pthread_rwlock_wrlock", rc);
}

extern "C" void qorthread_rwlock_unlock(pthread_rwlock_t* lock)
{
    int rc = pthread_rwlock_unlock(lock);
    if (rc != 0)
        lockFailed("pthread_rwlock_unlock", rc);
}

extern "C" int qorthread_attr_init(pthread_attr_t* attributes)
{
    int rc = pthread_attr_init(attributes);
    if (rc != 0)
        return rc;
    rc = pthread_attr_setscope(attributes, PTHREAD_SCOPE_SYSTEM);
    if (rc == 0)
        rc = pthread_attr_setdetachstate(attributes, PTHREAD_CREATE_JOINABLE);
    if (rc != 0)
        pthread_attr_destroy(attributes);
    return rc;
}

extern "C" int qorthread_create_(const char* file, int line,
                                 pthread_t* thread,
                                 const pthread_attr_t* attributes,
                                 void* (*routine)(void*), void* argument)
{
    pthread_attr_t defaults;
    int rc = 0;
    if (attributes == nullptr) {
        rc = qorthread_attr_init(&defaults);
        if (rc == 0) {
            rc = pthread_create(thread, &defaults, routine, argument);
            pthread_attr_destroy(&defaults);
        }
    } else {
        rc = pthread_create(thread, attributes, routine, argument);
    }
    if (rc != 0) {
        char text[128];
        qor_report(file, line, qor_s_system_call_failed, "pthread_create",
                   qor_sys_strerror(rc, text, sizeof text), rc);
    }
    return rc;
}

extern "C" int qorthread_get_expiration_np(const struct timespec* interval,
                                           struct timespec* result)
{
    if (invalidInterval(interval) || result == nullptr)
        return EINVAL;
    struct timeval now;
    gettimeofday(&now, nullptr);
    // In 64 bits: on 32-bit x86 time_t and long overflow at 2^31.
    int64_t nanos = int64_t(now.tv_usec) * 1000 + interval->tv_nsec;
    int64_t seconds = int64_t(now.tv_sec) + interval->tv_sec +
                      nanos / kNanosPerSecond;
    nanos %= kNanosPerSecond;
    if (seconds > kMaxTime) {
        seconds = kMaxTime;
        nanos = kNanosPerSecond - 1;
    }
    result->tv_sec = time_t(seconds);
    result->tv_nsec = long(nanos);
    return 0;
}

extern "C" int qorthread_delay_np(const struct timespec* interval)
{
    if (invalidInterval(interval))
        return EINVAL;
    int64_t until = int64_t(time(nullptr)) + interval->tv_sec;
    struct timespec deadline;
    deadline.tv_sec = time_t(until > kMaxTime ? kMaxTime : until);
    deadline.tv_nsec = 0;

    int rc;
    qorthread_mutex_lock(&g_delayMutex);
    pthread_cleanup_push(unlockDelayMutex, &g_delayMutex);
    do {
        rc = pthread_cond_timedwait(&g_delayCond, &g_delayMutex, &deadline);
    } while (rc == 0);
    pthread_cleanup_pop(1);
    return rc == ETIMEDOUT ? 0 : rc;
}

extern "C" int qorthread_sleep_np(unsigned seconds)
{
    struct timespec interval;
    interval.tv_sec = time_t(seconds > kMaxTime ? kMaxTime : seconds);
    interval.tv_nsec = 0;
    return qorthread_delay_np(&interval);
}
