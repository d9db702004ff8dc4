// qorauthzcredcache.cpp: the verified-credential cache.
#include "authz/qorauthzcredcache.h"
#include <openssl/hmac.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

QORStatus QORAuthzCredentialCache::initialize()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (RAND_bytes(m_key, sizeof m_key) != 1)
        return qor_s_system_call_failed;
    m_ready = true;
    return qor_s_ok;
}

void QORAuthzCredentialCache::configure(int lifetime, size_t maxEntries)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lifetime = lifetime;
    m_maxEntries = maxEntries;
    m_entries.clear();
    m_order.clear();
}

bool QORAuthzCredentialCache::digest(const std::string& user, const std::string& password,
                                     std::string* out) const
{
    // The name's length first, so that no two pairs give the same input.
    std::string data = std::to_string(user.size()) + ":" + user + password;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (HMAC(EVP_sha256(), m_key, sizeof m_key, reinterpret_cast<const unsigned char*>(data.data()),
             data.size(), md, &n) == nullptr)
        return false;
    out->assign(reinterpret_cast<char*>(md), n);
    return true;
}

bool QORAuthzCredentialCache::contains(const std::string& user, const std::string& password,
                                       int64_t now)
{
    std::string key;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_ready || m_lifetime <= 0 || m_entries.empty())
            return false;
    }
    if (!digest(user, password, &key))
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_entries.find(key);
    return it != m_entries.end() && now < it->second;
}

void QORAuthzCredentialCache::insert(const std::string& user, const std::string& password,
                                     int64_t now)
{
    std::string key;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_ready || m_lifetime <= 0 || m_maxEntries == 0)
            return;
    }
    if (!digest(user, password, &key))
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    int64_t expiry = now + m_lifetime;
    m_entries[key] = expiry;
    m_order.emplace_back(key, expiry);
    // Drop expired and surplus entries, oldest first. An order record whose
    // expiry no longer matches belongs to an entry stored again since.
    while (!m_order.empty() && (m_entries.size() > m_maxEntries || m_order.front().second <= now
                                || m_order.size() > 2 * m_maxEntries)) {
        auto it = m_entries.find(m_order.front().first);
        if (it != m_entries.end() && it->second == m_order.front().second)
            m_entries.erase(it);
        m_order.pop_front();
    }
}

void QORAuthzCredentialCache::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries.clear();
    m_order.clear();
}

size_t QORAuthzCredentialCache::size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_entries.size();
}

std::string QORAuthzCredentialCache::keyedDigest(const std::string& data) const
{
    std::string md;
    if (!m_ready || !digest("", data, &md))
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < 8 && i < md.size(); i++) {
        hex.push_back(kHex[static_cast<unsigned char>(md[i]) >> 4]);
        hex.push_back(kHex[static_cast<unsigned char>(md[i]) & 15]);
    }
    return hex;
}
