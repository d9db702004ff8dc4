// qorauthzservice.h: QORAuthzService, the question handler of the
// authorization server: it answers the plug-in's configuration and cache
// version questions from the policy in force, and decides each web request
// (credentials, the decision table, the answer). One instance serves every
// worker thread of the pool.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include "authz/qorauthzaudit.h"
#include "authz/qorauthzcredcache.h"
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzmetrics.h"
#include "authz/qorauthzreload.h"
#include "authz/qorauthzthrottle.h"
#include "msg/core/qordecisionboard.h"
#include "msg/server/qorwebquestionhandler.h"

class QORAuthzHTTPRequest;
struct QORAuthzVHost;

class QORAuthzService : public QORWebQuestionHandler {
public:
    explicit QORAuthzService(QORAuthzPolicyHolder& holder);
    ~QORAuthzService() override;

    // Draws the per-start keys. qor_s_system_call_failed without random
    // bytes.
    QORStatus initialize();
    // Applies the settings of the policy now in force (after the start and
    // after each successful reload): credential cache, failure counting,
    // sessions. Remembered credentials are forgotten. A new session store
    // is made only when the policy chooses another one (the old one's
    // sessions are then gone); qor_s_not_available, with the old store
    // kept, when the new one's secrets cannot be read.
    QORStatus policyChanged();
    // Maps the decision board beside serverID, where every plug-in sees
    // the generation raised at once. Without it plug-ins keep no decision.
    QORStatus openDecisionBoard(const std::string& serverID);
    // Stopping: plug-ins apply no kept decision while the server is away.
    void withdrawDecisionBoard(const std::string& serverID);
    // Seconds on a monotonic clock.
    int64_t now() const { return m_clock(); }

    // Catches what no status can carry (memory exhaustion) and answers it
    // as an error.
    QORStatus handle(int questionType, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType) override;

    QORAuthzCredentialCache& credentials() { return m_credentials; }
    std::shared_ptr<QORAuthzSessionStore> sessions();
    QORAuthzMetrics& metrics() { return m_metrics; }

protected:
    QORStatus answerWebRequest(const QORWebReqQuestionReader& question,
                               QORWebTransAnswerWriter& answer) override;
    QORStatus answerWebResponse(const QORWebRspQuestion& question,
                                QORWebTransAnswerWriter& answer) override;
    QORStatus answerURCVersion(const QOREpochVersion& held,
                               QORURCVersionAnswerWriter& answer) override;
    QORStatus handleOther(int questionType, QORSharedMemIterator& question,
                          QORSharedMemAllocator& answer, int* answerType) override;

private:
    struct Request;
    // What a name and password came to: bad only when the directory said
    // so; refused without asking it (a wait in force); unavailable when it
    // could not answer.
    enum class Check { good, bad, refused, unavailable };

    // The decision behind answerWebRequest, which adds the decision mark.
    QORStatus answerRequest(Request& r);
    // Counts the decision and writes its audit line.
    void observe(const Request& r, QORStatus st, int64_t startMicros);

    // Every decision a plug-in kept may no longer hold.
    void raiseDecisionGeneration();

    QORStatus config(const QORAuthzSnapshot& snap, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType);
    // Checks a name and password against the cache, the failure counts and
    // the users; refused sets *retryAfter. Only bad is counted.
    Check checkPassword(Request& r, const std::string& user, const std::string& password,
                        int* retryAfter);
    // 429 with Retry-After; 503 when the password could not be checked.
    QORStatus tooMany(Request& r, int retryAfter);
    // 503 with Retry-After: what (a backend) could not be asked.
    QORStatus unavailable(Request& r, const char* what);
    // 401 for Basic, or 303 to the login page carrying the original path.
    QORStatus askForLogin(Request& r, const std::string& message);
    QORStatus decided(Request& r, const std::string& user, const char* how);
    // The login page (GET) and its submission (POST), and the logout path.
    QORStatus login(Request& r);
    QORStatus loginPage(Request& r, int code, const std::string& target,
                        const std::string& message);
    QORStatus logout(Request& r);
    std::string sessionCookie(const Request& r, const std::string& value) const;

    QORAuthzPolicyHolder& m_holder;
    std::function<int64_t()> m_clock;
    QORAuthzCredentialCache m_credentials;
    // Counts in Redis when the sessions are there, else in memory.
    QORAuthzThrottle m_throttle;
    // Swapped whole by policyChanged while workers hold the old one.
    std::mutex m_sessionsLock;
    std::shared_ptr<QORAuthzSessionStore> m_sessions;
    std::string m_sessionStore;
    QORAuthzRedisSettings m_redis;
    // Raised on each reload and each session that ends; answers carry it
    // in the decision mark.
    std::atomic<uint64_t> m_decisionGeneration{1};
    // Raises are published in order.
    std::mutex m_boardLock;
    QORDecisionBoard m_board;
    QORAuthzMetrics m_metrics;
    QORAuthzAuditLog m_audit;
};
