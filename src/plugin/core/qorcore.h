// qorcore.h: QORCore, the one object a web-server adapter creates per
// web-server process. It owns the connection to the authorization server,
// the virtual-host list, the unprotected resource cache client and two
// tables of configuration fetched from the server, and decides each request:
// an unprotected virtual host or an unprotected resource passes untouched,
// anything else is asked of the authorization server, whose answer is
// applied to the transaction while it is read.
#pragma once
#include <atomic>

#include "core/buffers/qorstring.h"
#include "core/list/qorprotectedhashtable.h"
#include "core/system/qorstatus.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// The statuses of QORCore an adapter tells apart.
enum : QORStatusCode {
    qor_s_already_initialized = QOR_MSG_ID(15),  // XLTIC0015E
    qor_s_not_initialized = QOR_MSG_ID(16),      // XLTIC0016E
};

class QORDecisionCache;
class QORLog;
class QORProxyIFMessage;
class QORRequest;
class QORTransaction;
class QORUnprotResourceCacheClient;

class QORCore {
public:
    // Starts the process's messages and trace registry under the base name
    // of programName, makes the answer unmarshallers' allocators and reads
    // the virtual hosts of "dxqor.conf". Reports nothing.
    explicit QORCore(const char* programName);
    // Releases what the constructor set up. REQUIRES: shutdown() first.
    ~QORCore();
    QORCore(const QORCore&) = delete;
    QORCore& operator=(const QORCore&) = delete;

    // Attaches to the authorization server named serverID and fetches the
    // configuration it holds. A failure leaves the core as before (it may be
    // called again); qor_s_already_initialized when it is.
    QORStatus initialize(const char* serverID, QORLog* log);

    // Decides a request; the decision is the transaction's result code. A
    // non-zero status means no decision was made (qor_s_not_initialized
    // before initialize, unless the request's virtual host is unprotected).
    QORStatus handleReq(QORTransaction* trans);
    // Decides a request only when that needs no wait on the authorization
    // server: its virtual host is unprotected, or the cache knows the
    // resource is open and its version check is not due within two seconds
    // (result code qor_continue_uninteresting), or the decision cache holds
    // the server's answer to this very request, which is applied as the
    // server's answer is (its result code, usually qor_continue); with the
    // decision cache on it is asked first. False when handleReq must decide
    // (it may block), for example on an event loop that hands blocking work
    // to a thread.
    bool decideLocally(QORTransaction* trans);
    // Sends the response under construction to the authorization server and
    // applies its answer. 0 once the question was sent, whatever the answer.
    QORStatus handleRsp(QORTransaction* trans);
    // Turns the dispatcher's outcome into a result code, and releases the
    // answer: a failure, an error answer or an unexpected answer gives
    // response code 503 (413 for a question too large for the server's
    // buffers) and qor_send_default_rsp_to_client with status 0.
    QORStatus handleWebDispatch(QORTransaction* trans, QORProxyIFMessage* answer,
                                int dispatchStatus);
    // Not supported: qor_s_not_supported.
    QORStatus postProcess(QORTransaction* trans);
    // Fetches all configuration again after the authorization server was
    // restarted or asked for a retry. Statuses are ignored.
    void prepareForRetry();

    // The minimum POST data size stored for prefix ":" name, else for prefix
    // ":" fallbackName (empty candidates are skipped); qor_s_not_available, with
    // *minimum unchanged, when neither is known.
    QORStatus getMinPostData(const QORStringRef& prefix, const QORStringRef& fallbackName,
                             const QORStringRef& name, int* minimum);
    // The flags stored for name; 0 when there are none.
    unsigned int getConfigFlags(const QORStringRef& name);

    // Detaches from the authorization server and drops the cache client and
    // the POST table; virtual hosts and flags stay. initialize may follow.
    void shutdown();

    // Safe from any thread, also while initialize or shutdown runs on
    // another: an adapter may test it before it takes the lock that keeps
    // initialize apart from the other calls.
    bool isInitialized() const { return m_initialized.load(std::memory_order_acquire); }

private:
    // Tests reach the virtual hosts and the cache client through it
    // (testsupport/qorcoretesting.h).
    friend class QORCoreTesting;

    // Adds the virtual hosts of "dxqor.conf" to the list.
    QORStatus loadVHosts();
    bool isUnprotectedVHost(QORRequest& request);
    QORStatus retrievePostURIs();
    QORStatus retrieveConfigFlags();
    QORStatus retrieveURCConfig();
    QORStatus retrieveVirtualHostInfo();
    QORStatus retrieveConfig(int type);
    void emptyPostURIs();
    QORStatus abandonStart(QORStatus status);
    QORStatus failInitialize(QORStatus status);
    void updateURCVersion(QORTransaction* trans);
    // Completes the response of a request the core answers itself.
    void finalizeResponse(QORTransaction* trans);
    // The request was sent sent times and the server still asks for
    // another: it gets 503 and a log line.
    QORStatus refuseAfterRetries(QORTransaction* trans, unsigned int sent);
    static void acquireUnmarshallerAllocators();
    static void releaseUnmarshallerAllocators();

    QORLog* m_log = nullptr;
    QORProxyIFDispatcher m_dispatcher;
    QORProtectedHashTable<QORString, int> m_postURIs;
    QORProtectedHashTable<QORString, unsigned int> m_configFlags;
    QORPluginVirtualHostList m_virtualHostList;
    QORUnprotResourceCacheClient* m_urcClient = nullptr;
    // Owned; off until the server's configuration flags allow it.
    QORDecisionCache* m_decisionCache = nullptr;
    std::atomic<bool> m_initialized{false};
};

QOR_EXPORT_END
