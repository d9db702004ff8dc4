// qorauthzthrottle.cpp: failure counting.
#include "authz/qorauthzthrottle.h"
#include <algorithm>

namespace {

// Counts kept at most; past it the expired ones are dropped, then all.
const size_t kMaxCounts = 100000;

} // namespace

void QORAuthzThrottle::configure(int window, int delayAfter, int delayMs, int limit)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_window = window;
    m_delayAfter = delayAfter;
    m_delayMs = delayMs;
    m_limit = limit;
}

QORAuthzThrottle::Count* QORAuthzThrottle::find(const std::string& key, int64_t now)
{
    auto it = m_counts.find(key);
    if (it == m_counts.end())
        return nullptr;
    if (now - it->second.windowStart >= m_window) {
        m_counts.erase(it);
        return nullptr;
    }
    return &it->second;
}

QORAuthzThrottle::Verdict QORAuthzThrottle::check(const std::string& user,
                                                  const std::string& address, int64_t now,
                                                  int* delayMs, int* retryAfter)
{
    std::lock_guard<std::mutex> guard(m_lock);
    int failures = 0;
    int64_t start = now;
    for (const std::string& key : {"u:" + user, "a:" + address}) {
        Count* c = find(key, now);
        if (c != nullptr && c->failures > failures) {
            failures = c->failures;
            start = c->windowStart;
        }
    }
    if (m_limit > 0 && failures >= m_limit) {
        *retryAfter = static_cast<int>(std::max<int64_t>(1, start + m_window - now));
        return refuse;
    }
    if (failures >= m_delayAfter && m_delayMs > 0) {
        *delayMs = m_delayMs;
        return slow;
    }
    return go;
}

void QORAuthzThrottle::bump(const std::string& key, int64_t now)
{
    Count* c = find(key, now);
    if (c != nullptr) {
        c->failures++;
        return;
    }
    if (m_counts.size() >= kMaxCounts) {
        for (auto it = m_counts.begin(); it != m_counts.end();)
            it = now - it->second.windowStart >= m_window ? m_counts.erase(it) : std::next(it);
        if (m_counts.size() >= kMaxCounts)
            m_counts.clear();
    }
    m_counts[key] = Count{1, now};
}

void QORAuthzThrottle::failed(const std::string& user, const std::string& address, int64_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    bump("u:" + user, now);
    bump("a:" + address, now);
}

void QORAuthzThrottle::succeeded(const std::string& user, const std::string& address)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_counts.erase("u:" + user);
    m_counts.erase("a:" + address);
}
