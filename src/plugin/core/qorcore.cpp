// qorcore.cpp: start-up, the request and response flows with their retries,
// and the configuration fetched from the authorization server.
#include "plugin/core/qorcore.h"
#include <cstdlib>
#include <ctime>
#include <new>
#include <optional>
#include "core/file/qorstanza.h"
#include "plugin/core/qorpluginstats.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorassert.h"
#include "core/system/qorinstallpath.h"
#include "core/trace/qorlogstatus.h"
#include "core/trace/qortraceregistry.h"
#include "msg/core/qorconfigquestion.h"
#include "msg/core/qorwebrspquestion.h"
#include "msg/plugin/qorconfiganswercontext.h"
#include "msg/plugin/qorconfiganswerfactory.h"
#include "msg/plugin/qorconfiganswerunmarshaller.h"
#include "msg/plugin/qortranslog.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "msg/plugin/qorwebtransanswerfactory.h"
#include "msg/plugin/qorwebtransansweriter.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "msg/core/qordecisionmark.h"
#include "plugin/core/qordecisioncache.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qortransaction.h"
#include "proxyif/framework/qoranswer.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"
#include "urc/plugin/qorurcversionanswerfactory.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

const char kComponent[] = "DXQor";
const int kTableBuckets = 20;

const QORStatus kMsgUnknownAnswerType = QOR_MSG_ID(0x282);   // XLTIC0642E
const QORStatus kMsgErrorFromServer = QOR_MSG_ID(0x281);     // XLTIC0641E
const QORStatus kMsgDispatchFailed = QOR_MSG_ID(0x29b);      // XLTIC0667E
const QORStatus kMsgAnswerTimeout = QOR_MSG_ID(0x226);       // XLTIC0550E
const QORStatus kMsgQuestionTooLarge = QOR_MSG_ID(0x227);    // XLTIC0551E
const QORStatus kMsgRetryLimit = QOR_MSG_ID(0x228);          // XLTIC0552E

// The largest bound dxqor.conf may set (seconds or times); larger values
// are taken as this.
const unsigned long kMaxBound = 86400;

// A bound of the [dxweb-plugins] stanza: a whole number, 0 for none. A
// value that is not one leaves the bound as it was.
void readBound(qorStanzaFile* file, const char* entry, unsigned int* bound)
{
    if (!qorStzMoveEntryInStanza(file, entry) || file->value == nullptr)
        return;
    const char* v = file->value;
    char* end = nullptr;
    unsigned long n = *v >= '0' && *v <= '9' ? strtoul(v, &end, 10) : 0;
    if (end == nullptr || end == v)
        return;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end == 0)
        *bound = (unsigned int)(n > kMaxBound ? kMaxBound : n);
}

// The channel's bounds from "dxqor.conf" in the installation's
// configuration directory. No file, or no bound in it, means no bound.
QORChannelLimits readChannelLimits()
{
    QORChannelLimits limits;
    const char* dir = nullptr;
    if (qor_install_path(qor_path_etc, &dir) != qor_s_ok)
        return limits;
    QORLCPString path(dir);
    if (!path.append("dxqor.conf", -1))
        return limits;
    QORStatus st = qor_s_ok;
    qorStanzaFile* file = qorStzFileOpen(path.c_str(), QOR_STZ_READ_ONLY, &st);
    if (file == nullptr)
        return limits;
    if (qorStzMoveStanza(file, "dxweb-plugins")) {
        readBound(file, "answer-wait-limit", &limits.answerWaitSeconds);
        readBound(file, "retry-limit", &limits.retryLimit);
        readBound(file, "refresh-wait-limit", &limits.refreshWaitSeconds);
    }
    qorStzFileClose(file);
    return limits;
}

// Whether one more pass is allowed after sent passes under limit (0: any).
bool mayRetry(unsigned int limit, unsigned int sent)
{
    return limit == 0 || sent <= limit;
}

// The web server sends its default response for code. What the adapter's
// setters report changes nothing: the result code alone tells the adapter
// what to do.
void sendDefaultResponse(QORTransaction* trans, int code)
{
    if (code == 503)
        qor_plugin_count(qor_fig_unavailable);
    (void)trans->m_response->setCode(code);
    (void)trans->setResult(qor_send_default_rsp_to_client); // always 0
}

// Every status a transaction's logger returns is ignored: a line that
// cannot be written has nowhere else to go.
template <class... Args>
void logError(QORTransaction* trans, int messageID, Args... args)
{
    (void)trans->logMessage(qor_log_level_error, messageID, args...);
}

} // namespace

// The answer unmarshallers come from class-wide caching allocators that
// live as long as any core of the process.
void QORCore::acquireUnmarshallerAllocators()
{
    // Without its allocator a class takes its answers from the heap: slower,
    // never wrong.
    (void)QORWebTransAnswerUnmarshaller::addAllocatorRef();
    (void)QORConfigAnswerUnmarshaller::addAllocatorRef();
    (void)QORURCVersionAnswerUnmarshaller::addAllocatorRef();
}

void QORCore::releaseUnmarshallerAllocators()
{
    QORWebTransAnswerUnmarshaller::releaseAllocatorRef();
    QORConfigAnswerUnmarshaller::releaseAllocatorRef();
    QORURCVersionAnswerUnmarshaller::releaseAllocatorRef();
}

QORCore::QORCore(const char* programName)
    : m_postURIs(nullptr, true)
    , m_configFlags(nullptr, true)
{
    qormsg_init(programName, 0);
    QORTraceRegistry::initialize();
    acquireUnmarshallerAllocators();
    // Without it every protected request is asked, as with the cache off.
    m_decisionCache = new (std::nothrow) QORDecisionCache();
    // Without the file the list starts empty: every virtual host is then
    // asked of the server, which is the safe side.
    (void)loadVHosts();
}

QORCore::~QORCore()
{
    delete m_decisionCache;
    releaseUnmarshallerAllocators();
    QORTraceRegistry::shutdown();
}

QORStatus QORCore::loadVHosts()
{
    return m_virtualHostList.loadVHosts();
}

void QORCore::emptyPostURIs()
{
    m_postURIs.writeLock();
    m_postURIs.shutdown();
    m_postURIs.unlock();
}

// A failed start leaves the core as it was before initialize: detached and
// without log, so that initialize may run again.
QORStatus QORCore::abandonStart(QORStatus status)
{
    m_dispatcher.shutdown();
    m_log = nullptr;
    return status;
}

// The same once fetches have begun: what they stored stays, except the POST
// table, which initialize had emptied.
QORStatus QORCore::failInitialize(QORStatus status)
{
    emptyPostURIs();
    return abandonStart(status);
}

QORStatus QORCore::initialize(const char* serverID, QORLog* log)
{
    if (m_log != nullptr)
        return qor_s_already_initialized;
    m_log = log;
    QORStatus st = m_dispatcher.initialize(log, serverID, readChannelLimits());
    if (st != qor_s_ok) {
        m_log = nullptr;
        return st;
    }

    QORProxyIFMsgFactory* factories[3] = {
        new (std::nothrow) QORWebTransAnswerFactory(),
        new (std::nothrow) QORConfigAnswerFactory(),
        new (std::nothrow) QORURCVersionAnswerFactory(),
    };
    for (int i = 0; i < 3; i++) {
        st = factories[i] ? m_dispatcher.registerProxyMsgFactory(factories[i]) : qor_s_no_memory;
        if (st != qor_s_ok) {
            // The dispatcher owns the factories registered so far.
            for (int j = i; j < 3; j++)
                delete factories[j];
            return abandonStart(st);
        }
    }

    if (m_decisionCache != nullptr)
        m_decisionCache->setServerID(serverID);
    m_postURIs.writeLock();
    m_postURIs.shutdown();
    st = m_postURIs.initialize(kTableBuckets);
    m_postURIs.unlock();
    if (st != qor_s_ok)
        return failInitialize(qor_s_no_memory);

    st = retrievePostURIs();
    if (st == qor_s_ok)
        st = retrieveConfigFlags();
    if (st == qor_s_ok)
        st = retrieveVirtualHostInfo();
    if (st != qor_s_ok)
        return failInitialize(st);

    m_urcClient = new (std::nothrow) QORUnprotResourceCacheClient(&m_virtualHostList, log,
                                                                   &m_dispatcher);
    if (m_urcClient == nullptr)
        return failInitialize(qor_s_no_memory);
    st = retrieveURCConfig();
    if (st != qor_s_ok) {
        delete m_urcClient;
        m_urcClient = nullptr;
        return failInitialize(st);
    }
    // Publishes everything initialize set up to the threads that test it.
    m_initialized.store(true, std::memory_order_release);
    return qor_s_ok;
}

QORStatus QORCore::retrievePostURIs()
{
    return retrieveConfig(QORConfigQuestion::QOR_CONFIG_REQ_POST_URIS);
}

QORStatus QORCore::retrieveConfigFlags()
{
    return retrieveConfig(QORConfigQuestion::QOR_CONFIG_REQ_FLAGS);
}

QORStatus QORCore::retrieveURCConfig()
{
    return retrieveConfig(QORConfigQuestion::QOR_CONFIG_REQ_URC);
}

QORStatus QORCore::retrieveVirtualHostInfo()
{
    return retrieveConfig(QORConfigQuestion::QOR_CONFIG_REQ_VHOSTS);
}

// One configuration question of type; the answer writes what it carries
// straight into the targets of the context. Failures the server reports in
// its answer are logged, not returned.
QORStatus QORCore::retrieveConfig(int type)
{
    QORConfigQuestion question(static_cast<QORConfigQuestion::qor_config_req_msg_type_e>(type));
    QORConfigAnswerContext context;
    context.log = m_log;
    switch (type) {
    case QORConfigQuestion::QOR_CONFIG_REQ_POST_URIS:
        context.postURIs = &m_postURIs;
        context.postURIBuckets = kTableBuckets;
        break;
    case QORConfigQuestion::QOR_CONFIG_REQ_FLAGS:
        context.configFlags = &m_configFlags;
        context.configFlagBuckets = kTableBuckets;
        break;
    case QORConfigQuestion::QOR_CONFIG_REQ_URC:
        context.urcEnabled = false;
        context.urcPollInterval = -1;
        break;
    default:
        context.vhostList = &m_virtualHostList;
        break;
    }

    QORAnswer answer;
    QORStatus st = answer.ask(m_dispatcher, question, &context, qor_msg_config_answer, m_log,
                              kComponent);
    if (st != qor_s_ok)
        return st;
    if (answer.type() == qor_msg_config_answer && type == QORConfigQuestion::QOR_CONFIG_REQ_FLAGS
        && m_decisionCache != nullptr)
        m_decisionCache->configure(getConfigFlags(QORStringRef(QORDecisionMark::kConfigFlag)));
    if (answer.type() == qor_msg_config_answer && type == QORConfigQuestion::QOR_CONFIG_REQ_URC &&
        m_urcClient != nullptr)
        return m_urcClient->initialize(context.urcEnabled, context.urcPollInterval);
    return qor_s_ok;
}

void QORCore::prepareForRetry()
{
    // Each fetch that fails keeps what the last one stored; the question
    // that follows tells whether the server can be used.
    (void)retrievePostURIs();
    (void)retrieveConfigFlags();
    (void)retrieveVirtualHostInfo();
    (void)retrieveURCConfig();
    (void)loadVHosts();
}

bool QORCore::isUnprotectedVHost(QORRequest& request)
{
    QORStringRef id;
    if (request.server() == nullptr || request.server()->getVHostID(&id) != qor_s_ok)
        return false;
    int security = 0;
    if (request.getSecurity(&security) != qor_s_ok)
        security = 0;
    QORPluginVirtualHostKey key;
    key.initialize(id, security != 0);
    if (m_virtualHostList.readLock() != qor_s_ok)
        return false;
    const QORPluginVirtualHost* host = m_virtualHostList.find(key);
    bool unprotected = host != nullptr && host->isUnprotected();
    (void)m_virtualHostList.unlock(); // the wrapper stops the process on failure
    return unprotected;
}

bool QORCore::decideLocally(QORTransaction* trans)
{
    QOR_ASSERT(trans->m_request != nullptr && trans->m_response != nullptr);
    QORRequest& request = *trans->m_request;
    trans->m_localMiss = false;
    if (isUnprotectedVHost(request)) {
        (void)trans->setResult(qor_continue_uninteresting); // always 0
        return true;
    }
    if (!m_initialized)
        return false;
    // A kept answer first: the requests it answers are protected ones, which
    // the unprotected-resource cache would only pass on. A resource that is
    // open has a kept answer only when the server itself let it through.
    if (m_decisionCache != nullptr && m_decisionCache->enabled()) {
        QORDecisionCache::Pass pass(*m_decisionCache, *trans);
        if (pass.hit()) {
            qor_plugin_count(qor_fig_decision_cache_hits);
            return true;
        }
    }
    if (m_urcClient == nullptr || !m_urcClient->isEnabled())
        return false;
    // A version check falls due inside lookupCache and waits on the
    // server; the margin keeps it from falling due during the lookup.
    long last = m_urcClient->lastPoll();
    long now = static_cast<long>(time(nullptr));
    if (last < 0 || last + m_urcClient->pollInterval() - 2 < now)
        return false;
    QORURCDecision decision = qor_urc_ask_server;
    QORStatus st = m_urcClient->lookupCache(request, &decision);
    if (st == qor_s_ok && decision == qor_urc_unprotected) {
        qor_plugin_count(qor_fig_cache_hits);
        (void)trans->setResult(qor_continue_uninteresting); // always 0
        return true;
    }
    trans->m_localMiss = st == qor_s_ok;
    return false;
}

QORStatus QORCore::handleReq(QORTransaction* trans)
{
    QOR_ASSERT(trans->m_request != nullptr && trans->m_response != nullptr);
    QORRequest& request = *trans->m_request;

    // Requests for an unprotected virtual host pass, even before initialize.
    // One hold of the host list's read lock finds the host for that and for
    // the cache; only a poll of the server that falls due takes it again.
    // What decideLocally has looked up already goes straight to the question.
    QORStringRef id;
    QORPluginVirtualHostKey key;
    const unsigned int retryLimit = m_dispatcher.limits().retryLimit;
    bool looked = trans->m_localMiss && m_initialized;
    trans->m_localMiss = false;
    bool named = !looked && QORUnprotResourceCacheClient::requestHostKey(request, &id, &key);
    for (unsigned int tries = 1; !looked; ++tries) {
        QORURCDecision decision = qor_urc_ask_server;
        bool pollDue = false;
        QORStatus st = qor_s_ok;
        {
            QORSlotReadGuard hosts(m_virtualHostList.lock());
            const QORPluginVirtualHost* host = m_virtualHostList.find(key);
            if (named && host != nullptr && host->isUnprotected()) {
                (void)trans->setResult(qor_continue_uninteresting); // always 0
                return qor_s_ok;
            }
            if (!m_initialized) {
                qor_plugin_count(qor_fig_unavailable);  // the adapter answers 503
                return qor_s_not_initialized;
            }
            st = m_urcClient->lookupHost(request, host, &pollDue, &decision);
        }
        if (pollDue) {
            st = m_urcClient->updateCache(nullptr);
            if (st == qor_s_ok) {
                QORSlotReadGuard hosts(m_virtualHostList.lock());
                st = m_urcClient->lookupHost(request, m_virtualHostList.find(key), nullptr,
                                             &decision);
            }
        }
        // The cache only ever spares a question: anything but a clear
        // "unprotected" goes to the authorization server.
        if (st == qor_s_ok && decision == qor_urc_unprotected) {
            qor_plugin_count(qor_fig_cache_hits);
            (void)trans->setResult(qor_continue_uninteresting); // always 0
            return qor_s_ok;
        }
        if (st != qor_s_not_available || !mayRetry(retryLimit, tries))
            break;
        prepareForRetry();
    }

    std::optional<QORDecisionCache::Pass> kept;
    if (m_decisionCache != nullptr) {
        kept.emplace(*m_decisionCache, *trans);
        if (!looked && kept->hit()) {
            qor_plugin_count(qor_fig_decision_cache_hits);
            return qor_s_ok;
        }
    }

    qor_plugin_count(qor_fig_questions);
    // The dispatcher asks for another pass when the server restarted or
    // reset the worker; the transaction does when the answer needs the
    // question sent again (with the body, for instance). An installation
    // may bound the passes.
    for (unsigned int sent = 1;; ++sent) {
        trans->setRetry(false);
        QORWebReqQuestionMarshaller question(trans);
        QORAnswer answer;
        bool retry = false;
        if (kept)
            kept->listen();
        QORStatus st = m_dispatcher.dispatch(question, answer.out(), trans, &retry);
        if (!retry && !trans->shouldRetry()) {
            st = handleWebDispatch(trans, answer.release(), st);
            if (kept)
                kept->answered();
            return st;
        }
        answer.reset();
        if (!mayRetry(retryLimit, sent))
            return refuseAfterRetries(trans, sent);
        prepareForRetry();
        QORStatus hook = trans->prepareForRetry();
        if (hook != qor_s_ok)
            return hook;
    }
}

QORStatus QORCore::refuseAfterRetries(QORTransaction* trans, unsigned int sent)
{
    logError(trans, kMsgRetryLimit, (int)sent);
    sendDefaultResponse(trans, 503);
    finalizeResponse(trans);
    return qor_s_ok;
}

void QORCore::finalizeResponse(QORTransaction* trans)
{
    // The adapter sends what is there; a part it could not complete is its
    // own to report.
    (void)trans->m_response->finalizeHeader();
    (void)trans->m_response->finalizeBody();
    updateURCVersion(trans);
}

QORStatus QORCore::handleWebDispatch(QORTransaction* trans, QORProxyIFMessage* answer,
                                     int dispatchStatus)
{
    QORAnswer owned(answer);
    QORStatus status = qor_s_ok;
    if (dispatchStatus == (int)qor_s_ipc_answer_timeout) {
        qor_plugin_count(qor_fig_answer_wait_expired);
        logError(trans, kMsgAnswerTimeout, (int)m_dispatcher.limits().answerWaitSeconds);
        sendDefaultResponse(trans, 503);
    } else if (dispatchStatus == (int)qor_s_ipc_question_too_large) {
        logError(trans, kMsgQuestionTooLarge, m_dispatcher.questionRoom());
        sendDefaultResponse(trans, 413);
    } else if (dispatchStatus != 0) {
        qor_trans_log_status(trans, kMsgDispatchFailed, static_cast<QORStatus>(dispatchStatus));
        sendDefaultResponse(trans, 503);
    } else if (answer == nullptr) {
        status = qor_s_no_memory;
    } else {
        int type = answer->getType();
        if (type == qor_msg_web_trans_answer) {
            // setResult always gives 0.
            (void)trans->setResult(static_cast<qor_proxy_rsp_code_e>(
                static_cast<QORWebTransAnswerIter*>(answer)->getRspCode()));
            owned.reset();
            updateURCVersion(trans);
            return qor_s_ok;
        }
        if (type == qor_msg_error) {
            qor_trans_log_status(trans, kMsgErrorFromServer,
                                 static_cast<QORErrorMessage*>(answer)->getStatus());
        } else {
            logError(trans, kMsgUnknownAnswerType, type);
        }
        sendDefaultResponse(trans, 503);
    }
    owned.reset();
    finalizeResponse(trans);
    return status;
}

// A newer cache version named by the answer makes the cache fetch again.
void QORCore::updateURCVersion(QORTransaction* trans)
{
    const QOREpochVersion* version = trans->getURCVersion();
    if (version == nullptr || m_urcClient == nullptr)
        return;
    QORStatus st = m_urcClient->updateCache(version);
    if (st == qor_s_not_available)
        prepareForRetry();
    else if (st != qor_s_ok)
        logError(trans, static_cast<int>(st));
}

QORStatus QORCore::handleRsp(QORTransaction* trans)
{
    QOR_ASSERT(trans->m_request != nullptr && trans->m_response != nullptr);
    QORRequest& request = *trans->m_request;
    QORWebRspQuestion question;

    QORBuffer http;
    QORStatus st = trans->m_response->getHTTPBuffer(&http);
    if (st != qor_s_ok)
        return st;
    question.setHTTPBuffer(http);
    QORStringRef id;
    if (request.server() == nullptr)
        return qor_s_not_available;
    st = request.server()->getVHostID(&id);
    if (st != qor_s_ok)
        return st;
    question.setVHostID(id);
    question.setSessionID(trans->m_response->getSessionID());
    int security = 0;
    st = request.getSecurity(&security);
    if (st != qor_s_ok)
        return st;
    question.setIsSecure(security);

    const unsigned int retryLimit = m_dispatcher.limits().retryLimit;
    for (unsigned int sent = 1;; ++sent) {
        QORAnswer answer;
        bool retry = false;
        st = m_dispatcher.dispatch(question, answer.out(), trans, &retry);
        if (!retry) {
            // 0 once the question went out, whatever became of it.
            (void)handleWebDispatch(trans, answer.release(), st);
            return qor_s_ok;
        }
        answer.reset();
        if (!mayRetry(retryLimit, sent))
            return refuseAfterRetries(trans, sent);
        prepareForRetry();
    }
}

QORStatus QORCore::postProcess(QORTransaction*)
{
    return qor_s_not_supported;
}

QORStatus QORCore::getMinPostData(const QORStringRef& prefix, const QORStringRef& fallbackName,
                                  const QORStringRef& name, int* minimum)
{
    const QORStringRef* candidates[2] = {&name, &fallbackName};
    for (const QORStringRef* candidate : candidates) {
        if (candidate->length() == 0)
            continue;
        QORString key;
        if (!key.reserve(prefix.length() + 1 + candidate->length()) || !key.append(prefix)
            || !key.append(':') || !key.append(*candidate))
            return qor_s_no_memory;
        m_postURIs.readLock();
        const auto* node = m_postURIs.lookup(key);
        bool found = node != nullptr;
        if (found)
            *minimum = node->value;
        m_postURIs.unlock();
        if (found)
            return qor_s_ok;
    }
    return qor_s_not_available;
}

unsigned int QORCore::getConfigFlags(const QORStringRef& name)
{
    QORString key;
    if (!key.set(name))
        return 0;
    m_configFlags.readLock();
    unsigned int flags = m_configFlags.find(key);
    m_configFlags.unlock();
    return flags;
}

void QORCore::shutdown()
{
    delete m_urcClient;
    m_urcClient = nullptr;
    m_dispatcher.shutdown();
    emptyPostURIs();
    m_log = nullptr;
    m_initialized.store(false, std::memory_order_release);
}
