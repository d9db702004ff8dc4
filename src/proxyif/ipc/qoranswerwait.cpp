// qoranswerwait.cpp: the choice between watching and sleeping, per thread.
#include "proxyif/ipc/qoranswerwait.h"

#include <sched.h>
#include <time.h>

namespace {

// A watch never lasts longer than this, however slow a sleeping wait is:
// beyond it the wakeup is no longer what the wait costs.
const uint32_t kMaxWatchNs = 50 * 1000;
// Nor shorter than this, or it could not see even a quick answer.
const uint32_t kMinWatchNs = 2 * 1000;
// Every so many questions the way not preferred is timed again: at first
// every kFirstTrial, twice as far apart each time a trial changes nothing,
// up to kLastTrial.
const uint32_t kFirstTrial = 32;
const uint32_t kLastTrial = 1024;
// The CPUs the thread may run on are looked at again after this many
// questions: a thread can be moved or pinned while it runs.
const uint32_t kAffinityEvery = 256;
// Polls of the header between two looks at the clock.
const int kPollsPerClock = 16;
// After two threads of the process waited at once, this many waits must go
// by alone before a thread watches again: where threads share the server,
// the CPUs are the server's, and a lone waiter is only a lull between them.
const uint32_t kQuietWaits = 1024;

// Threads of the process between posting a question and taking its answer.
int s_waiters = 0;
bool s_watchAllowed = true;

// The process's recent waits, shared by its threads so that a new thread
// starts from what the others learnt. Updated without a lock: a lost update
// only delays what the averages show.
struct WaitTimes {
    uint32_t sleepingNs = 0;  // averages over recent waits, 0 until timed
    uint32_t watchingNs = 0;
    uint32_t sinceTrial = 0;
    uint32_t trialEvery = kFirstTrial;
    uint32_t quietLeft = 0;   // lone waits still to go since a crowd
};
WaitTimes s_times;

// Per thread: whether it may run on one CPU only, looked at again now and
// then.
struct ThreadPlace {
    uint32_t sinceAffinity = kAffinityEvery;
    bool oneCpu = false;
};
thread_local ThreadPlace t_place;

uint32_t load(const uint32_t& v)
{
    return __atomic_load_n(&v, __ATOMIC_RELAXED);
}

void store(uint32_t& v, uint32_t value)
{
    __atomic_store_n(&v, value, __ATOMIC_RELAXED);
}

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

bool mayRunOnOneCpuOnly()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return true;  // unknown: sleeping is never wrong
    return CPU_COUNT(&set) < 2;
}

// An average that follows recent waits: an eighth of each new one.
void average(uint32_t& avg, int64_t ns)
{
    uint32_t v = ns > 0xffffffffLL ? 0xffffffffu : (uint32_t)ns;
    if (v == 0)
        v = 1;
    uint32_t old = load(avg);
    store(avg, old == 0 ? v : old - old / 8 + v / 8);
}

// Watching is preferred only when clearly faster: by a quarter and a
// microsecond, so that a tie goes to sleeping, which spends no CPU.
bool watchingPays(uint32_t sleeping, uint32_t watching)
{
    return watching != 0 && sleeping != 0 &&
           (uint64_t)watching + watching / 4 + 1000 < sleeping;
}

} // namespace

QORAnswerWait::QORAnswerWait(bool othersAsking)
    : m_start(0)
{
    ThreadPlace& place = t_place;
    bool alone = __atomic_fetch_add(&s_waiters, 1, __ATOMIC_RELAXED) == 0 && !othersAsking;
    uint32_t quiet = load(s_times.quietLeft);
    if (!alone) {
        if (quiet != kQuietWaits)
            store(s_times.quietLeft, kQuietWaits);
    } else if (quiet != 0) {
        store(s_times.quietLeft, quiet - 1);
        alone = false;
    }
    if (++place.sinceAffinity >= kAffinityEvery) {
        place.sinceAffinity = 0;
        place.oneCpu = mayRunOnOneCpuOnly();
    }
    if (!alone || place.oneCpu || !__atomic_load_n(&s_watchAllowed, __ATOMIC_RELAXED))
        return;  // untimed: a busy server or one CPU is not what is compared
    uint32_t sleeping = load(s_times.sleepingNs);
    uint32_t watching = load(s_times.watchingNs);
    bool watch;
    if (sleeping == 0) {
        watch = false;
    } else if (watching == 0) {
        watch = true;
    } else if (__atomic_add_fetch(&s_times.sinceTrial, 1, __ATOMIC_RELAXED) >=
               load(s_times.trialEvery)) {
        store(s_times.sinceTrial, 0);
        m_trial = true;
        watch = !watchingPays(sleeping, watching);
    } else {
        watch = watchingPays(sleeping, watching);
    }
    if (watch) {
        uint32_t limit = sleeping < kMaxWatchNs ? sleeping : kMaxWatchNs;
        m_watchNs = limit < kMinWatchNs ? kMinWatchNs : limit;
    }
    m_timed = true;
    m_start = nowNs();
}

QORAnswerWait::~QORAnswerWait()
{
    __atomic_fetch_sub(&s_waiters, 1, __ATOMIC_RELAXED);
}

bool QORAnswerWait::watch(const volatile int32_t* resultType) const
{
    if (m_watchNs == 0)
        return false;
    int64_t until = m_start + m_watchNs;
    for (;;) {
        for (int i = 0; i < kPollsPerClock; i++) {
            if (resultType[0] != 0 || resultType[1] != 0)
                return true;
#if defined(__i386__) || defined(__x86_64__)
            __builtin_ia32_pause();
#endif
        }
        if (nowNs() >= until)
            return false;
    }
}

void QORAnswerWait::finish(bool answered)
{
    if (!m_timed || !answered)
        return;
    int64_t took = nowNs() - m_start;
    bool watchPaid = watchingPays(load(s_times.sleepingNs), load(s_times.watchingNs));
    average(m_watchNs != 0 ? s_times.watchingNs : s_times.sleepingNs, took);
    if (m_trial) {
        bool changed = watchingPays(load(s_times.sleepingNs), load(s_times.watchingNs)) != watchPaid;
        uint32_t every = load(s_times.trialEvery);
        store(s_times.trialEvery, changed ? kFirstTrial : every < kLastTrial ? every * 2 : every);
    }
}

void QORAnswerWait::setWatchAllowed(bool allowed)
{
    __atomic_store_n(&s_watchAllowed, allowed, __ATOMIC_RELAXED);
    store(s_times.sleepingNs, 0);
    store(s_times.watchingNs, 0);
    store(s_times.trialEvery, kFirstTrial);
    store(s_times.quietLeft, 0);
}

uint32_t QORAnswerWait::sleepingNs()
{
    return load(s_times.sleepingNs);
}

uint32_t QORAnswerWait::watchingNs()
{
    return load(s_times.watchingNs);
}
