// qoranswerwait.h: QORAnswerWait, how a thread that has posted a question
// waits for its answer: asleep on the result semaphore at once, or first
// watching the worker's header for a while.
//
// Sleeping costs a wakeup, and waking a thread whose CPU has gone idle can
// cost far more than the answer itself (tens of microseconds in a virtual
// machine). Watching costs the CPU for as long as it lasts. So the process
// times both ways and its threads watch only while watching has been
// clearly faster, trying the other way now and then to notice when that
// changes (less often while the trials keep confirming the choice). A watch
// never lasts longer than a sleeping wait has been taking. A thread never
// watches when it may run on one CPU only (the server needs that CPU to
// answer), nor when another thread of the process, or another process, is
// already waiting or was lately (the server is busy, and watchers would take
// its CPUs). Single-threaded processes (Apache's prefork children) see each
// other only through the pool: the caller says whether other workers were
// taken when it took its own.
//
// The watch only decides when to go to the semaphore; the answer is still
// taken from it, so what a question receives does not depend on the way.
#pragma once
#include <cstdint>

class QORAnswerWait {
public:
    // Counts the calling thread among the process's waiters and chooses;
    // othersAsking: other questions were in flight, from any process.
    explicit QORAnswerWait(bool othersAsking = false);
    ~QORAnswerWait();
    QORAnswerWait(const QORAnswerWait&) = delete;
    QORAnswerWait& operator=(const QORAnswerWait&) = delete;

    // How long to watch before sleeping, in nanoseconds; 0 to sleep at once.
    uint32_t watchNs() const { return m_watchNs; }

    // Watches the result type and the result length that follows it until
    // either is nonzero (the server has written its answer) or watchNs()
    // has passed; whether it saw them change.
    bool watch(const volatile int32_t* resultType) const;

    // Records the wait just ended; an answer that did not come (a failure
    // or a time limit) teaches nothing.
    void finish(bool answered);

    // Whether any thread may watch (the default) or all sleep at once; for
    // comparing the two. Either way the process starts timing anew.
    static void setWatchAllowed(bool allowed);

    // The process's measured waits, in nanoseconds (0 until one was timed),
    // for tests and benchmarks.
    static uint32_t sleepingNs();
    static uint32_t watchingNs();

private:
    int64_t m_start;
    uint32_t m_watchNs = 0;
    bool m_timed = false;
    bool m_trial = false;  // the way not preferred, timed again
};
