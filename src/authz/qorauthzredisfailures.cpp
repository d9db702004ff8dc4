// qorauthzredisfailures.cpp: failure counts in Redis.
#include "authz/qorauthzredisfailures.h"
#include <hiredis/hiredis.h>
#include "authz/qorauthzredis.h"

namespace {

// KEYS: the count, the wait marker; ARGV: the window and the slow-down's
// wait in ms, the failures from which it applies.
const char kRecord[] =
    "local n = redis.call('INCR', KEYS[1])\n"
    "if n == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[1]) end\n"
    "if tonumber(ARGV[2]) > 0 and n >= tonumber(ARGV[3]) then\n"
    "  redis.call('SET', KEYS[2], n, 'PX', ARGV[2])\n"
    "end\n"
    "return n\n";
// ARGV: the limit (0: none). { wait ms, 1 when it is the limit's }.
const char kWait[] =
    "local n = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "if tonumber(ARGV[1]) > 0 and n >= tonumber(ARGV[1]) then\n"
    "  return {redis.call('PTTL', KEYS[1]), 1}\n"
    "end\n"
    "return {redis.call('PTTL', KEYS[2]), 0}\n";

} // namespace

QORAuthzRedisFailureCounter::QORAuthzRedisFailureCounter() = default;

void QORAuthzRedisFailureCounter::setStore(std::shared_ptr<QORAuthzRedisStore> store)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_store = std::move(store);
}

std::shared_ptr<QORAuthzRedisStore> QORAuthzRedisFailureCounter::store(Rule* rule)
{
    std::lock_guard<std::mutex> guard(m_lock);
    *rule = m_rule;
    return m_store;
}

void QORAuthzRedisFailureCounter::configure(const Rule& rule)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_rule = rule;
    }
    m_local.configure(rule);
}

void QORAuthzRedisFailureCounter::recordFailure(const std::string& key)
{
    Rule rule;
    std::shared_ptr<QORAuthzRedisStore> s = store(&rule);
    redisReply* reply = nullptr;
    if (s)
        reply = s->command({"EVAL", kRecord, "2", s->prefixed("f:" + key),
                            s->prefixed("w:" + key),
                            std::to_string(static_cast<int64_t>(rule.windowSeconds) * 1000),
                            std::to_string(rule.delayMs), std::to_string(rule.delayAfter)});
    if (reply == nullptr || reply->type == REDIS_REPLY_ERROR)
        m_local.recordFailure(key);
    freeReplyObject(reply);
}

int64_t QORAuthzRedisFailureCounter::waitMs(const std::string& key, bool* limited)
{
    Rule rule;
    std::shared_ptr<QORAuthzRedisStore> s = store(&rule);
    redisReply* reply = nullptr;
    if (s)
        reply = s->command({"EVAL", kWait, "2", s->prefixed("f:" + key), s->prefixed("w:" + key),
                            std::to_string(rule.limit)});
    if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
        freeReplyObject(reply);
        return m_local.waitMs(key, limited);
    }
    // PTTL is negative for a key that is gone or never expires.
    int64_t wait = reply->element[0]->integer > 0 ? reply->element[0]->integer : 0;
    if (limited != nullptr)
        *limited = wait > 0 && reply->element[1]->integer == 1;
    freeReplyObject(reply);
    // Counts made here while Redis was down still apply.
    bool localLimited = false;
    int64_t local = m_local.waitMs(key, &localLimited);
    if (local > wait) {
        wait = local;
        if (limited != nullptr)
            *limited = localLimited;
    }
    return wait;
}

void QORAuthzRedisFailureCounter::clear(const std::string& key)
{
    Rule rule;
    std::shared_ptr<QORAuthzRedisStore> s = store(&rule);
    if (s)
        freeReplyObject(s->command({"DEL", s->prefixed("f:" + key), s->prefixed("w:" + key)}));
    m_local.clear(key);
}
