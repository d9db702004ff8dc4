// qorunprotresourcecacheclient.cpp: enabling, polling, version checks and
// the per-request lookup of the unprotected resource cache.
//
// Lock order: the client's lock is never held while the virtual-host list's
// lock or the cache's lock is taken; a lookup holds the list's read lock and
// takes the cache's read lock inside it (list, then cache), three read locks
// in all.
#include "urc/plugin/qorunprotresourcecacheclient.h"
#include <ctime>
#include "core/http/qorhttp.h"
#include "core/threads/qorthread.h"
#include "core/trace/qorlogstatus.h"
#include "msg/core/qorurcversionquestion.h"
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorserver.h"
#include "proxyif/framework/qoranswer.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

const char kComponent[] = "DXQor";
// The server could not send the cache for want of shared memory (XLTIC1155E).
const QORStatus kMsgCacheDisabled = QOR_MSG_ID(0x483);

} // namespace

bool qor_obj_get_parent(QORString& name)
{
    int length = name.length();
    const char* s = name.data();
    if (length < 2 || s[0] != '/')
        return false;
    for (int i = length - 2; i >= 0; i--) {
        if (s[i] == '/') {
            name.setLength(i == 0 ? 1 : i);
            return true;
        }
    }
    return false;
}

QORUnprotResourceCacheClient::QORUnprotResourceCacheClient(QORPluginVirtualHostList* vhosts,
                                                           QORLog* log,
                                                           QORProxyIFDispatcher* dispatcher)
    : m_vhostList(vhosts)
    , m_logger(log)
    , m_dispatcher(dispatcher)
{
    pthread_rwlock_init(&m_lock, nullptr);
}

QORUnprotResourceCacheClient::~QORUnprotResourceCacheClient()
{
    pthread_rwlock_destroy(&m_lock);
}

QORStatus QORUnprotResourceCacheClient::urcClientRLock() const
{
    qorthread_rwlock_rdlock(&m_lock);
    return qor_s_ok;
}

QORStatus QORUnprotResourceCacheClient::urcClientWLock() const
{
    qorthread_rwlock_wrlock(&m_lock);
    return qor_s_ok;
}

QORStatus QORUnprotResourceCacheClient::urcClientUnlock() const
{
    qorthread_rwlock_unlock(&m_lock);
    return qor_s_ok;
}

QORStatus QORUnprotResourceCacheClient::initialize(bool enabled, long pollInterval)
{
    setConfigParams(enabled, pollInterval);
    QORStatus st = updateCache(nullptr);
    if (st != qor_s_ok)
        shutdown();
    return st;
}

QORStatus QORUnprotResourceCacheClient::shutdown()
{
    return setConfigParams(false, -1);
}

QORStatus QORUnprotResourceCacheClient::setConfigParams(bool enabled, long pollInterval)
{
    urcClientWLock();
    m_enabled = enabled;
    m_pollInterval = pollInterval;
    m_lastPoll = -1;
    return urcClientUnlock();
}

bool QORUnprotResourceCacheClient::isEnabled() const
{
    urcClientRLock();
    bool enabled = m_enabled;
    urcClientUnlock();
    return enabled;
}

long QORUnprotResourceCacheClient::pollInterval() const
{
    urcClientRLock();
    long interval = m_pollInterval;
    urcClientUnlock();
    return interval;
}

long QORUnprotResourceCacheClient::lastPoll() const
{
    urcClientRLock();
    long last = m_lastPoll;
    urcClientUnlock();
    return last;
}

// REQUIRES: the client's lock, for writing.
void QORUnprotResourceCacheClient::resetPollTimer()
{
    time_t now = time(nullptr);
    if (now >= 0)
        m_lastPoll = static_cast<long>(now);
}

// REQUIRES: the client's lock. A clock that fails, or no poll yet, makes a
// poll due; otherwise one is due only once the interval has fully passed.
bool QORUnprotResourceCacheClient::checkPollTimer() const
{
    time_t now = time(nullptr);
    if (now < 0 || m_lastPoll < 0)
        return true;
    return static_cast<long long>(m_lastPoll) + m_pollInterval < static_cast<long long>(now);
}

QORStatus QORUnprotResourceCacheClient::updateCache(const QOREpochVersion* version)
{
    urcClientWLock();
    if (!m_enabled) {
        urcClientUnlock();
        return qor_s_ok;
    }
    // Restart the timer before fetching, so that the other threads whose
    // poll fell due at the same moment mostly see a fresh timer.
    resetPollTimer();
    urcClientUnlock();

    if (version != nullptr) {
        m_cache.readLock();
        bool same = m_cache.getVersion() == *version;
        m_cache.unlock();
        if (same)
            return qor_s_ok;
    }
    return retrieveCache();
}

QORStatus QORUnprotResourceCacheClient::retrieveCache()
{
    QORURCVersionQuestion question;
    m_cache.readLock();
    question.setVersion(&m_cache.getVersion());
    m_cache.unlock();

    // The answer replaces version and database under the cache's write lock
    // while it is read, so no cache lock may be held across the dispatch.
    QORURCVersionAnswerContext context = {&m_cache, m_logger};
    QORAnswer answer;
    QORStatus st = answer.ask(*m_dispatcher, question, &context, qor_msg_urc_version_answer,
                              m_logger, kComponent);
    if (st != qor_s_ok)
        return st;
    if (answer.type() == qor_msg_error &&
        static_cast<QORErrorMessage*>(answer.get())->getStatus() == qor_s_no_memory) {
        qor_log_status(m_logger, __FILE__, __LINE__, kComponent, kMsgCacheDisabled);
        return setConfigParams(false, -1);
    }
    return qor_s_ok;
}

QORStatus QORUnprotResourceCacheClient::lookupCache(QORRequest& request,
                                                    QORURCDecision* decision)
{
    urcClientRLock();
    if (!m_enabled) {
        urcClientUnlock();
        *decision = qor_urc_ask_server;
        return qor_s_ok;
    }
    if (checkPollTimer()) {
        urcClientUnlock();
        QORStatus st = updateCache(nullptr);
        if (st != qor_s_ok)
            return st;
        urcClientRLock();
        if (!m_enabled) {
            urcClientUnlock();
            *decision = qor_urc_ask_server;
            return qor_s_ok;
        }
    }
    urcClientUnlock();

    int security = 0;
    if (request.getSecurity(&security) != qor_s_ok)
        security = 0;
    QORStringRef id;
    if (request.m_server == nullptr || request.m_server->getVHostID(&id) != qor_s_ok)
        id = QORStringRef();
    QORPluginVirtualHostKey key;
    key.initialize(id, security != 0);

    QORStatus st = m_vhostList->readLock();
    if (st != qor_s_ok)
        return st;
    const QORPluginVirtualHost* host = m_vhostList->find(key);
    if (host == nullptr) {
        m_vhostList->unlock();
        *decision = qor_urc_ask_server;
        return qor_s_ok;
    }

    // One hold of the cache's lock from the size of the branch to the
    // decision, as the database may be replaced at any moment. Looking a
    // string up caches its hash in it: the host, shared by all request
    // threads, is only read, through a copy of its branch.
    QORString branch(host->getBranch());
    m_cache.readLock();
    int size = m_cache.size(&branch);
    if (size <= 0) {
        m_cache.unlock();
        m_vhostList->unlock();
        *decision = qor_urc_ask_server;
        if (size < 0)
            qor_log_status(m_logger, __FILE__, __LINE__, kComponent, qor_s_urc_no_db);
        return qor_s_ok;
    }

    QORString name;
    QORStringRef method;
    st = buildObjectName(request, *host, &name);
    if (st == qor_s_ok)
        st = request.getMethod(&method);
    if (st == qor_s_ok)
        st = doCacheLookup(name, method, *host, decision);
    else
        *decision = qor_urc_ask_server;
    m_cache.unlock();
    QORStatus unlockStatus = m_vhostList->unlock();
    return unlockStatus != qor_s_ok ? unlockStatus : st;
}

QORStatus QORUnprotResourceCacheClient::buildObjectName(QORRequest& request,
                                                        const QORPluginVirtualHost& host,
                                                        QORString* name)
{
    QORStringRef uri;
    if (request.getURI(&uri) != qor_s_ok)
        uri = QORStringRef();
    QORString path;
    QORStatus st = QORHTTP::processURI(!host.isCaseInsensitive(), host.isWin32Filesystem(),
                                       uri, &path);
    if (st != qor_s_ok)
        return st;
    if (!name->set(host.getBranch()) || !name->append(path))
        return qor_s_no_memory;
    return qor_s_ok;
}

// REQUIRES: the cache's read lock (lookupCache holds it).
QORStatus QORUnprotResourceCacheClient::doCacheLookup(QORString& name,
                                                      const QORStringRef& method,
                                                      const QORPluginVirtualHost& host,
                                                      QORURCDecision* decision)
{
    typedef QORUnprotResourceCacheBranchDBEntry Entry;
    *decision = qor_urc_ask_server;
    void* handle = nullptr;
    QORString branch(host.getBranch());  // not hashed in place, see lookupCache
    QORStatus st = m_cache.lookupStart(&branch, &handle);
    if (st != qor_s_ok)
        return st;

    // The nearest ancestor with an entry decides.
    const Entry* entry = nullptr;
    for (;;) {
        m_cache.lookupDB(handle, &name, &entry);
        if (entry != nullptr)
            break;
        if (!qor_obj_get_parent(name))
            return qor_s_ok;
    }

    if (entry->getPermType() == Entry::qor_urc_perm_type_all) {
        *decision = qor_urc_unprotected;
    } else if (entry->getPermType() == Entry::qor_urc_perm_type_some
               && entry->getPerms() != nullptr && host.getPermMap() != nullptr) {
        const QORActionGroupList* required = host.getPermMap()->getPerms(method);
        if (required != nullptr)
            evalPermSet(*entry->getPerms(), *required, decision);
    }
    return qor_s_ok;
}

QORStatus QORUnprotResourceCacheClient::evalPermSet(const QORActionGroupList& actions,
                                                    const QORActionGroupList& vHostActions,
                                                    QORURCDecision* decision)
{
    *decision = actions.resolveActionGroupList(vHostActions) ? qor_urc_unprotected
                                                            : qor_urc_ask_server;
    return qor_s_ok;
}
