// qorunprotresourcecacheclient.cpp: enabling, polling, version checks and
// the per-request lookup of the unprotected resource cache.
//
// Lock order: list, client, cache. A lookup holds the virtual-host list's
// read lock throughout, and inside it first the client's and then the
// cache's, each once; the client's lock is never held while another is
// taken.
#include "urc/plugin/qorunprotresourcecacheclient.h"
#include <ctime>
#include "core/http/qorhttp.h"
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
}

QORUnprotResourceCacheClient::~QORUnprotResourceCacheClient() = default;

bool qor_urc_plain_path(const QORStringRef& path)
{
    const char* p = path.data();
    size_t n = path.length() > 0 ? (size_t)path.length() : 0;
    size_t segment = 0;  // start of the current segment
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || p[i] == '/') {
            size_t len = i - segment;
            if ((len == 1 && p[segment] == '.') ||
                (len == 2 && p[segment] == '.' && p[segment + 1] == '.'))
                return false;
            segment = i + 1;
            continue;
        }
        unsigned char c = (unsigned char)p[i];
        if (c < 0x20 || c == 0x7f || c == '%' || c == ';' || c == '\\')
            return false;
    }
    return true;
}

QORStatus QORUnprotResourceCacheClient::initialize(bool enabled, long pollInterval)
{
    QORStatus st = setConfigParams(enabled, pollInterval);
    if (st == qor_s_ok)
        st = updateCache(nullptr);
    if (st != qor_s_ok)
        (void)shutdown(); // the first failure is the one reported
    return st;
}

QORStatus QORUnprotResourceCacheClient::shutdown()
{
    return setConfigParams(false, -1);
}

QORStatus QORUnprotResourceCacheClient::setConfigParams(bool enabled, long pollInterval)
{
    QORSlotWriteGuard guard(m_lock);
    m_enabled = enabled;
    m_pollInterval = pollInterval;
    m_lastPoll = -1;
    return qor_s_ok;
}

bool QORUnprotResourceCacheClient::isEnabled() const
{
    QORSlotReadGuard guard(m_lock);
    return m_enabled;
}

long QORUnprotResourceCacheClient::pollInterval() const
{
    QORSlotReadGuard guard(m_lock);
    return m_pollInterval;
}

long QORUnprotResourceCacheClient::lastPoll() const
{
    QORSlotReadGuard guard(m_lock);
    return m_lastPoll;
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
    {
        QORSlotWriteGuard guard(m_lock);
        if (!m_enabled)
            return qor_s_ok;
        // Restart the timer before fetching, so that the other threads whose
        // poll fell due at the same moment mostly see a fresh timer.
        resetPollTimer();
    }

    if (version != nullptr) {
        QORSlotReadGuard guard(m_cache.lock());
        if (m_cache.getVersion() == *version)
            return qor_s_ok;
    }
    return retrieveCache();
}

QORStatus QORUnprotResourceCacheClient::retrieveCache()
{
    QORURCVersionQuestion question;
    {
        QORSlotReadGuard guard(m_cache.lock());
        question.setVersion(&m_cache.getVersion());
    }

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

bool QORUnprotResourceCacheClient::requestHostKey(QORRequest& request, QORStringRef* id,
                                                  QORPluginVirtualHostKey* key)
{
    int security = 0;
    if (request.getSecurity(&security) != qor_s_ok)
        security = 0;
    bool named = request.server() != nullptr && request.server()->getVHostID(id) == qor_s_ok;
    if (!named)
        *id = QORStringRef();
    key->initialize(*id, security != 0);
    return named;
}

QORStatus QORUnprotResourceCacheClient::lookupCache(QORRequest& request,
                                                    QORURCDecision* decision)
{
    QORStringRef id;
    QORPluginVirtualHostKey key;
    requestHostKey(request, &id, &key);
    bool pollDue = false;
    QORURCDecision first = qor_urc_ask_server;
    QORStatus st;
    {
        QORSlotReadGuard hosts(m_vhostList->lock());
        st = lookupHost(request, m_vhostList->find(key), &pollDue, &first);
    }
    if (!pollDue) {
        *decision = first;
        return st;
    }
    // A failed fetch leaves the decision to the caller's default.
    st = updateCache(nullptr);
    if (st != qor_s_ok)
        return st;
    QORSlotReadGuard hosts(m_vhostList->lock());
    return lookupHost(request, m_vhostList->find(key), nullptr, decision);
}

QORStatus QORUnprotResourceCacheClient::lookupHost(QORRequest& request,
                                                   const QORPluginVirtualHost* host,
                                                   bool* pollDue, QORURCDecision* decision)
{
    *decision = qor_urc_ask_server;
    {
        QORSlotReadGuard guard(m_lock);
        if (!m_enabled)
            return qor_s_ok;
        if (pollDue != nullptr && checkPollTimer()) {
            *pollDue = true;
            return qor_s_ok;
        }
    }
    if (host == nullptr)
        return qor_s_ok;
    QORStringRef uri;
    // Only a plain path is decided here: a dot segment, an escape or a
    // parameter may map elsewhere than its text says, so the server decides.
    if (request.getURI(&uri) != qor_s_ok || !qor_urc_plain_path(uri))
        return qor_s_ok;

    // One hold of the cache's lock from the branch to the decision, as the
    // database may be replaced at any moment. The host, shared by all
    // request threads, is only read: the branch is looked up through a view,
    // which keeps the hash it computes.
    QORStatus st = qor_s_ok;
    bool noBranch = false;
    {
        QORSlotReadGuard guard(m_cache.lock());
        const QORURCBranchDB* branch = m_cache.branchDB(QORStringRef(host->getBranch()));
        noBranch = branch == nullptr;
        if (branch != nullptr && branch->entries() > 0) {
            QORString name;
            QORStringRef method;
            st = buildObjectName(uri, *host, &name);
            if (st == qor_s_ok)
                st = request.getMethod(&method);
            if (st == qor_s_ok)
                st = doCacheLookup(*branch, name, method, *host, decision);
        }
    }
    if (noBranch)
        qor_log_status(m_logger, __FILE__, __LINE__, kComponent, qor_s_urc_no_db);
    return st;
}

QORStatus QORUnprotResourceCacheClient::buildObjectName(const QORStringRef& uri,
                                                        const QORPluginVirtualHost& host,
                                                        QORString* name)
{
    // The branch, then the canonical path straight after it.
    const QORString& branch = host.getBranch();
    if (!name->reserve(branch.length() + uri.length()) || !name->set(branch))
        return qor_s_no_memory;
    return QORHTTP::appendURI(!host.isCaseInsensitive(), host.isWin32Filesystem(), uri, name);
}

// REQUIRES: the cache's read lock (lookupCache holds it).
QORStatus QORUnprotResourceCacheClient::doCacheLookup(const QORURCBranchDB& branch,
                                                      QORString& name,
                                                      const QORStringRef& method,
                                                      const QORPluginVirtualHost& host,
                                                      QORURCDecision* decision)
{
    typedef QORUnprotResourceCacheBranchDBEntry Entry;
    *decision = qor_urc_ask_server;

    // The nearest ancestor with an entry decides.
    const Entry* entry = nullptr;
    for (;;) {
        entry = branch.find(name);
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
            return evalPermSet(*entry->getPerms(), *required, decision);
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
