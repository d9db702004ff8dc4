// qorauthzredis.cpp: the Redis session store.
#include "authz/qorauthzredis.h"
#include <hiredis/hiredis.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <time.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "authz/qorauthzhex.h"
#include "authz/qorauthzlog.h"
#include "authz/qorauthzsessions.h"

namespace {

// A new session's key and value; the user's set gets it, loses what has
// expired and then its oldest past the limit.
const char kCreate[] =
    "redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])\n"
    "redis.call('ZADD', KEYS[2], ARGV[3], KEYS[1])\n"
    "for _, k in ipairs(redis.call('ZRANGE', KEYS[2], 0, -1)) do\n"
    "  if redis.call('EXISTS', k) == 0 then redis.call('ZREM', KEYS[2], k) end\n"
    "end\n"
    "local excess = redis.call('ZCARD', KEYS[2]) - tonumber(ARGV[4])\n"
    "if excess > 0 then\n"
    "  for _, k in ipairs(redis.call('ZRANGE', KEYS[2], 0, excess - 1)) do\n"
    "    redis.call('DEL', k)\n"
    "    redis.call('ZREM', KEYS[2], k)\n"
    "  end\n"
    "end\n"
    "redis.call('EXPIRE', KEYS[2], ARGV[5])\n"
    "return 1\n";
// One session out of its user's set too (ARGV[1]: the users' key prefix).
const char kRemove[] =
    "local v = redis.call('GET', KEYS[1])\n"
    "redis.call('DEL', KEYS[1])\n"
    "if v then\n"
    "  local user = string.match(v, '^%d+ (.*)$')\n"
    "  if user then redis.call('ZREM', ARGV[1] .. user, KEYS[1]) end\n"
    "end\n"
    "return 1\n";
const char kRemoveUser[] =
    "for _, k in ipairs(redis.call('ZRANGE', KEYS[1], 0, -1)) do redis.call('DEL', k) end\n"
    "redis.call('DEL', KEYS[1])\n"
    "return 1\n";

int64_t wallMicroseconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t steadyMilliseconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct timeval timevalOf(int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

// Frees a reply when it goes.
struct Reply {
    redisReply* r;
    explicit Reply(redisReply* reply)
        : r(reply)
    {
    }
    ~Reply()
    {
        if (r != nullptr)
            freeReplyObject(r);
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    // A reply, and not an error reply.
    bool ok() const { return r != nullptr && r->type != REDIS_REPLY_ERROR; }
};

// The replies of a pipeline, freed when it goes.
struct Replies {
    redisReply* r[4] = {};
    Replies() = default;
    ~Replies()
    {
        for (redisReply* reply : r)
            if (reply != nullptr)
                freeReplyObject(reply);
    }
    Replies(const Replies&) = delete;
    Replies& operator=(const Replies&) = delete;
};

// A session's value, "DEADLINE USER": false for anything else.
bool parseSession(const redisReply* r, std::string* user, int64_t* deadline)
{
    if (r->type != REDIS_REPLY_STRING)
        return false;
    const char* space = static_cast<const char*>(memchr(r->str, ' ', r->len));
    if (space == nullptr || space == r->str)
        return false;
    char* end = nullptr;
    errno = 0;
    long long d = strtoll(r->str, &end, 10);
    if (end != space || errno != 0)
        return false;
    user->assign(space + 1, r->str + r->len - (space + 1));
    *deadline = d;
    return true;
}

// How often a session this server uses is renewed in Redis: often enough
// that an idle lifetime never runs out under a user who is active here.
int64_t renewIntervalMs(int idle)
{
    return std::min<int64_t>(idle * 1000LL / 16, 30000);
}

} // namespace

std::shared_ptr<QORAuthzRedisStore> QORAuthzRedisStore::make(const QORAuthzRedisSettings& s,
                                                             std::string* why)
{
    std::shared_ptr<QORAuthzRedisStore> store(new QORAuthzRedisStore(s));
    if (!qor_authz_read_secret(s.keyFile, &store->m_key, why)) {
        *why = s.keyFile + " " + *why;
        return nullptr;
    }
    if (!s.passwordFile.empty() && !qor_authz_read_secret(s.passwordFile, &store->m_password, why)) {
        *why = s.passwordFile + " " + *why;
        return nullptr;
    }
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    store->m_mac = hmac == nullptr ? nullptr : EVP_MAC_CTX_new(hmac);
    EVP_MAC_free(hmac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                           OSSL_PARAM_construct_end()};
    if (store->m_mac == nullptr
        || EVP_MAC_init(store->m_mac, reinterpret_cast<const unsigned char*>(store->m_key.data()),
                        store->m_key.size(), params) != 1) {
        *why = "no HMAC-SHA-256";
        return nullptr;
    }
    return store;
}

QORAuthzRedisStore::QORAuthzRedisStore(const QORAuthzRedisSettings& s)
    : m_settings(s)
    , m_clock(wallMicroseconds)
    , m_steadyMs(steadyMilliseconds)
    , m_pool([this] { return connect(); }, [](redisContext* c) { redisFree(c); }, s.poolSize,
             s.timeoutMs, s.retryMs)
{
    if (s.localCache)
        m_cache.reset(new QORAuthzRedisSessionCache(
            [this](long long* id) { return subscribe(id); }, [this] { return m_steadyMs(); },
            s.keyPrefix + "s:", static_cast<size_t>(s.localCacheSize), s.retryMs));
}

QORAuthzRedisStore::~QORAuthzRedisStore()
{
    EVP_MAC_CTX_free(m_mac);
}

void QORAuthzRedisStore::configure(int idle, int absolute, int, int maxPerUser)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_idleLifetime = idle;
    m_absolute = absolute;
    m_maxPerUser = maxPerUser;
}

std::string QORAuthzRedisStore::keyOf(const char* kind, const std::string& secret) const
{
    // A copy of the keyed context made once: a one-shot HMAC fetches the
    // algorithms and sets the key anew each time, at a cost of microseconds.
    unsigned char md[EVP_MAX_MD_SIZE];
    size_t n = 0;
    EVP_MAC_CTX* c = m_mac == nullptr ? nullptr : EVP_MAC_CTX_dup(m_mac);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(secret.data());
    bool ok = c != nullptr && EVP_MAC_update(c, bytes, secret.size()) == 1
              && EVP_MAC_final(c, md, &n, sizeof md) == 1;
    EVP_MAC_CTX_free(c);
    if (!ok)
        return std::string();
    return m_settings.keyPrefix + kind + qor_authz_hex(md, n);
}

std::string QORAuthzRedisStore::userKey(const std::string& user) const
{
    return prefixed("u:" + user);
}

redisContext* QORAuthzRedisStore::connect()
{
    const std::string& a = m_settings.address;
    struct timeval timeout = timevalOf(m_settings.timeoutMs);
    redisContext* c;
    if (!a.empty() && a[0] == '/')
        c = redisConnectUnixWithTimeout(a.c_str(), timeout);
    else {
        size_t colon = a.rfind(':');
        std::string host = colon == std::string::npos ? a : a.substr(0, colon);
        int port = colon == std::string::npos ? 6379 : atoi(a.c_str() + colon + 1);
        c = redisConnectWithTimeout(host.c_str(), port, timeout);
    }
    if (c == nullptr)
        return nullptr;
    bool ok = c->err == 0 && redisSetTimeout(c, timeout) == REDIS_OK;
    if (ok && !m_password.empty()) {
        Reply r(static_cast<redisReply*>(
            redisCommand(c, "AUTH %b", m_password.data(), m_password.size())));
        ok = r.ok();
        if (!ok && r.r != nullptr)
            qor_authz_log(dx_svc_c_sev_error, "Redis refuses the password of password-file");
    }
    if (ok && m_settings.database != 0) {
        Reply r(static_cast<redisReply*>(redisCommand(c, "SELECT %d", m_settings.database)));
        ok = r.ok();
    }
    if (!ok) {
        qor_authz_log(dx_svc_c_sev_warning, "Redis at " + a + ": " +
                                                (c->err != 0 ? c->errstr : "refused"));
        redisFree(c);
        return nullptr;
    }
    return c;
}

int QORAuthzRedisStore::connectAttempts()
{
    return m_pool.connectAttempts();
}

redisContext* QORAuthzRedisStore::subscribe(long long* id)
{
    redisContext* c = connect();
    if (c == nullptr)
        return nullptr;
    Reply me(static_cast<redisReply*>(redisCommand(c, "CLIENT ID")));
    bool ok = me.r != nullptr && me.r->type == REDIS_REPLY_INTEGER && me.r->integer > 0;
    if (ok) {
        Reply sub(static_cast<redisReply*>(redisCommand(c, "SUBSCRIBE __redis__:invalidate")));
        ok = sub.r != nullptr && sub.r->type == REDIS_REPLY_ARRAY && sub.r->elements == 3
             && sub.r->element[0]->type == REDIS_REPLY_STRING
             && strcmp(sub.r->element[0]->str, "subscribe") == 0;
    }
    if (!ok) {
        qor_authz_log(dx_svc_c_sev_warning, "Redis at " + m_settings.address
                                                + " gives no invalidations (Redis 6 or later "
                                                  "does): sessions are not kept locally");
        redisFree(c);
        return nullptr;
    }
    *id = me.r->integer;
    return c;
}

redisReply* QORAuthzRedisStore::command(const std::vector<std::string>& argv)
{
    std::vector<const char*> args;
    std::vector<size_t> lengths;
    for (auto& a : argv) {
        args.push_back(a.data());
        lengths.push_back(a.size());
    }
    return command(static_cast<int>(args.size()), args.data(), lengths.data());
}

redisReply* QORAuthzRedisStore::command(int argc, const char** argv, const size_t* lengths)
{
    Command c{argc, argv, lengths};
    redisReply* reply = nullptr;
    return pipeline(&c, 1, &reply) ? reply : nullptr;
}

bool QORAuthzRedisStore::pipeline(const Command* commands, size_t n, redisReply** replies)
{
    // A connection that died since its last use fails at once: one more
    // try on a new one.
    for (int attempt = 0; attempt < 2; attempt++) {
        redisContext* c = m_pool.acquire();
        if (c == nullptr)
            return false;
        bool healthy = true;
        for (size_t i = 0; i < n && healthy; i++)
            healthy = redisAppendCommandArgv(c, commands[i].argc, commands[i].argv,
                                             commands[i].lengths) == REDIS_OK;
        size_t got = 0;
        while (healthy && got < n) {
            void* reply = nullptr;
            healthy = redisGetReply(c, &reply) == REDIS_OK && reply != nullptr;
            if (healthy)
                replies[got++] = static_cast<redisReply*>(reply);
        }
        m_pool.release(c, healthy && c->err == 0);
        if (got == n)
            return true;
        for (size_t i = 0; i < got; i++) {
            freeReplyObject(replies[i]);
            replies[i] = nullptr;
        }
    }
    qor_authz_log(dx_svc_c_sev_error, "Redis at " + m_settings.address + " does not answer");
    return false;
}

QORStatus QORAuthzRedisStore::create(const std::string& user, int64_t, std::string* id)
{
    *id = qor_authz_random_hex(32);
    std::string key = id->empty() ? std::string() : keyOf("s:", *id);
    if (key.empty())
        return qor_s_system_call_failed;
    int idle, absolute, perUser;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        idle = m_idleLifetime;
        absolute = m_absolute;
        perUser = m_maxPerUser;
    }
    int64_t now = m_clock();
    std::string value = std::to_string(now / 1000000 + absolute) + " " + user;
    Reply r(command({"EVAL", kCreate, "2", key, userKey(user), value, std::to_string(idle),
                     std::to_string(now), std::to_string(perUser), std::to_string(absolute)}));
    return r.ok() ? qor_s_ok : qor_s_not_available;
}

QORStatus QORAuthzRedisStore::find(const std::string& id, int64_t, std::string* user)
{
    return fetch(id, false, user);
}

QORStatus QORAuthzRedisStore::use(const std::string& id, int64_t, std::string* user)
{
    return fetch(id, true, user);
}

QORStatus QORAuthzRedisStore::fetch(const std::string& id, bool renew, std::string* user)
{
    std::string key = keyOf("s:", id);
    if (key.empty())
        return qor_s_system_call_failed;
    int idle;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        idle = m_idleLifetime;
    }
    // find asks Redis each time: it comes before "log out everywhere" only.
    QORAuthzRedisSessionCache::Lookup local;  // redirect 0: no local copy
    if (renew && m_cache) {
        local = m_cache->lookup(key, renewIntervalMs(idle));
        if (local.hit)
            return live(id, local.user, local.deadline, user);
    }
    char seconds[16], redirect[24];
    size_t n = static_cast<size_t>(snprintf(seconds, sizeof seconds, "%d", idle));
    size_t r = static_cast<size_t>(snprintf(redirect, sizeof redirect, "%lld", local.redirect));
    // Without a local copy GETEX renews the idle lifetime in the same
    // round trip as the read. With one, the read must be a GET (Redis
    // tracks reads, and GETEX is a write to it), and the only one tracked
    // (OPTIN: no script's or failure count's reads), after the tracking of
    // this connection and the renewal when one is due.
    const char* getex[] = {"GETEX", key.data(), "EX", seconds};
    const size_t getexLengths[] = {5, key.size(), 2, n};
    const char* get[] = {"GET", key.data()};
    const size_t getLengths[] = {3, key.size()};
    const char* track[] = {"CLIENT", "TRACKING", "on", "REDIRECT", redirect, "OPTIN"};
    const size_t trackLengths[] = {6, 8, 2, 8, r, 5};
    const char* expire[] = {"EXPIRE", key.data(), seconds};
    const size_t expireLengths[] = {6, key.size(), n};
    const char* caching[] = {"CLIENT", "CACHING", "yes"};
    const size_t cachingLengths[] = {6, 7, 3};
    Command commands[4];
    size_t count = 0;
    if (local.redirect != 0) {
        commands[count++] = Command{6, track, trackLengths};
        if (local.renew)
            commands[count++] = Command{3, expire, expireLengths};
        commands[count++] = Command{3, caching, cachingLengths};
        commands[count++] = Command{2, get, getLengths};
    } else if (renew)
        commands[count++] = Command{4, getex, getexLengths};
    else
        commands[count++] = Command{2, get, getLengths};
    Replies replies;
    if (!pipeline(commands, count, replies.r))
        return qor_s_not_available;
    // A refused tracking only means the read is not kept (the subscriber
    // went meanwhile); any other error is an outage.
    bool tracked = local.redirect != 0;
    for (size_t i = 0; i < count; i++) {
        if (replies.r[i]->type != REDIS_REPLY_ERROR)
            continue;
        if (local.redirect == 0 || (i != 0 && i != count - 2))
            return qor_s_not_available;
        tracked = false;
    }
    const redisReply* value = replies.r[count - 1];
    std::string owner;
    int64_t deadline = 0;
    bool found = parseSession(value, &owner, &deadline);
    if (tracked)
        m_cache->keep(key, local, found, owner, deadline);
    if (value->type != REDIS_REPLY_STRING)
        return qor_s_not_found;
    if (!found) {
        (void)remove(id);  // not a session's value
        return qor_s_not_found;
    }
    return live(id, owner, deadline, user);
}

QORStatus QORAuthzRedisStore::live(const std::string& id, const std::string& owner,
                                   int64_t deadline, std::string* user)
{
    if (m_clock() / 1000000 >= deadline) {
        (void)remove(id);  // past its absolute lifetime; find says so either way
        return qor_s_not_found;
    }
    *user = owner;
    return qor_s_ok;
}

QORStatus QORAuthzRedisStore::remove(const std::string& id)
{
    std::string key = keyOf("s:", id);
    Reply r(command({"EVAL", kRemove, "1", key, m_settings.keyPrefix + "u:"}));
    // After Redis, so that a read racing the removal is not kept either.
    if (m_cache)
        m_cache->erase(key);
    return r.ok() ? qor_s_ok : qor_s_not_available;
}

QORStatus QORAuthzRedisStore::removeUser(const std::string& user)
{
    Reply r(command({"EVAL", kRemoveUser, "1", userKey(user)}));
    if (m_cache)
        m_cache->eraseUser(user);
    return r.ok() ? qor_s_ok : qor_s_not_available;
}

QORStatus QORAuthzRedisStore::issueToken(int64_t, std::string* token)
{
    *token = qor_authz_random_hex(16);
    if (token->empty())
        return qor_s_system_call_failed;
    Reply r(command({"SET", keyOf("t:", *token), "1", "EX",
                     std::to_string(QORAuthzSessions::kTokenLifetime)}));
    return r.ok() ? qor_s_ok : qor_s_not_available;
}

QORStatus QORAuthzRedisStore::consumeToken(const std::string& token, int64_t)
{
    // DEL answers 1 to one caller only: the token is good once.
    Reply r(command({"DEL", keyOf("t:", token)}));
    if (!r.ok())
        return qor_s_not_available;
    return r.r->type == REDIS_REPLY_INTEGER && r.r->integer == 1 ? qor_s_ok : qor_s_not_found;
}
