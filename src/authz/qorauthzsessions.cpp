// qorauthzsessions.cpp: the session store.
#include "authz/qorauthzsessions.h"
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include "authz/qorauthzhex.h"

QORStatus QORAuthzSessions::initialize()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return RAND_bytes(m_logKey, sizeof m_logKey) == 1 ? qor_s_ok : qor_s_system_call_failed;
}

void QORAuthzSessions::configure(int idle, int absolute, int maxSessions, int maxPerUser)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_idle = idle;
    m_absolute = absolute;
    m_max = static_cast<size_t>(maxSessions);
    m_maxPerUser = static_cast<size_t>(maxPerUser);
}

std::string QORAuthzSessions::keyOf(const std::string& id)
{
    // Fetched once: the implicit fetch of a one-shot digest costs more than
    // the digest of an identifier.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (sha256 == nullptr || EVP_Digest(id.data(), id.size(), md, &n, sha256, nullptr) != 1)
        return std::string();
    return std::string(reinterpret_cast<char*>(md), n);
}

void QORAuthzSessions::erase(Position p)
{
    auto u = m_perUser.find(p->user);
    if (u != m_perUser.end() && --u->second == 0)
        m_perUser.erase(u);
    m_byKey.erase(p->key);
    m_sessions.erase(p);
}

void QORAuthzSessions::enforceLimits(const std::string& user, int64_t now)
{
    // Sessions past their absolute lifetime are at the front.
    while (!m_sessions.empty() && now - m_sessions.front().created >= m_absolute)
        erase(m_sessions.begin());
    auto u = m_perUser.find(user);
    if (u != m_perUser.end() && u->second >= m_maxPerUser) {
        size_t excess = u->second - m_maxPerUser + 1;
        for (Position p = m_sessions.begin(); excess > 0 && p != m_sessions.end();) {
            Position next = std::next(p);
            if (p->user == user) {
                erase(p);
                --excess;
            }
            p = next;
        }
    }
    while (!m_sessions.empty() && m_sessions.size() >= m_max)
        erase(m_sessions.begin());
}

std::string QORAuthzSessions::create(const std::string& user, int64_t now)
{
    unsigned char bits[32];
    if (RAND_bytes(bits, sizeof bits) != 1)
        return std::string();
    std::string id = qor_authz_hex(bits, sizeof bits);
    OPENSSL_cleanse(bits, sizeof bits);
    std::string key = keyOf(id);
    if (key.empty())
        return std::string();
    std::lock_guard<std::mutex> guard(m_lock);
    enforceLimits(user, now);
    m_sessions.push_back(Session{key, id, user, now, now});
    m_byKey[key] = std::prev(m_sessions.end());
    m_perUser[user]++;
    return id;
}

bool QORAuthzSessions::find(const std::string& id, int64_t now, std::string* user)
{
    std::string key = keyOf(id);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byKey.find(key);
    if (it == m_byKey.end())
        return false;
    Session& s = *it->second;
    if (s.id.size() != id.size() || CRYPTO_memcmp(s.id.data(), id.data(), id.size()) != 0)
        return false;
    if (now - s.lastUsed >= m_idle || now - s.created >= m_absolute) {
        erase(it->second);
        return false;
    }
    s.lastUsed = now;
    *user = s.user;
    return true;
}

void QORAuthzSessions::remove(const std::string& id)
{
    std::string key = keyOf(id);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byKey.find(key);
    if (it != m_byKey.end())
        erase(it->second);
}

size_t QORAuthzSessions::size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sessions.size();
}

std::string QORAuthzSessions::logName(const std::string& id) const
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (HMAC(EVP_sha256(), m_logKey, sizeof m_logKey,
             reinterpret_cast<const unsigned char*>(id.data()), id.size(), md, &n) == nullptr)
        return std::string();
    return qor_authz_hex(md, 8);
}
