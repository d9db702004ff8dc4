// qorauthzsessions.cpp: the session store.
#include "authz/qorauthzsessions.h"
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include "authz/qorauthzhex.h"

std::string qor_authz_random_hex(size_t bytes)
{
    unsigned char bits[32];
    if (bytes > sizeof bits || RAND_bytes(bits, static_cast<int>(bytes)) != 1)
        return std::string();
    std::string out = qor_authz_hex(bits, bytes);
    OPENSSL_cleanse(bits, sizeof bits);
    return out;
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

QORStatus QORAuthzSessions::create(const std::string& user, int64_t now, std::string* id)
{
    *id = qor_authz_random_hex(32);
    std::string key = id->empty() ? std::string() : keyOf(*id);
    if (key.empty())
        return qor_s_system_call_failed;
    std::lock_guard<std::mutex> guard(m_lock);
    enforceLimits(user, now);
    m_sessions.push_back(Session{key, *id, user, now, now});
    m_byKey[key] = std::prev(m_sessions.end());
    m_perUser[user]++;
    return qor_s_ok;
}

QORAuthzSessions::Position QORAuthzSessions::live(const std::string& id, int64_t now)
{
    auto it = m_byKey.find(keyOf(id));
    if (it == m_byKey.end())
        return m_sessions.end();
    Position p = it->second;
    if (p->id.size() != id.size() || CRYPTO_memcmp(p->id.data(), id.data(), id.size()) != 0)
        return m_sessions.end();
    if (now - p->lastUsed >= m_idle || now - p->created >= m_absolute) {
        erase(p);
        return m_sessions.end();
    }
    return p;
}

QORStatus QORAuthzSessions::find(const std::string& id, int64_t now, std::string* user)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Position p = live(id, now);
    if (p == m_sessions.end())
        return qor_s_not_found;
    *user = p->user;
    return qor_s_ok;
}

QORStatus QORAuthzSessions::use(const std::string& id, int64_t now, std::string* user)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Position p = live(id, now);
    if (p == m_sessions.end())
        return qor_s_not_found;
    p->lastUsed = now;
    *user = p->user;
    return qor_s_ok;
}

QORStatus QORAuthzSessions::remove(const std::string& id)
{
    std::string key = keyOf(id);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byKey.find(key);
    if (it != m_byKey.end())
        erase(it->second);
    return qor_s_ok;
}

QORStatus QORAuthzSessions::removeUser(const std::string& user)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (Position p = m_sessions.begin(); p != m_sessions.end();) {
        Position next = std::next(p);
        if (p->user == user)
            erase(p);
        p = next;
    }
    return qor_s_ok;
}

size_t QORAuthzSessions::size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sessions.size();
}

QORStatus QORAuthzSessions::issueToken(int64_t now, std::string* token)
{
    *token = qor_authz_random_hex(16);
    if (token->empty())
        return qor_s_system_call_failed;
    std::lock_guard<std::mutex> guard(m_lock);
    while (m_tokenOrder.size() >= kMaxTokens) {
        m_tokens.erase(m_tokenOrder.front());
        m_tokenOrder.pop_front();
    }
    m_tokens[*token] = now + kTokenLifetime;
    m_tokenOrder.push_back(*token);
    return qor_s_ok;
}

QORStatus QORAuthzSessions::consumeToken(const std::string& token, int64_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_tokens.find(token);
    if (it == m_tokens.end())
        return qor_s_not_found;
    bool good = now < it->second;
    // Used up; its place in the order list goes when it reaches the front.
    m_tokens.erase(it);
    return good ? qor_s_ok : qor_s_not_found;
}
