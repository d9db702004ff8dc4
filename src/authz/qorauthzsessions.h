// qorauthzsessions.h: QORAuthzSessions, the session store kept in the
// server's memory only (a restart ends them all, and another server knows
// none of them): the form-login sessions and the login form's tokens. A
// session is 256 random bits, given to the browser as a cookie; the store
// keeps the SHA-256 of each identifier as its key and compares the
// presented identifier with the stored one in constant time. Sessions end
// after an idle lifetime and after an absolute lifetime; limits on sessions
// in all and per user evict the oldest first.
#pragma once
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include "authz/qorauthzdirectory.h"

// bytes (at most 32) random bytes in hexadecimal, or empty without random
// bytes.
std::string qor_authz_random_hex(size_t bytes);

class QORAuthzSessions : public QORAuthzSessionStore {
public:
    // Seconds a token stays good, and tokens kept at most.
    static const int kTokenLifetime = 3600;
    static const size_t kMaxTokens = 100000;

    // Sessions are kept when the settings change (a reload keeps them);
    // those over new limits go at the next creation.
    void configure(int idle, int absolute, int maxSessions, int maxPerUser) override;

    QORStatus create(const std::string& user, int64_t now, std::string* id) override;
    QORStatus find(const std::string& id, int64_t now, std::string* user) override;
    QORStatus use(const std::string& id, int64_t now, std::string* user) override;
    QORStatus remove(const std::string& id) override;
    QORStatus removeUser(const std::string& user) override;
    QORStatus issueToken(int64_t now, std::string* token) override;
    QORStatus consumeToken(const std::string& token, int64_t now) override;
    size_t size();

private:
    struct Session {
        std::string key;    // SHA-256 of the identifier
        std::string id;
        std::string user;
        int64_t created;
        int64_t lastUsed;
    };
    typedef std::list<Session>::iterator Position;

    static std::string keyOf(const std::string& id);
    // The live session of id, or end(); one past a lifetime is removed.
    Position live(const std::string& id, int64_t now);
    void erase(Position p);
    void enforceLimits(const std::string& user, int64_t now);

    std::mutex m_lock;
    int m_idle = 900;
    int m_absolute = 28800;
    size_t m_max = 10000;
    size_t m_maxPerUser = 10;
    // Oldest first.
    std::list<Session> m_sessions;
    std::unordered_map<std::string, Position> m_byKey;
    std::unordered_map<std::string, size_t> m_perUser;
    // Token to expiry; the order of issue, for eviction.
    std::unordered_map<std::string, int64_t> m_tokens;
    std::deque<std::string> m_tokenOrder;
};
