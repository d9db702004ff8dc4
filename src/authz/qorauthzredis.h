// qorauthzredis.h: QORAuthzRedisStore, the session store shared by every
// server pointed at one Redis server (hiredis), so that a session begun on
// one web server is good on all of them and a logout ends it everywhere.
// A session is kept under the HMAC-SHA-256 of its identifier with a key
// the servers share (the key file), never under the identifier itself;
// Redis expires it after the idle lifetime (renewed on use), and its value
// holds the absolute deadline (wall clock: the servers' clocks must agree)
// and the user. Each user has a sorted set of their sessions, oldest
// first, for the per-user limit and "log out everywhere"; login tokens
// are kept the same way. Commands go over a small pool of connections
// (QORAuthzConnectionPool: one reconnect at a time, with back-off), each
// with a timeout. Sessions read lately are answered from a local copy
// that Redis invalidates (QORAuthzRedisSessionCache), unless the settings
// turn it off. Thread-safe.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "authz/qorauthzconnectionpool.h"
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"
#include "authz/qorauthzrediscache.h"

struct redisContext;
struct redisReply;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

class QORAuthzRedisStore : public QORAuthzSessionStore {
public:
    // Reads the key file and the password file; null with why when either
    // cannot be used. Connects to nothing yet.
    static std::shared_ptr<QORAuthzRedisStore> make(const QORAuthzRedisSettings& s,
                                                    std::string* why);
    ~QORAuthzRedisStore() override;
    QORAuthzRedisStore(const QORAuthzRedisStore&) = delete;
    QORAuthzRedisStore& operator=(const QORAuthzRedisStore&) = delete;

    // The whole-store limit is not kept here: Redis's own memory limit
    // bounds the store.
    void configure(int idle, int absolute, int maxSessions, int maxPerUser) override;
    QORStatus create(const std::string& user, int64_t now, std::string* id) override;
    QORStatus find(const std::string& id, int64_t now, std::string* user) override;
    QORStatus use(const std::string& id, int64_t now, std::string* user) override;
    QORStatus remove(const std::string& id) override;
    QORStatus removeUser(const std::string& user) override;
    QORStatus issueToken(int64_t now, std::string* token) override;
    QORStatus consumeToken(const std::string& token, int64_t now) override;

    // The wall clock of the absolute deadlines, in microseconds, and the
    // monotonic one of the local copy's renewals, in milliseconds; tests
    // set their own.
    void setClock(std::function<int64_t()> clock) { m_clock = std::move(clock); }
    void setSteadyClock(std::function<int64_t()> clockMs) { m_steadyMs = std::move(clockMs); }
    // The local copy; null when the settings turn it off.
    QORAuthzRedisSessionCache* localCache() { return m_cache.get(); }

    // One command (argv form, binary-safe) for the users of this server:
    // its reply (freed by the caller), or null when Redis cannot be
    // reached. prefixed gives key under the configured prefix.
    redisReply* command(const std::vector<std::string>& argv);
    redisReply* command(int argc, const char** argv, const size_t* lengths);
    std::string prefixed(const std::string& key) const { return m_settings.keyPrefix + key; }
    // Connections tried so far, made or not.
    int connectAttempts();

private:
    explicit QORAuthzRedisStore(const QORAuthzRedisSettings& s);
    // The key of a secret (a session or token identifier) under kind.
    std::string keyOf(const char* kind, const std::string& secret) const;
    std::string userKey(const std::string& user) const;
    // find, or use when renew.
    QORStatus fetch(const std::string& id, bool renew, std::string* user);
    // user is owner's while deadline is ahead; a session past it is removed.
    QORStatus live(const std::string& id, const std::string& owner, int64_t deadline,
                   std::string* user);
    // Several commands in one round trip: false when Redis cannot be
    // reached; otherwise every reply, in order, for the caller to free.
    struct Command {
        int argc;
        const char** argv;
        const size_t* lengths;
    };
    bool pipeline(const Command* commands, size_t n, redisReply** replies);
    redisContext* connect();
    // The local copy's subscriber connection.
    redisContext* subscribe(long long* id);

    QORAuthzRedisSettings m_settings;
    std::string m_key;
    std::string m_password;
    EVP_MAC_CTX* m_mac = nullptr;  // keyed with m_key; copied per digest
    std::function<int64_t()> m_clock;
    std::function<int64_t()> m_steadyMs;

    QORAuthzConnectionPool<redisContext> m_pool;
    std::unique_ptr<QORAuthzRedisSessionCache> m_cache;
    std::mutex m_lock;   // the settings below
    int m_idleLifetime = 900;
    int m_absolute = 28800;
    int m_maxPerUser = 10;
};
