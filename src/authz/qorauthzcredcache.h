// qorauthzcredcache.h: QORAuthzCredentialCache, the names and passwords
// verified lately, so that a repeated Authorization header costs a keyed
// hash instead of a password hash. Entries are keyed by HMAC-SHA-256 of
// name and password under a key drawn at random when the cache is made:
// neither the password nor an unkeyed digest of it is kept. Only
// successes are stored. Thread-safe.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include "core/system/qorstatus.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

class QORAuthzCredentialCache {
public:
    static const int kDigestSize = 32;

    QORAuthzCredentialCache() = default;
    ~QORAuthzCredentialCache();
    QORAuthzCredentialCache(const QORAuthzCredentialCache&) = delete;
    QORAuthzCredentialCache& operator=(const QORAuthzCredentialCache&) = delete;

    // Draws the key; qor_s_system_call_failed when no random bytes can be
    // had (the cache then stays off).
    QORStatus initialize();
    // lifetime seconds (0: nothing is kept) and the most entries kept, the
    // oldest going first.
    void configure(int lifetime, size_t maxEntries);

    // Whether user and password were stored within the lifetime before now
    // (seconds on a monotonic clock).
    bool contains(const std::string& user, const std::string& password, int64_t now);
    void insert(const std::string& user, const std::string& password, int64_t now);
    // Forgets everything (after a reload: the users may have changed).
    void clear();
    size_t size();

    // A keyed digest of data under this cache's key, for logging secrets
    // without revealing them; empty when the cache has no key.
    std::string keyedDigest(const std::string& data) const;

private:
    bool digest(const std::string& user, const std::string& password, std::string* out) const;

    std::mutex m_lock;
    bool m_ready = false;
    // SHA-256 states after the key's inner and outer pads: each digest
    // starts from copies of them instead of hashing the key again.
    EVP_MD_CTX* m_inner = nullptr;
    EVP_MD_CTX* m_outer = nullptr;
    int m_lifetime = 0;
    size_t m_maxEntries = 0;
    // Digest to expiry; the order of insertion, for eviction.
    std::unordered_map<std::string, int64_t> m_entries;
    std::deque<std::pair<std::string, int64_t>> m_order;
};
