// qordecisioncache.cpp: keeping the answers that let a request through,
// and applying them again.
#include "plugin/core/qordecisioncache.h"
#include <sys/random.h>
#include <time.h>
#include <cstring>
#include <new>
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qortransaction.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"

namespace {

typedef QORWebTransAnswerBase Cmd;

// What an entry costs besides its key and answer: the table's node and
// the entry's own fields, roughly.
const size_t kEntryOverhead = 128;

int64_t monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void appendPart(std::string& key, const QORStringRef& part)
{
    uint32_t n = static_cast<uint32_t>(part.length());
    key.append(reinterpret_cast<const char*>(&n), sizeof n);
    key.append(part.data(), static_cast<size_t>(part.length()));
}

// Every value of header name, each with its length, after a tag.
void hashHeader(QORSipHash& h, QORRequest& request, const char* name, uint8_t tag)
{
    h.add(&tag, 1);
    QORStringRef value;
    QORStatus st = request.getUTF8Header(QORStringRef(name), &value);
    for (; st == qor_s_ok; st = request.getNextUTF8Header(&value)) {
        uint32_t n = static_cast<uint32_t>(value.length());
        h.add(&n, sizeof n);
        h.add(value.data(), static_cast<size_t>(value.length()));
    }
}

// The plug-in's own rule, whatever the mark says: an answer that lets the
// request through and touches request headers and the log user only.
bool keepable(const QORDecodedAnswer& answer)
{
    return answer.getRspCode() == qor_continue
           && answer.carriesOnly({Cmd::qor_req_add_header, Cmd::qor_req_set_header,
                                  Cmd::qor_req_remove_header, Cmd::qor_req_set_web_log_user,
                                  Cmd::qor_rsp_urc_version});
}

} // namespace

QORDecisionCache::QORDecisionCache(Clock clock, unsigned int maxEntries, size_t maxBytes)
    : m_clock(clock != nullptr ? clock : monotonicSeconds)
    , m_maxEntries(maxEntries)
    , m_maxBytes(maxBytes)
{
    m_keyed = getrandom(m_hashKey, sizeof m_hashKey, 0) == static_cast<ssize_t>(sizeof m_hashKey);
}

QORDecisionCache::~QORDecisionCache() = default;

int64_t QORDecisionCache::now() const
{
    return m_clock();
}

void QORDecisionCache::setServerID(const char* serverID)
{
    QORSlotWriteGuard guard(m_lock);
    try {
        m_serverID = serverID != nullptr ? serverID : "";
    } catch (const std::bad_alloc&) {
        m_serverID.clear();  // no board: nothing is applied again
    }
}

void QORDecisionCache::configure(unsigned int lifetime)
{
    if (!m_keyed)
        lifetime = 0;
    QORSlotWriteGuard guard(m_lock);
    // The server makes its board before it answers; until a plug-in has it
    // no kept answer is applied.
    if (lifetime != 0 && !m_board.isOpen() && !m_serverID.empty())
        (void)m_board.open(m_serverID.c_str(), false);
    if (lifetime == m_lifetime)
        return;
    __atomic_store_n(&m_lifetime, lifetime, __ATOMIC_RELEASE);
    dropAll();
}

size_t QORDecisionCache::entries() const
{
    QORSlotReadGuard guard(m_lock);
    return m_entries.size();
}

std::string QORDecisionCache::keyOf(QORTransaction& trans) const
{
    QORRequest& request = *trans.m_request;
    QORStringRef id, method, uri, query;
    int security = 0;
    if (request.server() == nullptr || request.server()->getVHostID(&id) != qor_s_ok
        || request.getSecurity(&security) != qor_s_ok || request.getMethod(&method) != qor_s_ok
        || request.getURI(&uri) != qor_s_ok)
        return std::string();
    // A form POST is never kept; a path the web server may read otherwise
    // than it is spelt always goes to the server.
    if (method == QORStringRef("POST") || !qor_urc_plain_path(uri))
        return std::string();
    bool hasQuery = request.getQuery(&query) == qor_s_ok;

    QORSipHash h(m_hashKey);
    hashHeader(h, request, "Authorization", 1);
    hashHeader(h, request, "Cookie", 2);
    uint64_t secrets = h.finish();
    try {
        std::string key;
        key.reserve(static_cast<size_t>(id.length() + method.length() + uri.length()
                                        + query.length()) + 32);
        appendPart(key, id);
        key.push_back(security != 0 ? 's' : 'p');
        appendPart(key, method);
        appendPart(key, uri);
        key.push_back(hasQuery ? '?' : '-');
        appendPart(key, query);
        key.append(reinterpret_cast<const char*>(&secrets), sizeof secrets);
        return key;
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

std::shared_ptr<const QORDecisionCache::Entry> QORDecisionCache::find(const std::string& key) const
{
    int64_t t = now();
    QORSlotReadGuard guard(m_lock);
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second->expires <= t
        || it->second->generation != m_run.generation
        || !m_board.names(m_run.server, it->second->generation))
        return nullptr;
    return it->second;
}

bool QORDecisionCache::learn(const QORDecisionMark& mark)
{
    {
        QORSlotReadGuard guard(m_lock);
        if (m_haveRun && m_run.sameServer(mark) && mark.generation <= m_run.generation)
            return mark.generation == m_run.generation;
    }
    QORSlotWriteGuard guard(m_lock);
    if (!m_haveRun || !m_run.sameServer(mark) || mark.generation > m_run.generation) {
        // A server started again may have made its board anew.
        if (m_haveRun && !m_run.sameServer(mark) && !m_serverID.empty())
            (void)m_board.open(m_serverID.c_str(), false);
        dropAll();
        m_run = mark;
        m_haveRun = true;
    }
    return mark.generation == m_run.generation;
}

void QORDecisionCache::keep(const std::string& key, const QORDecisionMark& mark,
                            std::unique_ptr<unsigned char[]> bytes, unsigned int start,
                            unsigned int size)
{
    size_t cost = key.size() + size + kEntryOverhead;
    if (cost > m_maxBytes || m_maxEntries == 0)
        return;
    try {
        std::shared_ptr<Entry> entry(new Entry);
        entry->size = size;
        entry->bytes = std::move(bytes);
        // Decoded once here, so that a hit only carries the commands out;
        // the views point into the entry's own bytes.
        QORLocalSharedMem memory(entry->bytes.get(), size);
        QORSharedMemIterator it;
        if (it.initializeCopy(memory, start, size) != qor_s_ok
            || entry->answer.decode(it) != qor_s_ok || !keepable(entry->answer))
            return;
        int64_t t = now();
        QORSlotWriteGuard guard(m_lock);
        // The run may have moved on since the answer was read.
        if (m_lifetime == 0 || !m_haveRun || !m_run.sameServer(mark)
            || m_run.generation != mark.generation)
            return;
        entry->generation = mark.generation;
        entry->expires = t + (mark.lifetime < m_lifetime ? mark.lifetime : m_lifetime);
        auto old = m_entries.find(key);
        if (old != m_entries.end()) {
            m_bytes -= key.size() + old->second->size + kEntryOverhead;
            m_entries.erase(old);
        }
        if (m_entries.size() >= m_maxEntries || m_bytes + cost > m_maxBytes)
            dropExpired(t);
        if (m_entries.size() >= m_maxEntries || m_bytes + cost > m_maxBytes)
            dropAll();
        m_entries.emplace(key, std::move(entry));
        m_bytes += cost;
    } catch (const std::bad_alloc&) {
        // Not kept: the next request asks the server.
    }
}

void QORDecisionCache::dropAll()
{
    m_entries.clear();
    m_bytes = 0;
}

void QORDecisionCache::dropExpired(int64_t t)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second->expires <= t || it->second->generation != m_run.generation) {
            m_bytes -= it->first.size() + it->second->size + kEntryOverhead;
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

QORDecisionCache::Pass::Pass(QORDecisionCache& cache, QORTransaction& trans)
    : m_cache(cache)
    , m_trans(trans)
{
    if (cache.enabled())
        m_key = cache.keyOf(trans);
}

QORDecisionCache::Pass::~Pass()
{
    if (m_trans.m_decisionRecorder == this)
        m_trans.m_decisionRecorder = nullptr;
}

bool QORDecisionCache::Pass::hit()
{
    if (m_key.empty())
        return false;
    std::shared_ptr<const Entry> entry = m_cache.find(m_key);
    if (!entry)
        return false;
    qor_proxy_rsp_code_e code = qor_continue;
    if (entry->answer.apply(&m_trans, &code) == qor_s_ok) {
        (void)m_trans.setResult(code); // always 0
        return true;
    }
    // The failing step logged why; the web server's own 503 follows, as for
    // an answer that could not be applied.
    (void)m_trans.m_response->setCode(503);
    (void)m_trans.setResult(qor_send_default_rsp_to_client);
    (void)m_trans.m_response->finalizeHeader();
    (void)m_trans.m_response->finalizeBody();
    return true;
}

void QORDecisionCache::Pass::listen()
{
    m_seen = false;
    if (m_cache.enabled())
        m_trans.m_decisionRecorder = this;
}

void QORDecisionCache::Pass::markSeen(const QORStringRef& mark, const void* region,
                                      unsigned int start, unsigned int size)
{
    QORDecisionMark read;
    if (!read.parse(mark))
        return;
    m_mark = read;
    m_seen = true;
    m_region.reset();
    if (m_key.empty() || read.lifetime == 0 || region == nullptr)
        return;
    m_region.reset(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
    if (m_region)
        memcpy(m_region.get(), region, size);
    m_start = start;
    m_size = size;
}

void QORDecisionCache::Pass::answered()
{
    if (m_trans.m_decisionRecorder == this)
        m_trans.m_decisionRecorder = nullptr;
    if (!m_seen)
        return;
    m_seen = false;
    bool current = m_cache.learn(m_mark);
    if (!current || !m_region || m_trans.shouldRetry() || m_trans.m_request->bodyRequested()
        || m_trans.getResult() != qor_continue)
        return;
    m_cache.keep(m_key, m_mark, std::move(m_region), m_start, m_size);
}
