// qorauthzrediscache.h: QORAuthzRedisSessionCache, this server's bounded
// copy of the Redis sessions it has read, so that a session's repeated
// requests cost no round trip. Redis itself says when a copy is stale:
// the reads that fill it are tracked (client-side caching), their
// invalidations redirected to one subscriber connection of this cache,
// and that connection is read without blocking before every local
// answer. While it is down nothing is answered locally. Entries are keyed
// by the session's Redis key (the keyed hash, never the cookie) and hold
// the user and the absolute deadline. Used by QORAuthzRedisStore, which
// makes the connections and sends the commands. Thread-safe.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

struct redisContext;
struct redisReply;

class QORAuthzRedisSessionCache {
public:
    // link: a new connection subscribed to the invalidations, its client
    // ID in *id, or null. clockMs: a monotonic clock. prefix: the keys
    // that are sessions. capacity: the most entries kept, the oldest read
    // going first. retryMs: the first wait before linking again after a
    // failure (doubling to 30 s).
    QORAuthzRedisSessionCache(std::function<redisContext*(long long* id)> link,
                              std::function<int64_t()> clockMs, const std::string& prefix,
                              size_t capacity, int retryMs);
    ~QORAuthzRedisSessionCache();
    QORAuthzRedisSessionCache(const QORAuthzRedisSessionCache&) = delete;
    QORAuthzRedisSessionCache& operator=(const QORAuthzRedisSessionCache&) = delete;

    // What lookup found. Not a hit: with redirect 0 the cache cannot be
    // used now (read Redis as without it); otherwise read it with tracking
    // redirected there, renewing the idle lifetime when renew says so,
    // and hand the result to keep with this ticket.
    struct Lookup {
        bool hit = false;
        std::string user;
        int64_t deadline = 0;         // wall-clock seconds
        long long redirect = 0;
        uint64_t generation = 0;
        bool renew = true;
        int64_t atMs = 0;
    };
    // The session under key, which this server renews in Redis every
    // renewMs while it uses it.
    Lookup lookup(const std::string& key, int64_t renewMs);
    // The result of the read that lookup asked for: found with user and
    // deadline, or not. Kept only if no invalidation came since the
    // lookup.
    void keep(const std::string& key, const Lookup& ticket, bool found, const std::string& user,
              int64_t deadline);
    // This server ended the session under key, or every session of user.
    void erase(const std::string& key);
    void eraseUser(const std::string& user);

    // Entries kept, live or not.
    size_t size();
    // Whether the subscriber connection is up, as far as what it received
    // tells.
    bool linked();

private:
    struct Entry {
        bool live = false;            // user and deadline are Redis's, as far as we know
        std::string user;
        int64_t deadline = 0;
        // Kept past an invalidation: a session that this server renewed
        // lately is read again, not renewed again (a renewal invalidates
        // the copy it renews).
        int64_t renewedMs = kNever;
        std::list<std::string>::iterator order;
    };
    static constexpr int64_t kNever = INT64_MIN / 2;

    // REQUIRES m_lock. Reads what the subscriber received: false when it
    // is down (or was dropped now) or more is left than one call reads.
    bool drain();
    bool apply(const redisReply* message);
    void invalidate(const std::string& key);
    void drop(const char* why);
    void forget(std::unordered_map<std::string, Entry>::iterator it);
    void clear();

    std::function<redisContext*(long long*)> m_link;
    std::function<int64_t()> m_clockMs;
    const std::string m_prefix;
    const size_t m_capacity;
    const int m_retryMs;

    std::mutex m_lock;
    redisContext* m_subscriber = nullptr;
    long long m_id = 0;
    bool m_linking = false;
    int64_t m_retryAtMs = 0;
    int m_backoffMs = 0;
    // Raised by every invalidation, flush, local removal and change of the
    // link: a read that began under another value is not kept.
    uint64_t m_generation = 0;
    std::unordered_map<std::string, Entry> m_entries;
    std::list<std::string> m_order;   // keys, the oldest read first
};
