// qornginxthreads.cpp: the worker's threads and the eventfd back.
#include "qornginxthreads.h"

#include <signal.h>
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
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_stopping || m_threads.empty())
        return false;
    task->next = nullptr;
    *m_tail = task;
    m_tail = &task->next;
    Sleeper* s = m_sleeping;
    if (s != nullptr) {
        m_sleeping = s->next;
        s->woken = true;
    }
    guard.unlock();
    // Signalled unlocked, so that the woken thread does not sleep again
    // on the lock we hold.
    if (s != nullptr)
        s->cond.notify_one();
    return true;
}

void QORNginxThreads::run(Sleeper* self)
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        while (m_head == nullptr && !m_stopping) {
            self->woken = false;
            self->next = m_sleeping;
            m_sleeping = self;
            // Whoever sets woken has taken us off the stack.
            while (!self->woken && !m_stopping)
                self->cond.wait(guard);
        }
        if (m_stopping)
            return;
        QORNginxTask* task = m_head;
        m_head = task->next;
        if (m_head == nullptr)
            m_tail = &m_head;
        guard.unlock();
        task->work(task);
        finish(task);
        guard.lock();
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
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    for (std::unique_ptr<Sleeper>& s : m_sleepers)
        s->cond.notify_one();
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
