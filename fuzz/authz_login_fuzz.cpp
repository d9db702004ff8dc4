// authz_login_fuzz.cpp: the form login of the authorization server under
// the sample policy, on a service fresh for each input: the login page
// asked for with an arbitrary query (its target), the form posted with an
// arbitrary body, Content-Length and cookies, then, when that logged in,
// the session used on a form-protected object, and the logout. Besides the
// rig's checks on every answer: the page escapes the target it carries; a
// session is only given for a user's right password and only once per
// anti-forgery token; the application never sees the session cookie; a
// session that logged out lets nobody in.
//
// Input: byte 0 sets up the run (below); the rest is up to four fields
// separated by NULs: the login page's query, the form body ("{{token}}"
// in it replaced by the page's token), the Cookie header of every request,
// the Content-Length of the form (its real length when absent).
//   byte 0  bit 0: an SSL session; bit 1: the body is in the first
//           question (else the server asks for it); bit 2: the host with
//           a case-insensitive name space; bit 3: the form is posted again
//           with the same token; bit 4: log out and try the session again
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "authz/qorauthzloginform.h"
#include "qorauthzservicerig.h"
#include "qorauthztestserver.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "authz_login_fuzz: %s\n", what);
        abort();
    }
}

struct Run {
    QORAuthzServiceRig& rig;
    bool secure;
    const char* host;
    std::string cookie;
};

// Asks about a request made by fill and checks the answer; body, when
// given, is the form the web server has yet to read (all of it when
// inFirst).
QORAuthzServiceRig::Asked ask(Run& run, QORAuthzTestTransaction& t, const char* method,
                              const std::string& uri, const std::string& query, bool hasQuery,
                              const std::string* body = nullptr, bool inFirst = false,
                              const std::string* length = nullptr)
{
    QORAuthzTestRequest& req = t.req();
    req.addServer(run.host);
    if (run.secure) {
        req.addSSLSession();
        req.security = 1;
    }
    req.method = method;
    req.uri = uri;
    req.query = query;
    req.hasQuery = hasQuery;
    req.headers.add("X-Dxqor-User", "mallory");
    if (!run.cookie.empty())
        req.headers.add("Cookie", run.cookie.c_str());
    if (body != nullptr) {
        req.headers.add("Content-Type", "application/x-www-form-urlencoded");
        req.headers.add("Content-Length",
                        length != nullptr ? length->c_str() : std::to_string(body->size()).c_str());
        if (inFirst) {
            req.postData = *body;
            req.setBodyRequested(true);
        } else {
            req.pendingBody = *body;
        }
    }
    qor_authz_test_http_message(req);
    QORAuthzServiceRig::Asked a;
    for (int round = 0; round < 2; round++) {
        bool requested = req.bodyRequested();
        a = run.rig.ask(t);
        const char* problem = run.rig.sampleProblem(t, a);
        if (problem != nullptr) {
            fprintf(stderr, "%s %s: handled 0x%08x type %d applied 0x%08x result %d code %d\n",
                    method, uri.c_str(), (unsigned int)a.handled, a.answerType,
                    (unsigned int)a.applied, a.result, t.response().code());
            check(false, problem);
        }
        // The plug-in asks again once the body it was asked for is read.
        if (requested || !req.bodyRequested() || !t.shouldRetry())
            break;
        t.setRetry(false);
    }
    return a;
}

// The value of the hidden field name in page, or null.
bool field(const std::string& page, const char* name, std::string* value)
{
    std::string marker = std::string("name=\"") + name + "\" value=\"";
    size_t at = page.find(marker);
    if (at == std::string::npos)
        return false;
    size_t end = page.find('"', at + marker.size());
    if (end == std::string::npos)
        return false;
    *value = page.substr(at + marker.size(), end - at - marker.size());
    return true;
}

// The session identifier of a Set-Cookie value giving one, or empty.
std::string sessionOf(const char* setCookie)
{
    const std::string prefix = "DXQORSESSION=";
    if (setCookie == nullptr)
        return "";
    std::string c = setCookie;
    if (c.compare(0, prefix.size(), prefix) != 0)
        return "";
    return c.substr(prefix.size(), c.find(';') - prefix.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    uint8_t setup = data[0];
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0 && parts.size() < 4)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(data[i]));
    }
    const bool lengthGiven = parts.size() == 4;
    parts.resize(4);
    const std::string& query = parts[0];
    std::string body = parts[1];
    const std::string* length = lengthGiven ? &parts[3] : nullptr;

    QORAuthzServiceRig* sample = QORAuthzServiceRig::sample();
    check(sample != nullptr, "the sample policy does not load");
    check(sample->restart() == qor_s_ok, "the service does not start");
    Run run{*sample, (setup & 1) != 0, (setup & 4) ? "win" : "www", parts[2]};
    const std::string object = (setup & 4) ? "/Admin/x" : "/team/x";

    QORAuthzTestTransaction page;
    QORAuthzServiceRig::Asked a = ask(run, page, "GET", "/dxqor/login", query, true);
    if (a.result != qor_send_rsp_to_client || page.response().code() != 200) {
        fprintf(stderr, "result %d code %d\n", a.result, page.response().code());
        check(false, "the login page is not sent");
    }
    std::string token, target;
    check(field(page.response().body, "token", &token) && token.size() == 32, "no token");
    check(field(page.response().body, "target", &target) &&
              target.find_first_of("<>") == std::string::npos,
          "the page's target is not escaped");

    for (size_t at = body.find("{{token}}"); at != std::string::npos; at = body.find("{{token}}"))
        body.replace(at, 9, token);
    std::map<std::string, std::string> fields;
    bool readable = QORAuthzLoginForm::parseForm(body, &fields);
    QORAuthzTestTransaction post;
    a = ask(run, post, "POST", "/dxqor/login", "", false, &body, (setup & 2) != 0, length);
    std::string sid = sessionOf(post.response().headers.get("Set-Cookie"));
    if (sid.empty())
        return 0;
    const std::string& user = fields["username"];
    const char* password = QORAuthzRigSample::passwordOf(user);
    check(readable && password != nullptr && fields["password"] == password,
          "a session without the right password");
    check(sid.size() == 64, "a session identifier of the wrong size");

    if (setup & 8) {
        QORAuthzTestTransaction again;
        ask(run, again, "POST", "/dxqor/login", "", false, &body, true, length);
        check(sessionOf(again.response().headers.get("Set-Cookie")).empty(),
              "a token served twice");
    }

    run.cookie += (run.cookie.empty() ? "" : "; ") + std::string("DXQORSESSION=") + sid;
    QORAuthzTestTransaction use;
    a = ask(run, use, "GET", object, "", false);
    const char* cookieLeft = use.req().headers.get("Cookie");
    if (a.result == qor_continue) {
        const char* id = use.req().headers.get("X-Dxqor-User");
        check(id != nullptr && user == id, "the session let in another user");
        check(cookieLeft == nullptr || std::string(cookieLeft).find(sid) == std::string::npos,
              "the application got the session cookie");
    }

    if (setup & 16) {
        QORAuthzTestTransaction out, after;
        ask(run, out, "GET", "/dxqor/logout", "", false);
        a = ask(run, after, "GET", object, "", false);
        check(a.result != qor_continue || after.req().headers.get("X-Dxqor-User") == nullptr,
              "a session that logged out lets its user in");
    }
    return 0;
}
