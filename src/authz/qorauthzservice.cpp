// qorauthzservice.cpp: answering the plug-in's questions.
#include "authz/qorauthzservice.h"
#include <time.h>
#include <cstdio>
#include <new>
#include "authz/qorauthzanswer.h"
#include "authz/qorauthzbackends.h"
#include "authz/qorauthzdecision.h"
#include "authz/qorauthzlog.h"
#include "authz/qorauthzloginform.h"
#include "authz/qorauthzmark.h"
#include "authz/qorauthzredis.h"
#include "authz/qorauthzredisfailures.h"
#include "authz/qorauthzrequest.h"
#include "core/encoders/qoruriencode.h"
#include "msg/core/qorconfigquestion.h"
#include "msg/core/qordecisionmark.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/server/qorconfiganswerwriter.h"
#include "msg/server/qorconfigquestionreader.h"
#include "msg/server/qorurcversionanswerwriter.h"
#include "msg/server/qorwebreqquestionreader.h"
#include "msg/server/qorwebtransanswerwriter.h"
#include "plugin/core/qorpluginvirtualhost.h"

namespace {

QORStringRef view(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

int64_t monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

int64_t micros(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

// One web request being decided: what the question and the raw message
// say, the snapshot it is decided under and the writer of its answer.
struct QORAuthzService::Request {
    const QORAuthzSnapshot& snap;
    const QORWebReqQuestionReader& question;
    QORWebTransAnswerWriter& answer;
    QORAuthzHTTPRequest http;
    const QORAuthzVHost* host = nullptr;
    std::string uri;
    std::string query;
    bool hasQuery = false;
    std::string clientIP;
    std::string cookies;   // every Cookie header, joined
    bool secure = false;
    std::string object;
    QORAuthzLogin login = QORAuthzLogin::basic;
    // The answer may be applied again to the same request: it lets the
    // request through, sets no cookie, and no form or body went into it.
    bool cacheable = false;
    // The decision raised the generation itself: its answer carries the
    // new one, so that this plug-in drops what it kept at once.
    bool raised = false;
    std::shared_ptr<QORAuthzSessionStore> sessions;
    // For the audit trail and the metrics: what the answer comes to, for
    // whom (verified), and whether it only asks for the body.
    std::string vhost;
    std::string user;
    QORAuthzResult result = QORAuthzResult::error;
    bool bodyAsked = false;

    Request(const QORAuthzSnapshot& s, const QORWebReqQuestionReader& q,
            QORWebTransAnswerWriter& a)
        : snap(s)
        , question(q)
        , answer(a)
    {
    }
    const QORAuthzSettings& settings() const { return snap.policy->settings(); }
    // Whether a decision to let the request through may be applied again:
    // not for a form POST nor anything decided on a body.
    bool keepable() const
    {
        return http.method() != "POST" && !question.hasFlag(QORWebReqQuestionBase::kBodyRequested);
    }
};

QORAuthzService::QORAuthzService(QORAuthzPolicyHolder& holder)
    : m_holder(holder)
    , m_clock(monotonicSeconds)
    , m_throttle(std::unique_ptr<QORAuthzFailureCounter>(new QORAuthzRedisFailureCounter()))
{
}

QORAuthzService::~QORAuthzService() = default;

QORStatus QORAuthzService::initialize()
{
    return m_credentials.initialize();
}

QORStatus QORAuthzService::policyChanged()
{
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    const QORAuthzSettings& s = snap->policy->settings();
    if (!m_audit.configure(s.audit))
        qor_authz_log(dx_svc_c_sev_error, "the audit trail " + s.audit + " cannot be opened");
    m_credentials.configure(s.credentialLifetime, static_cast<size_t>(s.credentialCacheSize));
    m_throttle.configure(s.failureWindow, s.failureDelayAfter, s.failureDelayMs, s.failureLimit);
    QORStatus st = qor_s_ok;
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    if (!m_sessions || s.sessionStore != m_sessionStore || !(s.redis == m_redis)) {
        std::string why;
        std::shared_ptr<QORAuthzSessionStore> store = qor_authz_make_session_store(s, &why);
        if (store) {
            m_sessions = store;
            m_sessionStore = s.sessionStore;
            m_redis = s.redis;
        } else {
            qor_authz_log(dx_svc_c_sev_error, "the session store cannot be made: " + why);
            st = qor_s_not_available;
        }
    }
    if (m_sessions)
        m_sessions->configure(s.sessionIdle, s.sessionAbsolute, s.maxSessions,
                              s.maxSessionsPerUser);
    // With sessions shared in Redis, failures are counted there too: once
    // for all the servers.
    static_cast<QORAuthzRedisFailureCounter&>(m_throttle.counter())
        .setStore(std::dynamic_pointer_cast<QORAuthzRedisStore>(m_sessions));
    raiseDecisionGeneration();
    return st;
}

std::shared_ptr<QORAuthzSessionStore> QORAuthzService::sessions()
{
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    return m_sessions;
}

QORStatus QORAuthzService::openDecisionBoard(const std::string& serverID)
{
    QORStatus st;
    {
        std::lock_guard<std::mutex> guard(m_boardLock);
        st = m_board.open(serverID.c_str(), true);
    }
    if (st == qor_s_ok)
        raiseDecisionGeneration();  // the board names this run from the start
    return st;
}

void QORAuthzService::withdrawDecisionBoard(const std::string& serverID)
{
    std::lock_guard<std::mutex> guard(m_boardLock);
    m_board.withdraw(serverID.c_str());
}

void QORAuthzService::raiseDecisionGeneration()
{
    std::lock_guard<std::mutex> guard(m_boardLock);
    uint64_t generation = m_decisionGeneration.fetch_add(1, std::memory_order_acq_rel) + 1;
    char run[33];
    qor_authz_run_text(m_holder.current()->version, run);
    m_board.publish(run, generation);
}

QORStatus QORAuthzService::handle(int questionType, QORSharedMemIterator& question,
                                  QORSharedMemAllocator& answer, int* answerType)
{
    try {
        QORStatus st = QORWebQuestionHandler::handle(questionType, question, answer, answerType);
        if (st != qor_s_ok) {
            char text[96];
            snprintf(text, sizeof text, "a question of type %d answered with error 0x%08x",
                     questionType, (unsigned int)st);
            qor_authz_log(dx_svc_c_sev_error, text);
        }
        return st;
    } catch (const std::bad_alloc&) {
        qor_authz_log(dx_svc_c_sev_error, "out of memory answering a question");
        return qor_s_no_memory;
    }
}

QORStatus QORAuthzService::answerWebRequest(const QORWebReqQuestionReader& question,
                                            QORWebTransAnswerWriter& answer)
{
    // Read before the decision: a reload or a session ending while it is
    // made raises the generation past the one this answer carries, and the
    // plug-in does not keep an answer older than what it has heard of.
    uint64_t generation = m_decisionGeneration.load(std::memory_order_acquire);
    int64_t start = micros(CLOCK_MONOTONIC);
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    Request r(*snap, question, answer);
    QORStatus st = answerRequest(r);
    observe(r, st, start);
    int lifetime = r.settings().decisionCacheLifetime;
    if (st != qor_s_ok || lifetime == 0)
        return st;
    if (r.raised)
        generation = m_decisionGeneration.load(std::memory_order_acquire);
    return qor_authz_mark(answer, r.cacheable ? lifetime : 0, snap->version, generation);
}

void QORAuthzService::observe(const Request& r, QORStatus st, int64_t startMicros)
{
    // A question that only asked for the body is decided with the next.
    if (st == qor_s_ok && r.bodyAsked)
        return;
    QORAuthzAuditEvent e;
    e.result = st == qor_s_ok ? r.result : QORAuthzResult::error;
    e.latencyMicros = micros(CLOCK_MONOTONIC) - startMicros;
    m_metrics.decided(e.result, e.latencyMicros);
    if (!m_audit.enabled())
        return;
    e.unixMicros = micros(CLOCK_REALTIME);
    e.vhost = r.vhost;
    e.client = r.clientIP;
    e.method = r.http.method();
    e.path = r.uri;
    e.user = r.user;
    const QORAuthzObject* decider = r.object.empty() ? nullptr : r.snap.policy->findObject(r.object);
    e.object = decider != nullptr ? decider->name : "";
    m_audit.write(e);
}

QORStatus QORAuthzService::answerRequest(Request& r)
{
    const QORAuthzSnapshot* snap = &r.snap;
    const QORWebReqQuestionReader& question = r.question;
    QORWebTransAnswerWriter& answer = r.answer;
    const QORAuthzSettings& s = r.settings();
    r.sessions = sessions();

    QORBuffer message;
    if (question.getHTTPMessage(&message) != qor_s_ok
        || !r.http.parse(message.getData(), message.getLen())) {
        qor_authz_log(dx_svc_c_sev_error, "a web request without a readable HTTP message");
        return qor_s_invalid_argument;
    }
    QORStringRef text;
    if (question.getURI(&text) == qor_s_ok)
        r.uri.assign(text.data(), static_cast<size_t>(text.length()));
    else
        r.uri = r.http.target();
    r.hasQuery = question.getQuery(&text) == qor_s_ok;
    if (r.hasQuery)
        r.query.assign(text.data(), static_cast<size_t>(text.length()));
    if (question.getClientIPAddress(&text) == qor_s_ok)
        r.clientIP.assign(text.data(), static_cast<size_t>(text.length()));
    r.secure = question.hasFlag(QORWebReqQuestionBase::kSSLSession);
    r.cookies = r.http.cookies();
    QORStringRef id;
    if (question.hasFlag(QORWebReqQuestionBase::kServer))
        (void)question.getServer()->getVHostID(&id);  // absent: no host matches
    r.host = snap->policy->findHost(id.data(), id.length(), r.secure);
    r.vhost.assign(id.data() ? id.data() : "", static_cast<size_t>(id.data() ? id.length() : 0));

    r.result = QORAuthzResult::allowed;
    if (r.host == nullptr || (r.host->flags & qor_vhost_unprotected) != 0) {
        if (r.host != nullptr || s.unknownHostAllowed)
            return qor_authz_continue(answer, s.identityHeader, "", "", {}, {}, snap->version);
        r.result = QORAuthzResult::forbidden;
        return qor_authz_send(answer, 403, {},
                              qor_authz_page_html("Forbidden", "This site is not known here."),
                              snap->version);
    }
    if (snap->policy->usesForms() && r.uri == s.loginURL)
        return login(r);
    if (snap->policy->usesForms() && r.uri == s.logoutURL)
        return logout(r);
    r.result = QORAuthzResult::forbidden;
    if (QORAuthzDecision::objectName(*r.host, r.uri.data(), static_cast<int>(r.uri.size()),
                                     &r.object) != qor_s_ok)
        return qor_authz_send(answer, 403, {},
                              qor_authz_page_html("Forbidden", "This path is refused."),
                              snap->version);

    QORAuthzVerdict first = QORAuthzDecision::decide(*snap->policy, *snap->groups, *r.host,
                                                     r.object, r.http.method(), nullptr);
    r.result = QORAuthzResult::allowed;
    if (first.outcome == QORAuthzOutcome::open) {
        r.cacheable = r.keepable();
        return qor_authz_continue(answer, s.identityHeader, "", "", {}, {}, snap->version);
    }
    r.login = first.login;

    // A session first: it costs a digest, a password check far more. Its
    // user is checked against the users in force now. A store that cannot
    // be asked leaves Basic credentials still usable.
    const std::string* authorization = r.http.header("authorization");
    std::string sid, user, password;
    if (snap->policy->usesForms() && qor_authz_cookie(r.cookies, s.cookieName, &sid)) {
        QORStatus st = r.sessions->use(sid, now(), &user);
        m_metrics.sessionLookup(st == qor_s_ok);
        bool known = st == qor_s_ok;
        if (st == qor_s_ok)
            st = snap->users->lookup(user);
        if (st == qor_s_ok)
            return decided(r, user, "form");
        if (st == qor_s_not_available && authorization == nullptr)
            return unavailable(r, "the session store or the user directory");
        if (st == qor_s_not_found) {
            (void)r.sessions->remove(sid);  // gone or unknown: nothing more to do with it
            if (known) {
                // Its user is gone: what plug-ins kept for it goes too.
                raiseDecisionGeneration();
                r.raised = true;
            }
        }
    }
    if (authorization == nullptr)
        return askForLogin(r, "Please log in.");
    if (!qor_authz_basic_credentials(*authorization, &user, &password))
        return askForLogin(r, "The credentials are not well formed.");
    int retryAfter = 0;
    switch (checkPassword(r, user, password, &retryAfter)) {
    case Check::good:
        return decided(r, user, "basic");
    case Check::refused:
        return tooMany(r, retryAfter);
    case Check::unavailable:
        return unavailable(r, "the user directory");
    case Check::bad:
        break;
    }
    return askForLogin(r, "The user name or password is wrong.");
}

QORAuthzService::Check QORAuthzService::checkPassword(Request& r, const std::string& user,
                                                      const std::string& password,
                                                      int* retryAfter)
{
    bool cached = m_credentials.contains(user, password, now());
    m_metrics.credentialLookup(cached);
    if (cached)
        return Check::good;
    // A wait in force is answered at once: no worker waits it out.
    QORAuthzThrottle::Verdict v = m_throttle.check(user, r.clientIP);
    if (v.refused) {
        qor_authz_log(v.limited ? dx_svc_c_sev_warning : dx_svc_c_sev_notice_verbose,
                      std::string(v.limited ? "too many" : "repeated") +
                          " failed logins for a user or from " + r.clientIP + ": refused for " +
                          std::to_string(v.retryAfter) + " s");
        *retryAfter = v.retryAfter;
        return Check::refused;
    }
    // An empty password never reaches a directory: to LDAP it is an
    // unauthenticated bind, which succeeds.
    QORStatus st = password.empty() ? qor_s_permission_denied
                                    : r.snap.users->verify(user, password);
    if (st == qor_s_ok) {
        m_throttle.succeeded(user, r.clientIP);
        m_credentials.insert(user, password, now());
        return Check::good;
    }
    // Not the client's failure: nothing is counted.
    if (st == qor_s_not_available)
        return Check::unavailable;
    m_throttle.failed(user, r.clientIP);
    m_metrics.failedLogin();
    return Check::bad;
}

QORStatus QORAuthzService::tooMany(Request& r, int retryAfter)
{
    r.result = QORAuthzResult::throttled;
    return qor_authz_send(r.answer, 429, {{"Retry-After", std::to_string(retryAfter)}},
                          qor_authz_page_html("Too many attempts",
                                              "Too many failed logins. Try again later."),
                          r.snap.version);
}

QORStatus QORAuthzService::unavailable(Request& r, const char* what)
{
    r.result = QORAuthzResult::error;
    qor_authz_log(dx_svc_c_sev_error, std::string(what) + " cannot answer: answered 503");
    return qor_authz_send(r.answer, 503, {{"Retry-After", "10"}},
                          qor_authz_page_html("Not available",
                                              "Logins cannot be checked now. Try again later."),
                          r.snap.version);
}

QORStatus QORAuthzService::askForLogin(Request& r, const std::string& message)
{
    const QORAuthzSettings& s = r.settings();
    r.result = QORAuthzResult::login_required;
    if (r.login == QORAuthzLogin::form) {
        std::string target = r.uri + (r.hasQuery ? "?" + r.query : "");
        QORString encoded;
        if (!qor_uri_encode_form_arg(&encoded, target.data(), static_cast<int>(target.size())))
            return qor_s_no_memory;
        std::string location = s.loginURL + "?target=" +
                               std::string(encoded.data(), static_cast<size_t>(encoded.length()));
        return qor_authz_send(r.answer, 303, {{"Location", location}}, "", r.snap.version);
    }
    return qor_authz_send(r.answer, 401,
                          {{"WWW-Authenticate", "Basic realm=\"" + s.realm + "\", charset=\"UTF-8\""}},
                          qor_authz_page_html("Login required", message), r.snap.version);
}

QORStatus QORAuthzService::decided(Request& r, const std::string& user, const char* how)
{
    const QORAuthzSettings& s = r.settings();
    QORAuthzVerdict v = QORAuthzDecision::decide(*r.snap.policy, *r.snap.groups, *r.host, r.object,
                                                 r.http.method(), &user);
    if (v.outcome == QORAuthzOutcome::unavailable)
        return unavailable(r, "the group directory");
    r.user = user;
    bool allowed = v.outcome == QORAuthzOutcome::allowed || v.outcome == QORAuthzOutcome::open;
    r.result = allowed ? QORAuthzResult::allowed : QORAuthzResult::forbidden;
    if (!allowed)
        return qor_authz_send(r.answer, 403, {},
                              qor_authz_page_html("Forbidden", "You may not do this here."),
                              r.snap.version);
    // The application does not get the session cookie.
    std::vector<std::string> remove;
    QORAuthzHeaders set;
    std::string ignored;
    if (r.snap.policy->usesForms() && s.stripSessionCookie
        && qor_authz_cookie(r.cookies, s.cookieName, &ignored)) {
        std::string rest = qor_authz_without_cookie(r.cookies, s.cookieName);
        if (rest.empty())
            remove.push_back("Cookie");
        else
            set.emplace_back("Cookie", rest);
    }
    r.cacheable = r.keepable();
    return qor_authz_continue(r.answer, s.identityHeader, user, how, remove, set, r.snap.version);
}

std::string QORAuthzService::sessionCookie(const Request& r, const std::string& value) const
{
    std::string c = r.settings().cookieName + "=" + value + "; Path=/; HttpOnly; SameSite=Lax";
    if (r.secure)
        c += "; Secure";
    if (value.empty())
        c += "; Max-Age=0";
    return c;
}

QORStatus QORAuthzService::loginPage(Request& r, int code, const std::string& target,
                                     const std::string& message)
{
    std::string token;
    QORStatus st = r.sessions->issueToken(now(), &token);
    if (st == qor_s_not_available)
        return unavailable(r, "the session store");
    if (st != qor_s_ok)
        return st;
    return qor_authz_send(r.answer, code, {},
                          QORAuthzLoginForm::render(r.snap.loginTemplate, r.settings().loginURL,
                                                    target, token, message),
                          r.snap.version);
}

QORStatus QORAuthzService::login(Request& r)
{
    const QORAuthzSettings& s = r.settings();
    std::map<std::string, std::string> fields;
    r.result = QORAuthzResult::login_required;
    if (r.http.method() != "POST") {
        QORAuthzLoginForm::parseForm(r.query, &fields);  // a bad query gives "/"
        return loginPage(r, 200, QORAuthzLoginForm::safeTarget(fields["target"]), "");
    }
    const std::string* lengthText = r.http.header("content-length");
    long length = lengthText ? strtol(lengthText->c_str(), nullptr, 10) : 0;
    r.result = QORAuthzResult::forbidden;
    if (length > s.maxFormBody || static_cast<long>(r.http.body().size()) > s.maxFormBody)
        return qor_authz_send(r.answer, 413, {},
                              qor_authz_page_html("Too large", "The form is too large."),
                              r.snap.version);
    // The body comes in a second question, maybe in pieces. One byte past
    // the limit is asked for, so that a body without a Content-Length that
    // is too large is refused above instead of read cut short.
    if (!r.question.hasFlag(QORWebReqQuestionBase::kBodyRequested)
        || static_cast<long>(r.http.body().size()) < length) {
        r.bodyAsked = true;
        return qor_authz_ask_for_body(r.answer, s.maxFormBody + 1, r.snap.version);
    }

    r.result = QORAuthzResult::login_required;
    if (!QORAuthzLoginForm::parseForm(r.http.body(), &fields))
        return loginPage(r, 400, "/", "The form could not be read. Please try again.");
    std::string target = QORAuthzLoginForm::safeTarget(fields["target"]);
    QORStatus st = r.sessions->consumeToken(fields["token"], now());
    if (st == qor_s_not_available)
        return unavailable(r, "the session store");
    if (st != qor_s_ok) {
        r.result = QORAuthzResult::forbidden;
        return loginPage(r, 403, target, "The form has expired. Please try again.");
    }
    const std::string& user = fields["username"];
    int retryAfter = 0;
    switch (checkPassword(r, user, fields["password"], &retryAfter)) {
    case Check::refused:
        return tooMany(r, retryAfter);
    case Check::unavailable:
        return unavailable(r, "the user directory");
    case Check::bad:
        // The same words whether the user exists or not.
        return loginPage(r, 200, target, "The user name or password is wrong.");
    case Check::good:
        break;
    }
    // Always a new identifier: one the browser brought cannot be fixed in
    // advance.
    std::string sid;
    st = r.sessions->create(user, now(), &sid);
    if (st == qor_s_not_available)
        return unavailable(r, "the session store");
    if (st != qor_s_ok)
        return st;
    // A new session may have pushed out an older one of the user.
    raiseDecisionGeneration();
    r.raised = true;
    r.user = user;
    r.result = QORAuthzResult::allowed;
    qor_authz_log(dx_svc_c_sev_notice_verbose,
                  "session " + m_credentials.keyedDigest(sid) + " started for " + user);
    return qor_authz_send(r.answer, 303,
                          {{"Location", target}, {"Set-Cookie", sessionCookie(r, sid)}}, "",
                          r.snap.version);
}

QORStatus QORAuthzService::logout(Request& r)
{
    r.result = QORAuthzResult::allowed;
    std::string sid, user;
    if (qor_authz_cookie(r.cookies, r.settings().cookieName, &sid)) {
        // "?everywhere" ends every session of the user, on every server
        // that shares the store.
        QORStatus st = qor_s_ok;
        if (r.hasQuery && r.query == "everywhere" && r.sessions->find(sid, now(), &user) == qor_s_ok)
            st = r.sessions->removeUser(user);
        if (st == qor_s_ok)
            st = r.sessions->remove(sid);
        if (st != qor_s_ok)
            return unavailable(r, "the session store");
        qor_authz_log(dx_svc_c_sev_notice_verbose,
                      "session " + m_credentials.keyedDigest(sid) + " ended" +
                          (user.empty() ? "" : ", and every other of " + user));
        raiseDecisionGeneration();
        r.raised = true;
    }
    return qor_authz_send(r.answer, 200, {{"Set-Cookie", sessionCookie(r, "")}},
                          qor_authz_page_html("Logged out", "You are logged out."),
                          r.snap.version);
}

QORStatus QORAuthzService::answerWebResponse(const QORWebRspQuestion&,
                                             QORWebTransAnswerWriter& answer)
{
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    QORStatus st = answer.begin(qor_continue);
    return st == qor_s_ok ? answer.addURCVersion(snap->version) : st;
}

QORStatus QORAuthzService::answerURCVersion(const QOREpochVersion& held,
                                            QORURCVersionAnswerWriter& answer)
{
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    QORStatus st = answer.begin(snap->version);
    // An up-to-date plug-in gets the version alone.
    if (st != qor_s_ok || held == snap->version)
        return st;
    const QORAuthzSettings& s = snap->policy->settings();
    for (auto& b : snap->policy->branches()) {
        // The login and logout paths must always reach the server, whatever
        // object they lie under.
        bool forms = snap->policy->usesForms();
        int extra = forms ? 2 : 0;
        st = answer.beginBranch(view(b.first), static_cast<int>(b.second.size()) + extra);
        for (const QORAuthzObject* o : b.second)
            if (st == qor_s_ok)
                st = answer.addEntry(view(o->name), view(o->cacheText()));
        if (forms) {
            for (const std::string* url : {&s.loginURL, &s.logoutURL})
                if (st == qor_s_ok)
                    st = answer.addEntry(view(b.first + *url), QORStringRef(QORAuthzObject::kNothing));
        }
        if (st != qor_s_ok)
            return st;
    }
    return qor_s_ok;
}

QORStatus QORAuthzService::handleOther(int questionType, QORSharedMemIterator& question,
                                       QORSharedMemAllocator& answer, int* answerType)
{
    if (questionType != qor_msg_config_question) {
        qor_authz_log(dx_svc_c_sev_error,
                      "a question of unknown type " + std::to_string(questionType));
        return qor_s_not_supported;
    }
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    return config(*snap, question, answer, answerType);
}

QORStatus QORAuthzService::config(const QORAuthzSnapshot& snap, QORSharedMemIterator& question,
                                  QORSharedMemAllocator& answer, int* answerType)
{
    QORConfigQuestion::qor_config_req_msg_type_e type;
    QORStatus st = QORConfigQuestionReader::read(question, &type);
    if (st != qor_s_ok) {
        qor_authz_log(dx_svc_c_sev_error, "a configuration question that cannot be read");
        return st;
    }
    const QORAuthzPolicy& p = *snap.policy;
    *answerType = qor_msg_config_answer;
    QORConfigAnswerWriter writer(answer);
    st = writer.begin();
    switch (type) {
    case QORConfigQuestion::QOR_CONFIG_REQ_POST_URIS:
        for (auto& e : p.postSizes())
            if (st == qor_s_ok)
                st = writer.addPostURI(view(e.first), e.second);
        break;
    case QORConfigQuestion::QOR_CONFIG_REQ_FLAGS:
        for (auto& e : p.configFlags())
            if (st == qor_s_ok)
                st = writer.addConfigFlag(view(e.first), e.second);
        // Always, and last: a plug-in keeps the flags of the last answer
        // that had any, and a later entry of a name wins.
        if (st == qor_s_ok)
            st = writer.addConfigFlag(QORStringRef(QORDecisionMark::kConfigFlag),
                                      static_cast<unsigned int>(p.settings().decisionCacheLifetime));
        break;
    case QORConfigQuestion::QOR_CONFIG_REQ_URC:
        if (st == qor_s_ok)
            st = writer.addURCConfig(p.settings().urcEnabled, p.settings().urcPollInterval);
        break;
    case QORConfigQuestion::QOR_CONFIG_REQ_VHOSTS:
        if (st == qor_s_ok)
            st = writer.beginVHostList(static_cast<int>(p.vhosts().size()));
        for (auto& h : p.vhosts()) {
            std::vector<QORConfigPermEntry> methods;
            for (auto& m : h.perms.methodTexts)
                methods.push_back({view(m.first), view(m.second)});
            if (st == qor_s_ok)
                st = writer.addVHost(view(h.id), view(h.branch), h.flags, view(h.perms.defaultText),
                                     methods.data(), static_cast<int>(methods.size()));
        }
        break;
    default:
        qor_authz_log(dx_svc_c_sev_error,
                      "a configuration question of unknown type " + std::to_string(type));
        return qor_s_not_supported;
    }
    return st;
}
