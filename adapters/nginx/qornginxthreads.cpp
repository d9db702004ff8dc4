// qornginxthreads.cpp: the worker's threads and the eventfd back.
#include "qornginxthreads.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qornginxguard.h"

namespace qor_nginx {

bool QORNginxThreads::start(ngx_cycle_t* cycle, unsigned n)
{
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd == -1) {
        ngx_log_error(NGX_LOG_EMERG, cycle->log, ngx_errno, "dxqor: eventfd() failed");
        return false;
    }
    m_conn = ngx_get_connection(m_fd, cycle->log);
    if (m_conn == nullptr) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    m_conn->data = this;
    m_conn->read->handler = onDoneEvent;
    m_conn->read->log = cycle->log;
    if (ngx_handle_read_event(m_conn->read, 0) != NGX_OK) {
        stop();
        return false;
    }

    // The threads take no signal: nginx's event loop handles them all.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool made = qor_ngx_try(cycle->log, "starting the threads", [&] {
        for (unsigned i = 0; i < n; ++i) {
            m_sleepers.emplace_back(new Sleeper());
            Sleeper* s = m_sleepers.back().get();
            m_threads.emplace_back([this, s] { run(s); });
        }
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!made)
        stop();
    return made;
}

bool QORNginxThreads::post(QORNginxTask* task)
{
    Sleeper* s;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stopping || m_threads.empty())
            return false;
        task->next = nullptr;
        s = m_sleeping;
        if (s != nullptr) {
            m_sleeping = s->next;
        } else {
            *m_tail = task;
            m_tail = &task->next;
        }
    }
    // Off the stack, the sleeper is ours to hand the task to.
    if (s != nullptr) {
        s->task = task;
        wake(s, sleeper_task);
    }
    return true;
}

void QORNginxThreads::wake(Sleeper* s, int state)
{
    s->state.store(state, std::memory_order_release);
    (void)syscall(SYS_futex, reinterpret_cast<int*>(&s->state), FUTEX_WAKE_PRIVATE, 1,
                  nullptr, nullptr, 0);
}

void QORNginxThreads::run(Sleeper* self)
{
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "a futex is an int");
    // A thread woken by an answer does not preempt what runs (the event
    // loop, or the authorization server's thread on its way to sleep):
    // it runs when that sleeps, a switch saved per hand-off. Not fatal.
    struct sched_param batch = {};
    (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    for (;;) {
        QORNginxTask* task = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stopping)
                return;
            task = m_head;
            if (task != nullptr) {
                m_head = task->next;
                if (m_head == nullptr)
                    m_tail = &m_head;
            } else {
                self->state.store(sleeper_asleep, std::memory_order_relaxed);
                self->next = m_sleeping;
                m_sleeping = self;
            }
        }
        if (task == nullptr) {
            int state;
            // Returns at once when the word has already moved on.
            while ((state = self->state.load(std::memory_order_acquire)) == sleeper_asleep)
                (void)syscall(SYS_futex, reinterpret_cast<int*>(&self->state),
                              FUTEX_WAIT_PRIVATE, sleeper_asleep, nullptr, nullptr, 0);
            if (state == sleeper_stop)
                return;
            task = self->task;
        }
        task->work(task);
        finish(task);
    }
}

void QORNginxThreads::finish(QORNginxTask* task)
{
    bool notify;
    {
        std::lock_guard<std::mutex> guard(m_doneLock);
        task->next = nullptr;
        *m_doneTail = task;
        m_doneTail = &task->next;
        notify = !m_notified;
        m_notified = true;
    }
    if (!notify)
        return;  // the event loop has been woken and not yet taken the list
    uint64_t one = 1;
    while (write(m_fd, &one, sizeof one) == -1 && errno == EINTR) {
    }
}

void QORNginxThreads::onDoneEvent(ngx_event_t* ev)
{
    ngx_connection_t* c = static_cast<ngx_connection_t*>(ev->data);
    QORNginxThreads* self = static_cast<QORNginxThreads*>(c->data);
    // Read before the list is taken: a task finished after the read
    // writes again.
    uint64_t count;
    while (read(self->m_fd, &count, sizeof count) == -1 && errno == EINTR) {
    }
    QORNginxTask* task;
    {
        std::lock_guard<std::mutex> guard(self->m_doneLock);
        task = self->m_done;
        self->m_done = nullptr;
        self->m_doneTail = &self->m_done;
        self->m_notified = false;
    }
    while (task != nullptr) {
        QORNginxTask* next = task->next;
        task->done(task);
        task = next;
    }
}

void QORNginxThreads::stop()
{
    Sleeper* sleeping;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        sleeping = m_sleeping;
        m_sleeping = nullptr;
    }
    // The others are running a task and see m_stopping next.
    while (sleeping != nullptr) {
        Sleeper* next = sleeping->next;
        wake(sleeping, sleeper_stop);
        sleeping = next;
    }
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    m_sleepers.clear();
    if (m_conn != nullptr) {
        ngx_close_connection(m_conn);  // closes m_fd
        m_conn = nullptr;
        m_fd = -1;
    } else if (m_fd != -1) {
        close(m_fd);
        m_fd = -1;
    }
}

} // namespace qor_nginx
