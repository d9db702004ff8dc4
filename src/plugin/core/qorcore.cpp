// qorcore.cpp: start-up, the request and response flows with their retries,
// and the configuration fetched from the authorization server.
#include "plugin/core/qorcore.h"
#include <new>
#include "core/svc/qorsvc.h"
#include "core/system/qorassert.h"
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
#include "plugin/core/qorpluginvirtualhost.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "proxyif/framework/qorerrormessage.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"
#include "urc/plugin/qorurcversionanswerfactory.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

const char kComponent[] = "DXQor";
const int kTableBuckets = 20;

enum : QORStatus {
    qor_s_already_initialized = QOR_MSG_ID(15),   // XLTIC0015E
    qor_s_not_initialized = QOR_MSG_ID(16),       // XLTIC0016E
};

const QORStatus kMsgUnknownAnswerType = QOR_MSG_ID(0x282);   // XLTIC0642E
const QORStatus kMsgErrorFromServer = QOR_MSG_ID(0x281);     // XLTIC0641E
const QORStatus kMsgDispatchFailed = QOR_MSG_ID(0x29b);      // XLTIC0667E

} // namespace

// The answer unmarshallers come from class-wide caching allocators that
// live as long as any core of the process.
void QORCore::acquireUnmarshallerAllocators()
{
    QORWebTransAnswerUnmarshaller::addAllocatorRef();
    QORConfigAnswerUnmarshaller::addAllocatorRef();
    QORURCVersionAnswerUnmarshaller::addAllocatorRef();
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
    loadVHosts();
}

QORCore::~QORCore()
{
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
    QORStatus st = m_dispatcher.initialize(log, serverID);
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
    m_initialized = true;
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

    QORProxyIFMessage* answer = nullptr;
    bool retry = false;
    QORStatus st = m_dispatcher.dispatch(question, &answer, &context, &retry);
    if (st != qor_s_ok)
        return st;
    if (retry)
        return qor_s_not_available;
    if (answer == nullptr)
        return qor_s_no_memory;

    QORStatus result = qor_s_ok;
    int answerType = answer->getType();
    if (answerType == qor_msg_error) {
        qor_log_status(m_log, __FILE__, __LINE__, kComponent,
                       static_cast<QORErrorMessage*>(answer)->getStatus());
    } else if (answerType == qor_msg_config_answer) {
        if (type == QORConfigQuestion::QOR_CONFIG_REQ_URC && m_urcClient != nullptr)
            result = m_urcClient->initialize(context.urcEnabled, context.urcPollInterval);
    } else {
        qor_log_message(m_log, __FILE__, __LINE__, kComponent, kMsgUnknownAnswerType,
                        answerType);
    }
    answer->deleteMe();
    return result;
}

void QORCore::prepareForRetry()
{
    retrievePostURIs();
    retrieveConfigFlags();
    retrieveVirtualHostInfo();
    retrieveURCConfig();
    loadVHosts();
}

QORStatus QORCore::handleReq(QORTransaction* trans)
{
    QOR_ASSERT(trans->m_request != nullptr && trans->m_response != nullptr);
    QORRequest& request = *trans->m_request;

    // Requests for an unprotected virtual host pass, even before initialize.
    // One hold of the host list's read lock finds the host for that and for
    // the cache; only a poll of the server that falls due takes it again.
    QORStringRef id;
    QORPluginVirtualHostKey key;
    bool named = QORUnprotResourceCacheClient::requestHostKey(request, &id, &key);
    for (;;) {
        QORURCDecision decision = qor_urc_ask_server;
        bool pollDue = false;
        QORStatus st = qor_s_ok;
        {
            QORSlotReadGuard hosts(m_virtualHostList.lock());
            const QORPluginVirtualHost* host = m_virtualHostList.find(key);
            if (named && host != nullptr && host->isUnprotected()) {
                trans->setResult(qor_continue_uninteresting);
                return qor_s_ok;
            }
            if (!m_initialized)
                return qor_s_not_initialized;
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
            trans->setResult(qor_continue_uninteresting);
            return qor_s_ok;
        }
        if (st != qor_s_not_available)
            break;
        prepareForRetry();
    }

    // The dispatcher asks for another pass when the server restarted or
    // reset the worker; the transaction does when the answer needs the
    // question sent again (with the body, for instance).
    for (;;) {
        trans->setRetry(false);
        QORWebReqQuestionMarshaller question(trans);
        QORProxyIFMessage* answer = nullptr;
        bool retry = false;
        QORStatus st = m_dispatcher.dispatch(question, &answer, trans, &retry);
        if (!retry && !trans->shouldRetry()) {
            st = handleWebDispatch(trans, answer, st);
        } else {
            if (answer != nullptr)
                answer->deleteMe();
            prepareForRetry();
            QORStatus hook = trans->prepareForRetry();
            if (hook != qor_s_ok)
                return hook;
        }
        if (!trans->shouldRetry() && !retry)
            return st;
    }
}

QORStatus QORCore::handleWebDispatch(QORTransaction* trans, QORProxyIFMessage* answer,
                                     int dispatchStatus)
{
    QORResponse* response = trans->m_response;
    QORStatus status = qor_s_ok;
    if (dispatchStatus != 0) {
        qor_trans_log_status(trans, kMsgDispatchFailed, static_cast<QORStatus>(dispatchStatus));
        response->setCode(503);
        trans->setResult(qor_send_default_rsp_to_client);
    } else if (answer == nullptr) {
        status = qor_s_no_memory;
    } else {
        int type = answer->getType();
        if (type == qor_msg_web_trans_answer) {
            trans->setResult(static_cast<qor_proxy_rsp_code_e>(
                static_cast<QORWebTransAnswerIter*>(answer)->getRspCode()));
            answer->deleteMe();
            updateURCVersion(trans);
            return qor_s_ok;
        }
        if (type == qor_msg_error) {
            qor_trans_log_status(trans, kMsgErrorFromServer,
                                 static_cast<QORErrorMessage*>(answer)->getStatus());
        } else {
            trans->logMessage(qor_log_level_error, kMsgUnknownAnswerType, type);
        }
        response->setCode(503);
        trans->setResult(qor_send_default_rsp_to_client);
        answer->deleteMe();
    }
    response->finalizeHeader();
    response->finalizeBody();
    updateURCVersion(trans);
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
        trans->logMessage(qor_log_level_error, static_cast<int>(st));
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
    if (request.m_server == nullptr)
        return qor_s_not_available;
    st = request.m_server->getVHostID(&id);
    if (st != qor_s_ok)
        return st;
    question.setVHostID(id);
    question.setSessionID(trans->m_response->getSessionID());
    int security = 0;
    st = request.getSecurity(&security);
    if (st != qor_s_ok)
        return st;
    question.setIsSecure(security);

    for (;;) {
        QORProxyIFMessage* answer = nullptr;
        bool retry = false;
        st = m_dispatcher.dispatch(question, &answer, trans, &retry);
        if (!retry) {
            handleWebDispatch(trans, answer, st);
            return qor_s_ok;
        }
        if (answer != nullptr)
            answer->deleteMe();
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

QORStatus QORCore::shutdown()
{
    delete m_urcClient;
    m_urcClient = nullptr;
    m_dispatcher.shutdown();
    emptyPostURIs();
    m_log = nullptr;
    m_initialized = false;
    return qor_s_ok;
}
