// qorauthzservice.cpp: answering the plug-in's questions.
#include "authz/qorauthzservice.h"
#include <time.h>
#include <cstdio>
#include <new>
#include "authz/qorauthzanswer.h"
#include "authz/qorauthzdecision.h"
#include "authz/qorauthzlog.h"
#include "authz/qorauthzloginform.h"
#include "authz/qorauthzpasswordcheck.h"
#include "authz/qorauthzrequest.h"
#include "authz/qorauthzsessions.h"
#include "core/encoders/qoruriencode.h"
#include "msg/core/qorconfigquestion.h"
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
};

QORAuthzService::QORAuthzService(QORAuthzPolicyHolder& holder)
    : m_holder(holder)
    , m_clock(monotonicSeconds)
    , m_sessions(new QORAuthzSessions())
    , m_loginForm(new QORAuthzLoginForm())
{
}

QORAuthzService::~QORAuthzService() = default;

QORStatus QORAuthzService::initialize()
{
    QORStatus st = m_credentials.initialize();
    return st == qor_s_ok ? m_sessions->initialize() : st;
}

void QORAuthzService::policyChanged()
{
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    const QORAuthzSettings& s = snap->policy->settings();
    if (!m_audit.configure(s.audit))
        qor_authz_log(dx_svc_c_sev_error, "the audit trail " + s.audit + " cannot be opened");
    m_credentials.configure(s.credentialLifetime, static_cast<size_t>(s.credentialCacheSize));
    m_throttle.configure(s.failureWindow, s.failureDelayAfter, s.failureDelayMs, s.failureLimit);
    m_sessions->configure(s.sessionIdle, s.sessionAbsolute, s.maxSessions, s.maxSessionsPerUser);
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
    int64_t start = micros(CLOCK_MONOTONIC);
    std::shared_ptr<const QORAuthzSnapshot> snap = m_holder.current();
    Request r(*snap, question, answer);
    QORStatus st = answerRequest(r);
    observe(r, st, start);
    return st;
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
    if (first.outcome == QORAuthzOutcome::open)
        return qor_authz_continue(answer, s.identityHeader, "", "", {}, {}, snap->version);
    r.login = first.login;

    // A session first: it costs a digest, a password check far more. Its
    // user is checked against the users in force now.
    std::string sid, user, password;
    if (snap->policy->usesForms() && qor_authz_cookie(r.cookies, s.cookieName, &sid)) {
        bool found = m_sessions->find(sid, now(), &user);
        m_metrics.sessionLookup(found);
        if (found) {
            if (snap->users->exists(user))
                return decided(r, user, "form");
            m_sessions->remove(sid);
        }
    }
    const std::string* authorization = r.http.header("authorization");
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
        return unavailable(r);
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
    switch (r.snap.users->verify(user, password)) {
    case QORAuthzPasswordCheck::good:
        m_throttle.succeeded(user, r.clientIP);
        m_credentials.insert(user, password, now());
        return Check::good;
    case QORAuthzPasswordCheck::unavailable:
        // Not the client's failure: nothing is counted.
        qor_authz_log(dx_svc_c_sev_error, "the password of a user could not be checked");
        return Check::unavailable;
    case QORAuthzPasswordCheck::bad:
        break;
    }
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

QORStatus QORAuthzService::unavailable(Request& r)
{
    r.result = QORAuthzResult::error;
    return qor_authz_send(r.answer, 503, {},
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
    std::string token = m_loginForm->issueToken(now());
    if (token.empty())
        return qor_s_system_call_failed;
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
    if (!m_loginForm->consumeToken(fields["token"], now())) {
        r.result = QORAuthzResult::forbidden;
        return loginPage(r, 403, target, "The form has expired. Please try again.");
    }
    const std::string& user = fields["username"];
    int retryAfter = 0;
    switch (checkPassword(r, user, fields["password"], &retryAfter)) {
    case Check::refused:
        return tooMany(r, retryAfter);
    case Check::unavailable:
        return unavailable(r);
    case Check::bad:
        // The same words whether the user exists or not.
        return loginPage(r, 200, target, "The user name or password is wrong.");
    case Check::good:
        break;
    }
    std::string sid = m_sessions->create(user, now());
    if (sid.empty())
        return qor_s_system_call_failed;
    r.user = user;
    r.result = QORAuthzResult::allowed;
    qor_authz_log(dx_svc_c_sev_notice_verbose,
                  "session " + m_sessions->logName(sid) + " started for " + user);
    return qor_authz_send(r.answer, 303,
                          {{"Location", target}, {"Set-Cookie", sessionCookie(r, sid)}}, "",
                          r.snap.version);
}

QORStatus QORAuthzService::logout(Request& r)
{
    r.result = QORAuthzResult::allowed;
    std::string sid;
    if (qor_authz_cookie(r.cookies, r.settings().cookieName, &sid)) {
        qor_authz_log(dx_svc_c_sev_notice_verbose, "session " + m_sessions->logName(sid) + " ended");
        m_sessions->remove(sid);
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
