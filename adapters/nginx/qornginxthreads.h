// qornginxthreads.h: a worker process's own threads, for the work that may
// wait (questions to the authorization server, attaching to it), and the
// way back to its event loop.
//
// The hand-off costs at most one wake-up each way: a task goes straight
// to a sleeping thread, which a futex of its own wakes (two system calls
// in all, and the woken thread takes no lock); with none asleep it waits
// in the queue, which a busy thread empties before it sleeps. Finished
// tasks wake the event loop once per batch, through an eventfd of their
// own.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ngx_http_dxqor_module.h"

namespace qor_nginx {

// One piece of work; its owner keeps it alive until done has run.
struct QORNginxTask {
    void (*work)(QORNginxTask*) = nullptr;  // on one of the threads
    void (*done)(QORNginxTask*) = nullptr;  // then on the event loop
    void* data = nullptr;
    QORNginxTask* next = nullptr;
};

class QORNginxThreads {
public:
    QORNginxThreads() = default;
    ~QORNginxThreads() { stop(); }
    QORNginxThreads(const QORNginxThreads&) = delete;
    QORNginxThreads& operator=(const QORNginxThreads&) = delete;

    // n threads, and the eventfd on the cycle's event loop; false, with
    // the reason logged, when either cannot be made.
    bool start(ngx_cycle_t* cycle, unsigned n);
    // Queues task; false once stopped.
    bool post(QORNginxTask* task);
    // Joins the threads (a task running finishes first) and closes the
    // eventfd. Tasks not yet run or not yet back are dropped: they belong
    // to requests that go with the process.
    void stop();

private:
    // A thread's own wake-up word: asleep, handed a task, or told to stop.
    enum : int { sleeper_asleep, sleeper_task, sleeper_stop };
    struct Sleeper {
        std::atomic<int> state{sleeper_asleep};
        QORNginxTask* task = nullptr;  // set before state says so
        Sleeper* next = nullptr;       // on the stack, under m_lock
    };

    void run(Sleeper* self);
    static void wake(Sleeper* s, int state);
    void finish(QORNginxTask* task);
    static void onDoneEvent(ngx_event_t* ev);

    std::mutex m_lock;  // the queue, the sleepers' stack and m_stopping
    QORNginxTask* m_head = nullptr;
    QORNginxTask** m_tail = &m_head;
    Sleeper* m_sleeping = nullptr;
    bool m_stopping = false;
    std::vector<std::unique_ptr<Sleeper>> m_sleepers;
    std::vector<std::thread> m_threads;

    std::mutex m_doneLock;  // m_done and m_notified
    QORNginxTask* m_done = nullptr;
    QORNginxTask** m_doneTail = &m_done;
    bool m_notified = false;
    int m_fd = -1;
    ngx_connection_t* m_conn = nullptr;
};

} // namespace qor_nginx
