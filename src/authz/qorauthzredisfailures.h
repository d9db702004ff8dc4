// qorauthzredisfailures.h: QORAuthzRedisFailureCounter, the login
// slow-down's failure counts kept in the Redis server that holds the
// sessions, so that every server sharing it counts a client's failures
// once: counts kept per server would let an attacker multiply his tries by
// the number of web servers. Per key (a user name, a client address) a
// count made with INCR that expires with the window (PEXPIRE at its first
// failure), and a marker that expires when the slow-down's wait is over.
// Without a store, and while Redis cannot be reached, the counts are kept
// in this process's memory instead. Thread-safe.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include "authz/qorauthzthrottle.h"

class QORAuthzRedisStore;

class QORAuthzRedisFailureCounter : public QORAuthzFailureCounter {
public:
    QORAuthzRedisFailureCounter();

    // The store to count in from now on; null: this process's memory.
    void setStore(std::shared_ptr<QORAuthzRedisStore> store);

    void configure(const Rule& rule) override;
    void recordFailure(const std::string& key) override;
    int64_t waitMs(const std::string& key, bool* limited = nullptr) override;
    void clear(const std::string& key) override;

private:
    std::shared_ptr<QORAuthzRedisStore> store(Rule* rule);

    std::mutex m_lock;
    std::shared_ptr<QORAuthzRedisStore> m_store;
    Rule m_rule;
    QORAuthzFailureTable m_local;
};
