// qorauthzcredcache.cpp: the verified-credential cache.
#include "authz/qorauthzcredcache.h"
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include "authz/qorauthzhex.h"

namespace {

const int kBlockSize = 64;

struct ContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// A context a thread works in, kept for its life.
EVP_MD_CTX* scratch()
{
    thread_local std::unique_ptr<EVP_MD_CTX, ContextFree> ctx(EVP_MD_CTX_new());
    return ctx.get();
}

} // namespace

QORAuthzCredentialCache::~QORAuthzCredentialCache()
{
    EVP_MD_CTX_free(m_inner);
    EVP_MD_CTX_free(m_outer);
}

QORStatus QORAuthzCredentialCache::initialize()
{
    std::lock_guard<std::mutex> guard(m_lock);
    unsigned char key[kBlockSize] = {};
    if (m_ready || RAND_bytes(key, 32) != 1)
        return m_ready ? qor_s_ok : qor_s_system_call_failed;
    m_inner = EVP_MD_CTX_new();
    m_outer = EVP_MD_CTX_new();
    unsigned char pad[kBlockSize];
    bool ok = m_inner != nullptr && m_outer != nullptr;
    for (int i = 0; i < kBlockSize; i++)
        pad[i] = key[i] ^ 0x36;
    ok = ok && EVP_DigestInit_ex(m_inner, EVP_sha256(), nullptr) == 1
         && EVP_DigestUpdate(m_inner, pad, sizeof pad) == 1;
    for (int i = 0; i < kBlockSize; i++)
        pad[i] = key[i] ^ 0x5c;
    ok = ok && EVP_DigestInit_ex(m_outer, EVP_sha256(), nullptr) == 1
         && EVP_DigestUpdate(m_outer, pad, sizeof pad) == 1;
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(pad, sizeof pad);
    if (!ok)
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
    // HMAC-SHA-256 of the name's length, the name and the password (the
    // length first, so that no two pairs give the same input).
    EVP_MD_CTX* c = scratch();
    std::string length = std::to_string(user.size()) + ":";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    bool ok = c != nullptr && EVP_MD_CTX_copy_ex(c, m_inner) == 1
              && EVP_DigestUpdate(c, length.data(), length.size()) == 1
              && EVP_DigestUpdate(c, user.data(), user.size()) == 1
              && EVP_DigestUpdate(c, password.data(), password.size()) == 1
              && EVP_DigestFinal_ex(c, md, &n) == 1 && EVP_MD_CTX_copy_ex(c, m_outer) == 1
              && EVP_DigestUpdate(c, md, n) == 1 && EVP_DigestFinal_ex(c, md, &n) == 1;
    if (ok)
        out->assign(reinterpret_cast<char*>(md), n);
    return ok;
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
    return qor_authz_hex(md.data(), std::min<size_t>(8, md.size()));
}
