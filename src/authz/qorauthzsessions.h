// qorauthzsessions.h: QORAuthzSessions, the form-login sessions, in the
// server's memory only (a restart ends them all). A session is 256 random
// bits, given to the browser as a cookie; the store keeps the SHA-256 of
// each identifier as its key and compares the presented identifier with
// the stored one in constant time. Sessions end after an idle lifetime and
// after an absolute lifetime; limits on sessions in all and per user evict
// the oldest first. Identifiers are never logged: logName gives a keyed
// hash instead. Thread-safe.
#pragma once
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include "core/system/qorstatus.h"

class QORAuthzSessions {
public:
    // Draws the key of logName. qor_s_system_call_failed without random
    // bytes.
    QORStatus initialize();
    // Lifetimes in seconds and the limits. Sessions are kept (a reload
    // keeps them); those over the new limits go at the next creation.
    void configure(int idle, int absolute, int maxSessions, int maxPerUser);

    // A new session for user at now (seconds, monotonic): its identifier
    // (64 hexadecimal characters), or empty when no random bytes could be
    // had.
    std::string create(const std::string& user, int64_t now);
    // The user of the session id, which counts as used at now; false (the
    // session removed) when it is unknown or has expired.
    bool find(const std::string& id, int64_t now, std::string* user);
    void remove(const std::string& id);
    size_t size();

    // A keyed hash of id for the log (16 hexadecimal characters).
    std::string logName(const std::string& id) const;

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
    void erase(Position p);
    void enforceLimits(const std::string& user, int64_t now);

    std::mutex m_lock;
    unsigned char m_logKey[32] = {};
    int m_idle = 900;
    int m_absolute = 28800;
    size_t m_max = 10000;
    size_t m_maxPerUser = 10;
    // Oldest first.
    std::list<Session> m_sessions;
    std::unordered_map<std::string, Position> m_byKey;
    std::unordered_map<std::string, size_t> m_perUser;
};
