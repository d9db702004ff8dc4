// qorauthzconnectionpool.h: QORAuthzConnectionPool, the few connections to
// a directory or store server that the worker threads share. An idle one is
// reused; when none is idle and the pool is not full a new one is made, by
// one thread at a time. After a failed attempt the server counts as down:
// the next attempt waits a back-off that doubles (up to 30 s) and callers
// fail at once meanwhile, so an outage costs no thread more than one
// connection timeout. A connection found dead takes the idle ones with it
// (they went to the same server). Used by the LDAP directory and the Redis
// store. Thread-safe.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

template <class C>
class QORAuthzConnectionPool {
public:
    // connect: a new connection, or null when the server cannot be had;
    // close ends one. size connections at most; a caller waits timeoutMs at
    // most for one; retryMs is the first back-off.
    QORAuthzConnectionPool(std::function<C*()> connect, std::function<void(C*)> close, int size,
                           int timeoutMs, int retryMs)
        : m_connect(std::move(connect))
        , m_close(std::move(close))
        , m_size(size)
        , m_timeoutMs(timeoutMs)
        , m_retryMs(retryMs)
    {
    }
    ~QORAuthzConnectionPool()
    {
        for (C* c : m_idle)
            m_close(c);
    }
    QORAuthzConnectionPool(const QORAuthzConnectionPool&) = delete;
    QORAuthzConnectionPool& operator=(const QORAuthzConnectionPool&) = delete;

    // A connection, or null when none could be had (the server is down, or
    // every connection stayed in use for the timeout).
    C* acquire()
    {
        std::unique_lock<std::mutex> guard(m_lock);
        auto deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
        for (;;) {
            if (!m_idle.empty()) {
                C* c = m_idle.back();
                m_idle.pop_back();
                return c;
            }
            auto now = Clock::now();
            if (m_open < m_size && !m_connecting && now >= m_retryAt)
                break;
            // No connection in use that could come back: while the server
            // is known to be down, fail at once rather than wait for
            // another thread's attempt; otherwise (the first connections)
            // wait for it.
            int inUse = m_open - (m_connecting ? 1 : 0);
            bool down = m_backoffMs > 0;
            if ((inUse == 0 && (down || !m_connecting)) || now >= deadline)
                return nullptr;
            m_free.wait_until(guard, deadline);
        }
        m_connecting = true;
        ++m_open;
        ++m_attempts;
        guard.unlock();
        C* c = m_connect();
        guard.lock();
        m_connecting = false;
        if (c == nullptr) {
            --m_open;
            m_backoffMs = m_backoffMs == 0 ? m_retryMs : std::min(kMaxBackoffMs, m_backoffMs * 2);
            m_retryAt = Clock::now() + std::chrono::milliseconds(m_backoffMs);
        } else
            m_backoffMs = 0;
        m_free.notify_all();
        return c;
    }

    // Gives c back; one that failed is closed, with the idle ones.
    void release(C* c, bool healthy)
    {
        std::vector<C*> dead;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (healthy)
                m_idle.push_back(c);
            else {
                dead.swap(m_idle);
                dead.push_back(c);
                m_open -= static_cast<int>(dead.size());
            }
            m_free.notify_all();
        }
        for (C* d : dead)
            m_close(d);
    }

    // Connections tried so far, made or not.
    int connectAttempts()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_attempts;
    }

private:
    typedef std::chrono::steady_clock Clock;
    static constexpr int kMaxBackoffMs = 30000;

    std::function<C*()> m_connect;
    std::function<void(C*)> m_close;
    const int m_size;
    const int m_timeoutMs;
    const int m_retryMs;

    std::mutex m_lock;
    std::condition_variable m_free;
    std::vector<C*> m_idle;
    int m_open = 0;
    bool m_connecting = false;
    Clock::time_point m_retryAt;
    int m_backoffMs = 0;
    int m_attempts = 0;
};
