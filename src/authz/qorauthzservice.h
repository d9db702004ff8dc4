// qorauthzservice.h: QORAuthzService, the question handler of the
// authorization server: it answers the plug-in's configuration and cache
// version questions from the policy in force, and decides each web request
// (credentials, the decision table, the answer). One instance serves every
// worker thread of the pool.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "authz/qorauthzaudit.h"
#include "authz/qorauthzcredcache.h"
#include "authz/qorauthzmetrics.h"
#include "authz/qorauthzreload.h"
#include "authz/qorauthzthrottle.h"
#include "msg/server/qorwebquestionhandler.h"

class QORAuthzHTTPRequest;
class QORAuthzLoginForm;
class QORAuthzSessions;
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
    // sessions. Remembered credentials are forgotten.
    void policyChanged();
    // Seconds on a monotonic clock.
    int64_t now() const { return m_clock(); }

    // Catches what no status can carry (memory exhaustion) and answers it
    // as an error.
    QORStatus handle(int questionType, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType) override;

    QORAuthzCredentialCache& credentials() { return m_credentials; }
    QORAuthzSessions& sessions() { return *m_sessions; }
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

    QORStatus answerRequest(Request& r);
    // Counts the decision and writes its audit line.
    void observe(const Request& r, QORStatus st, int64_t startMicros);

    QORStatus config(const QORAuthzSnapshot& snap, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType);
    // Checks a name and password against the cache, the failure counts and
    // the users; refused sets *retryAfter. Only bad is counted.
    Check checkPassword(Request& r, const std::string& user, const std::string& password,
                        int* retryAfter);
    // 429 with Retry-After; 503 when the password could not be checked.
    QORStatus tooMany(Request& r, int retryAfter);
    QORStatus unavailable(Request& r);
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
    QORAuthzThrottle m_throttle;
    std::unique_ptr<QORAuthzSessions> m_sessions;
    std::unique_ptr<QORAuthzLoginForm> m_loginForm;
    QORAuthzMetrics m_metrics;
    QORAuthzAuditLog m_audit;
};
