// qorauthzthrottle.h: the slow-down of repeated login failures.
//
// QORAuthzFailureCounter counts failures per key over a window and says
// how long a key must wait before its next attempt; QORAuthzFailureTable is
// the counter kept in this process's memory (a shared store can implement
// the interface too). QORAuthzThrottle applies a counter to a login: one
// key for the user name and one for the client address, the longer wait of
// the two in force.
//
// Nothing here waits: an attempt whose wait is in force is answered at
// once (429 with Retry-After) without its password being checked, so that
// failing clients never hold a worker. Thread-safe.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

// Milliseconds on the monotonic clock.
int64_t qor_authz_monotonic_ms();

class QORAuthzFailureCounter {
public:
    // Milliseconds, monotonic; tests set their own.
    typedef std::function<int64_t()> Clock;

    struct Rule {
        int windowSeconds = 300;  // failures count this long after a key's first
        int delayAfter = 3;       // from this many failures on, each one
        int delayMs = 500;        //   makes the key wait this long (0: never)
        int limit = 10;           // from this many, the key waits until its
                                  //   window has passed (0: never)
    };

    explicit QORAuthzFailureCounter(Clock clock = qor_authz_monotonic_ms)
        : m_clock(std::move(clock))
    {
    }
    virtual ~QORAuthzFailureCounter() = default;
    QORAuthzFailureCounter(const QORAuthzFailureCounter&) = delete;
    QORAuthzFailureCounter& operator=(const QORAuthzFailureCounter&) = delete;

    // Set before the counter is shared between threads.
    void setClock(Clock clock) { m_clock = std::move(clock); }
    int64_t nowMs() const { return m_clock(); }

    // A new rule; counts already made stay.
    virtual void configure(const Rule& rule) = 0;
    // Counts one failed login of key now.
    virtual void recordFailure(const std::string& key) = 0;
    // Milliseconds from now until key may try again: 0 when no wait is in
    // force. *limited (when given) tells whether it is the limit's wait
    // rather than a slow-down's.
    virtual int64_t waitMs(const std::string& key, bool* limited = nullptr) = 0;
    // Forgets key's failures (after a successful login).
    virtual void clear(const std::string& key) = 0;

private:
    Clock m_clock;
};

// The counts in memory, at most maxKeys of them. When a new key finds the
// table full, an expired count goes first, then the count with the fewest
// consequences: one below the slow-down before one slowed down, one slowed
// down before one at the limit, and of equals the one whose last failure is
// oldest. A count in force is never dropped while one not in force is left.
class QORAuthzFailureTable : public QORAuthzFailureCounter {
public:
    static constexpr size_t kDefaultMaxKeys = 100000;

    explicit QORAuthzFailureTable(size_t maxKeys = kDefaultMaxKeys,
                                  Clock clock = qor_authz_monotonic_ms);

    void configure(const Rule& rule) override;
    void recordFailure(const std::string& key) override;
    int64_t waitMs(const std::string& key, bool* limited = nullptr) override;
    void clear(const std::string& key) override;

    size_t size();

private:
    // Below the slow-down, slowed down, at the limit.
    enum Tier { tierPlain, tierSlowed, tierLimit, kTiers };
    struct Count {
        int failures;
        int64_t windowStart;  // ms
        int64_t lastFailure;  // ms
        Tier tier;
        std::list<std::string>::iterator place;  // in m_order[tier]
    };
    typedef std::unordered_map<std::string, Count> Map;

    Tier tierOf(int failures) const;
    bool expired(const Count& c, int64_t now) const;
    // The count of key at now, or end() (an expired one is dropped).
    Map::iterator find(const std::string& key, int64_t now);
    void erase(Map::iterator it);
    // Makes room for one more key.
    void evictOne(int64_t now);

    const size_t m_maxKeys;
    std::mutex m_lock;
    Rule m_rule;
    Map m_counts;
    // Each tier's keys, the oldest last failure first.
    std::list<std::string> m_order[kTiers];
};

class QORAuthzThrottle {
public:
    // Counts in memory unless given a counter.
    QORAuthzThrottle();
    explicit QORAuthzThrottle(std::unique_ptr<QORAuthzFailureCounter> counter);

    // window seconds; delayAfter failures before each further one makes
    // the next attempt wait delayMs; from limit failures (0: no limit) the
    // wait lasts until the window has passed.
    void configure(int window, int delayAfter, int delayMs, int limit);

    struct Verdict {
        bool refused = false;  // answer at once, without checking the password
        int retryAfter = 0;    // seconds, at least 1 when refused
        bool limited = false;  // refused by the limit, not a slow-down
    };
    Verdict check(const std::string& user, const std::string& address);
    // A password found wrong.
    void failed(const std::string& user, const std::string& address);
    // A success forgets the user's and the address's failures.
    void succeeded(const std::string& user, const std::string& address);

    QORAuthzFailureCounter& counter() { return *m_counter; }

private:
    std::unique_ptr<QORAuthzFailureCounter> m_counter;
};
