// qorauthzrediscache.cpp: the local copy of Redis sessions and its
// invalidation link.
#include "authz/qorauthzrediscache.h"
#include <hiredis/hiredis.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include "authz/qorauthzlog.h"

namespace {

const char kChannel[] = "__redis__:invalidate";
const int kMaxBackoffMs = 30000;
// Reads per drain: a backlog larger than this is read by the next calls,
// and until then nothing is answered locally.
const int kDrainReads = 64;

bool isString(const redisReply* r, const char* text)
{
    return r != nullptr && r->type == REDIS_REPLY_STRING && r->len == strlen(text)
           && memcmp(r->str, text, r->len) == 0;
}

} // namespace

QORAuthzRedisSessionCache::QORAuthzRedisSessionCache(
    std::function<redisContext*(long long* id)> link, std::function<int64_t()> clockMs,
    const std::string& prefix, size_t capacity, int retryMs)
    : m_link(std::move(link))
    , m_clockMs(std::move(clockMs))
    , m_prefix(prefix)
    , m_capacity(std::max<size_t>(capacity, 1))
    , m_retryMs(retryMs)
{
}

QORAuthzRedisSessionCache::~QORAuthzRedisSessionCache()
{
    if (m_subscriber != nullptr)
        redisFree(m_subscriber);
}

QORAuthzRedisSessionCache::Lookup QORAuthzRedisSessionCache::lookup(const std::string& key,
                                                                    int64_t renewMs)
{
    Lookup l;
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_subscriber == nullptr && !m_linking && m_clockMs() >= m_retryAtMs) {
        // One thread links at a time; the others read Redis meanwhile.
        m_linking = true;
        guard.unlock();
        long long id = 0;
        redisContext* c = m_link(&id);
        guard.lock();
        m_linking = false;
        if (c == nullptr) {
            m_backoffMs = m_backoffMs == 0 ? m_retryMs : std::min(kMaxBackoffMs, m_backoffMs * 2);
            m_retryAtMs = m_clockMs() + m_backoffMs;
        } else {
            m_subscriber = c;
            m_id = id;
            m_backoffMs = 0;
            ++m_generation;
        }
    }
    l.atMs = m_clockMs();
    if (!drain())
        return l;
    l.redirect = m_id;
    l.generation = m_generation;
    auto it = m_entries.find(key);
    bool renewed = it != m_entries.end() && l.atMs - it->second.renewedMs < renewMs;
    if (renewed && it->second.live) {
        l.hit = true;
        l.user = it->second.user;
        l.deadline = it->second.deadline;
    }
    l.renew = !renewed;
    return l;
}

void QORAuthzRedisSessionCache::keep(const std::string& key, const Lookup& ticket, bool found,
                                     const std::string& user, int64_t deadline)
{
    std::lock_guard<std::mutex> guard(m_lock);
    bool current = drain() && ticket.generation == m_generation;
    auto it = m_entries.find(key);
    if (!found) {
        if (it != m_entries.end())
            forget(it);
        return;
    }
    if (m_subscriber == nullptr || (it == m_entries.end() && !current && !ticket.renew))
        return;
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_capacity)
            forget(m_entries.find(m_order.front()));
        m_order.push_back(key);
        it = m_entries.emplace(key, Entry()).first;
        it->second.order = std::prev(m_order.end());
    } else
        m_order.splice(m_order.end(), m_order, it->second.order);
    Entry& e = it->second;
    if (ticket.renew)
        e.renewedMs = ticket.atMs;
    if (current) {
        e.live = true;
        e.user = user;
        e.deadline = deadline;
    }
}

void QORAuthzRedisSessionCache::erase(const std::string& key)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_generation;
    auto it = m_entries.find(key);
    if (it != m_entries.end())
        forget(it);
}

void QORAuthzRedisSessionCache::eraseUser(const std::string& user)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_generation;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        auto next = std::next(it);
        if (it->second.user == user)
            forget(it);
        it = next;
    }
}

size_t QORAuthzRedisSessionCache::size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_entries.size();
}

bool QORAuthzRedisSessionCache::linked()
{
    std::lock_guard<std::mutex> guard(m_lock);
    (void)drain();
    return m_subscriber != nullptr;
}

bool QORAuthzRedisSessionCache::drain()
{
    if (m_subscriber == nullptr)
        return false;
    for (int reads = 0; reads <= kDrainReads; reads++) {
        for (;;) {
            void* reply = nullptr;
            if (redisReaderGetReply(m_subscriber->reader, &reply) != REDIS_OK) {
                drop("not the protocol");
                return false;
            }
            if (reply == nullptr)
                break;
            bool ok = apply(static_cast<redisReply*>(reply));
            freeReplyObject(reply);
            if (!ok) {
                drop("not an invalidation");
                return false;
            }
        }
        if (reads == kDrainReads)
            break;
        char buf[16384];
        ssize_t n = recv(m_subscriber->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            if (redisReaderFeed(m_subscriber->reader, buf, static_cast<size_t>(n)) != REDIS_OK) {
                drop("not the protocol");
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        drop(n == 0 ? "closed" : strerror(errno));
        return false;
    }
    return false;
}

bool QORAuthzRedisSessionCache::apply(const redisReply* m)
{
    // ["message", channel, [keys...]], or a null for "every key".
    if (m->type != REDIS_REPLY_ARRAY || m->elements != 3 || !isString(m->element[0], "message")
        || !isString(m->element[1], kChannel))
        return false;
    const redisReply* keys = m->element[2];
    if (keys->type == REDIS_REPLY_NIL) {
        ++m_generation;
        clear();
        return true;
    }
    if (keys->type != REDIS_REPLY_ARRAY)
        return false;
    for (size_t i = 0; i < keys->elements; i++) {
        const redisReply* k = keys->element[i];
        if (k->type != REDIS_REPLY_STRING)
            return false;
        invalidate(std::string(k->str, k->len));
    }
    return true;
}

void QORAuthzRedisSessionCache::invalidate(const std::string& key)
{
    // The failure counts are tracked too; their changes concern no session.
    if (key.compare(0, m_prefix.size(), m_prefix) != 0)
        return;
    ++m_generation;
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        it->second.live = false;
        it->second.user.clear();
    }
}

void QORAuthzRedisSessionCache::drop(const char* why)
{
    qor_authz_log(dx_svc_c_sev_warning,
                  std::string("the Redis invalidation link is lost (") + why
                      + "): sessions are read from Redis on every request until it is back");
    redisFree(m_subscriber);
    m_subscriber = nullptr;
    m_id = 0;
    ++m_generation;
    clear();
    m_backoffMs = m_retryMs;
    m_retryAtMs = m_clockMs() + m_backoffMs;
}

void QORAuthzRedisSessionCache::forget(std::unordered_map<std::string, Entry>::iterator it)
{
    m_order.erase(it->second.order);
    m_entries.erase(it);
}

void QORAuthzRedisSessionCache::clear()
{
    m_entries.clear();
    m_order.clear();
}
