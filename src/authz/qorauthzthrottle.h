// qorauthzthrottle.h: QORAuthzThrottle, the slow-down of repeated login
// failures. Failures are counted per user name and per client address over
// a window; past a first limit each attempt waits, past a second it is
// refused (429) until the window has passed. Thread-safe.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class QORAuthzThrottle {
public:
    enum Verdict { go, slow, refuse };

    // window seconds; delayAfter failures before attempts wait delayMs; more
    // than limit failures (0: no limit) are refused.
    void configure(int window, int delayAfter, int delayMs, int limit);

    // What the failures so far say of an attempt at now (seconds, monotonic).
    // slow sets *delayMs; refuse sets *retryAfter (seconds).
    Verdict check(const std::string& user, const std::string& address, int64_t now, int* delayMs,
                  int* retryAfter);
    void failed(const std::string& user, const std::string& address, int64_t now);
    // A success forgets the user's and the address's failures.
    void succeeded(const std::string& user, const std::string& address);

private:
    struct Count {
        int failures;
        int64_t windowStart;
    };
    // The count of key at now, restarted when its window has passed.
    Count* find(const std::string& key, int64_t now);
    void bump(const std::string& key, int64_t now);

    std::mutex m_lock;
    int m_window = 300;
    int m_delayAfter = 3;
    int m_delayMs = 500;
    int m_limit = 10;
    std::unordered_map<std::string, Count> m_counts;
};
