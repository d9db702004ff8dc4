// qorunprotresourcecacheclient.h: QORUnprotResourceCacheClient, the policy
// around the unprotected resource cache: whether it is enabled, when it is
// fetched again from the authorization server, and the per-request decision
// that lets the core pass a request for a resource that everyone may see
// without asking the server. Any doubt, failure or missing data gives
// decision 1 (ask the server): the cache can spare a question, never refuse
// a request. The core owns one client.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "core/threads/qorslotrwlock.h"
#include "plugin/core/qorpluginvirtualhostkey.h"
#include "urc/plugin/qorunprotresourcecache.h"

class QORActionGroupList;
class QORLog;
class QORPluginVirtualHost;
class QORPluginVirtualHostList;
class QORProxyIFDispatcher;
class QORRequest;

// 0: the resource is unprotected for this request; 1: the authorization
// server must decide.
typedef int QORURCDecision;
enum : QORURCDecision {
    qor_urc_unprotected = 0,
    qor_urc_ask_server = 1,
};

// Cuts name to its parent object in place: just before the last "/" found
// searching backwards from the second-to-last character, or to "/" when
// that slash is the first character. False, with name unchanged, for an
// empty name, a name that does not begin with "/", and "/" itself.
bool qor_obj_get_parent(QORString& name);

// True when the cache may decide on path at all: no "." or ".." segment, no
// '%', ';' or backslash, no NUL or other control character. The cache
// walks up from a name, so such a path (not normalised, or one the web
// server may map differently from how it reads) would let an open ancestor
// decide for a protected resource; it goes to the server instead.
bool qor_urc_plain_path(const QORStringRef& path);

class QORUnprotResourceCacheClient {
public:
    // None of the three is owned; all must outlive the client.
    QORUnprotResourceCacheClient(QORPluginVirtualHostList* vhosts, QORLog* log,
                                 QORProxyIFDispatcher* dispatcher);
    ~QORUnprotResourceCacheClient();
    QORUnprotResourceCacheClient(const QORUnprotResourceCacheClient&) = delete;
    QORUnprotResourceCacheClient& operator=(const QORUnprotResourceCacheClient&) = delete;

    // Applies the settings of the authorization server's configuration and
    // fetches the cache at once; a failed fetch disables the cache and is
    // returned.
    QORStatus initialize(bool enabled, long pollInterval);
    // Disables the cache; its data stays.
    QORStatus shutdown();
    // Sets both under the lock and forgets the last poll, so that the next
    // updateCache fetches.
    QORStatus setConfigParams(bool enabled, long pollInterval);

    // Brings the cache up to date. version is the server's current version
    // (from an answer), or null to poll. A version equal to the one held
    // fetches nothing but still restarts the poll timer. 0x35f02002 when the
    // server asked for a retry during the fetch.
    QORStatus updateCache(const QOREpochVersion* version);

    // The per-request decision. A non-zero status, like decision 1, means
    // the server must decide; 0x35f02002 means the server asked for a retry
    // while the cache was being fetched.
    QORStatus lookupCache(QORRequest& request, QORURCDecision* decision);

    // The same for a caller that found the request's virtual host itself
    // (host, null when none) and still holds the list's read lock. When a
    // poll of the server is due and pollDue is not null, sets *pollDue and
    // decides 1 without looking: the caller then lets the list's lock go,
    // calls updateCache(nullptr) and asks again with a null pollDue.
    QORStatus lookupHost(QORRequest& request, const QORPluginVirtualHost* host,
                         bool* pollDue, QORURCDecision* decision);

    // The key of request's virtual host: its ID, viewed in *id (empty when
    // the request names none), and whether it came over a secure
    // connection. False when the request names no host.
    static bool requestHostKey(QORRequest& request, QORStringRef* id,
                               QORPluginVirtualHostKey* key);

    // For the version answer and for tests.
    QORUnprotResourceCache& cache() { return m_cache; }
    bool isEnabled() const;
    long pollInterval() const;
    long lastPoll() const;

private:
    bool checkPollTimer() const;
    void resetPollTimer();
    QORStatus retrieveCache();
    QORStatus buildObjectName(const QORStringRef& uri, const QORPluginVirtualHost& host,
                              QORString* name);
    QORStatus doCacheLookup(const QORURCBranchDB& branch, QORString& name,
                            const QORStringRef& method, const QORPluginVirtualHost& host,
                            QORURCDecision* decision);
    QORStatus evalPermSet(const QORActionGroupList& actions,
                          const QORActionGroupList& vHostActions,
                          QORURCDecision* decision);
    QORSlotRWLock m_lock;
    bool m_enabled = false;
    long m_pollInterval = -1;
    long m_lastPoll = -1;
    QORPluginVirtualHostList* m_vhostList;
    QORLog* m_logger;
    QORProxyIFDispatcher* m_dispatcher;
    QORUnprotResourceCache m_cache;

    friend class QORUnprotResourceCacheClientTest;
};
