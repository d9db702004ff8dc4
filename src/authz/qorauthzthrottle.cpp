// qorauthzthrottle.cpp: failure counting.
#include "authz/qorauthzthrottle.h"
#include <time.h>
#include <algorithm>
#include <vector>

int64_t qor_authz_monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QORAuthzFailureTable::QORAuthzFailureTable(size_t maxKeys, Clock clock)
    : QORAuthzFailureCounter(std::move(clock))
    , m_maxKeys(std::max<size_t>(1, maxKeys))
{
}

void QORAuthzFailureTable::configure(const Rule& rule)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_rule = rule;
    // The tiers follow the new rule; each keeps the order of last failures.
    std::vector<std::pair<int64_t, std::string>> all;
    for (auto& e : m_counts)
        all.emplace_back(e.second.lastFailure, e.first);
    std::sort(all.begin(), all.end());
    for (auto& l : m_order)
        l.clear();
    for (auto& e : all) {
        Count& c = m_counts[e.second];
        c.tier = tierOf(c.failures);
        c.place = m_order[c.tier].insert(m_order[c.tier].end(), e.second);
    }
}

QORAuthzFailureTable::Tier QORAuthzFailureTable::tierOf(int failures) const
{
    if (m_rule.limit > 0 && failures >= m_rule.limit)
        return tierLimit;
    if (m_rule.delayMs > 0 && failures >= m_rule.delayAfter)
        return tierSlowed;
    return tierPlain;
}

bool QORAuthzFailureTable::expired(const Count& c, int64_t now) const
{
    return now - c.windowStart >= static_cast<int64_t>(m_rule.windowSeconds) * 1000;
}

QORAuthzFailureTable::Map::iterator QORAuthzFailureTable::find(const std::string& key,
                                                               int64_t now)
{
    auto it = m_counts.find(key);
    if (it != m_counts.end() && expired(it->second, now)) {
        erase(it);
        return m_counts.end();
    }
    return it;
}

void QORAuthzFailureTable::erase(Map::iterator it)
{
    m_order[it->second.tier].erase(it->second.place);
    m_counts.erase(it);
}

void QORAuthzFailureTable::evictOne(int64_t now)
{
    // The oldest of each tier may have expired; the first found goes.
    for (auto& l : m_order)
        if (!l.empty()) {
            auto it = m_counts.find(l.front());
            if (expired(it->second, now)) {
                erase(it);
                return;
            }
        }
    for (auto& l : m_order)
        if (!l.empty()) {
            erase(m_counts.find(l.front()));
            return;
        }
}

void QORAuthzFailureTable::recordFailure(const std::string& key)
{
    int64_t now = nowMs();
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = find(key, now);
    if (it == m_counts.end()) {
        if (m_counts.size() >= m_maxKeys)
            evictOne(now);
        it = m_counts.emplace(key, Count{0, now, now, tierPlain, {}}).first;
        it->second.place = m_order[tierPlain].insert(m_order[tierPlain].end(), key);
    }
    Count& c = it->second;
    c.failures++;
    c.lastFailure = now;
    Tier tier = tierOf(c.failures);
    m_order[tier].splice(m_order[tier].end(), m_order[c.tier], c.place);
    c.tier = tier;
}

int64_t QORAuthzFailureTable::waitMs(const std::string& key, bool* limited)
{
    int64_t now = nowMs();
    std::lock_guard<std::mutex> guard(m_lock);
    if (limited != nullptr)
        *limited = false;
    auto it = find(key, now);
    if (it == m_counts.end())
        return 0;
    const Count& c = it->second;
    int64_t wait = 0;
    if (c.tier == tierLimit) {
        wait = c.windowStart + static_cast<int64_t>(m_rule.windowSeconds) * 1000 - now;
        if (limited != nullptr)
            *limited = true;
    } else if (c.tier == tierSlowed)
        wait = c.lastFailure + m_rule.delayMs - now;
    return std::max<int64_t>(0, wait);
}

void QORAuthzFailureTable::clear(const std::string& key)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_counts.find(key);
    if (it != m_counts.end())
        erase(it);
}

size_t QORAuthzFailureTable::size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counts.size();
}

QORAuthzThrottle::QORAuthzThrottle()
    : m_counter(new QORAuthzFailureTable())
{
}

QORAuthzThrottle::QORAuthzThrottle(std::unique_ptr<QORAuthzFailureCounter> counter)
    : m_counter(std::move(counter))
{
}

void QORAuthzThrottle::configure(int window, int delayAfter, int delayMs, int limit)
{
    QORAuthzFailureCounter::Rule rule;
    rule.windowSeconds = window;
    rule.delayAfter = delayAfter;
    rule.delayMs = delayMs;
    rule.limit = limit;
    m_counter->configure(rule);
}

QORAuthzThrottle::Verdict QORAuthzThrottle::check(const std::string& user,
                                                  const std::string& address)
{
    Verdict v;
    int64_t wait = 0;
    for (const std::string& key : {"u:" + user, "a:" + address}) {
        bool limited = false;
        int64_t w = m_counter->waitMs(key, &limited);
        if (w > wait) {
            wait = w;
            v.limited = limited;
        }
    }
    if (wait > 0) {
        v.refused = true;
        v.retryAfter = static_cast<int>(std::max<int64_t>(1, (wait + 999) / 1000));
    }
    return v;
}

void QORAuthzThrottle::failed(const std::string& user, const std::string& address)
{
    m_counter->recordFailure("u:" + user);
    m_counter->recordFailure("a:" + address);
}

void QORAuthzThrottle::succeeded(const std::string& user, const std::string& address)
{
    m_counter->clear("u:" + user);
    m_counter->clear("a:" + address);
}
