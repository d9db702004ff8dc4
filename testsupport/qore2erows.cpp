// qore2erows.cpp: the end-to-end rows and the policies behind them.
#include "qore2erows.h"

#include "msg/core/qorwebtransanswerbase.h"

namespace {

typedef QORWebTransAnswerBase A;

QORE2ERequest get(const char* path, const char* host = "protected.test")
{
    QORE2ERequest r;
    r.host = host;
    r.path = path;
    return r;
}

QORE2ERequest withHeaders(QORE2ERequest r, std::vector<std::string> headers)
{
    r.headers = std::move(headers);
    return r;
}

QORE2ERequest post(const char* path, const char* body)
{
    QORE2ERequest r = get(path);
    r.method = "POST";
    r.body = body;
    r.headers = {"Content-Type: text/plain"};
    return r;
}

QORE2ERequest tls(const char* path, const std::string& certs)
{
    QORE2ERequest r = get(path);
    r.https = true;
    r.clientCert = certs + "/client.pem";
    r.clientKey = certs + "/client.key";
    return r;
}

QORTestAuthCommand header(int cmd, const char* name, const char* value)
{
    return {cmd, name, value, 0};
}

QORTestAuthCommand text(int cmd, const std::string& value)
{
    return {cmd, "", value, 0};
}

QORTestAuthCommand number(int cmd, int n)
{
    return {cmd, "", "", n};
}

} // namespace

QORTestAuthScript qor_e2e_scripted_policy(const std::string& site)
{
    QORTestAuthScript s = qor_test_auth_script("protected", "/protected",
                                               {{"GET", "r"}, {"POST", "rm"}}, "static");
    s.branches = {{"/protected", {{"/protected/public", "*"}}}};
    s.headers = {{false, false, kQORE2EIdentityHeader, "alice"},
                 {true, true, "Cache-Control", "private"}};
    const QORTestAuthCommand alice = header(A::qor_req_set_header, kQORE2EIdentityHeader, "alice");
    s.rules = {
        {"/private/echo.cgi/query", "", false, 1, {alice, text(A::qor_req_set_query, "rewritten=1")}},
        {"/private/echo.cgi/method", "", false, 1, {alice, text(A::qor_req_set_method, "PUT")}},
        {"/private/echo.cgi/body", "approve", true, 1, {alice}},
        {"/private/echo.cgi/body", "", true, 3,
         {number(A::qor_rsp_set_response_code, 403), text(A::qor_rsp_set_content_type, "text/plain"),
          text(A::qor_rsp_set_body, "body refused\n")}},
        {"/private/echo.cgi/tls", "", false, 1,
         {header(A::qor_req_set_header, kQORE2EIdentityHeader, "$subject")}},
        {"/private/echo.cgi/hostile-rsp", "", false, 1,
         {alice, header(A::qor_rsp_set_header, "X-Note", "a\r\nInjected: 1")}},
        {"/private/echo.cgi/hostile-req", "", false, 1,
         {header(A::qor_req_set_header, kQORE2EIdentityHeader, "alice\r\nX-Admin: 1")}},
        {"/private/denied", "", false, 3,
         {number(A::qor_rsp_set_response_code, 403), text(A::qor_rsp_set_content_type, "text/html"),
          text(A::qor_rsp_set_body_from_file, site + "/body/denied.html")}},
        {"/private/outside", "", false, 3,
         {number(A::qor_rsp_set_response_code, 403),
          text(A::qor_rsp_set_body_from_file, "/etc/passwd")}},
        {"/private/login", "", false, 4,
         {number(A::qor_rsp_set_response_code, 401),
          header(A::qor_rsp_set_header, "WWW-Authenticate", "Basic realm=\"dxqor\"")}},
        {"/private/moved-post", "", true, 1, {alice, text(A::qor_req_set_uri, "/cgi/echo")}},
        {"/private/moved", "", false, 1, {text(A::qor_req_set_uri, "/public/index.html")}},
        {"/private/traversal", "", false, 1, {text(A::qor_req_set_uri, "/private/../../etc/passwd")}},
        {"/private/badcode", "", false, 3, {number(A::qor_rsp_set_response_code, 999)}},
        // One rule on every server: each of these was let through by one
        // adapter and refused by the other.
        {"/private/dots", "", false, 1, {text(A::qor_req_set_uri, "/public/../public/index.html")}},
        {"/private/space", "", false, 1, {text(A::qor_req_set_uri, "/public/a b")}},
        {"/private/ctlquery", "", false, 1, {alice, text(A::qor_req_set_query, "a=\x01")}},
        {"/private/switch", "", false, 3, {number(A::qor_rsp_set_response_code, 101)}},
        {"/private/bigheader", "", false, 1,
         {alice, header(A::qor_rsp_set_header, "X-Big", std::string(20000, 'x').c_str())}},
        {"", "Content-Type: text/plain", false, 3,
         {number(A::qor_rsp_set_response_code, 451), text(A::qor_rsp_set_content_type, "text/plain"),
          text(A::qor_rsp_set_body, "withheld\n")}},
    };
    s.rules.back().response = true;
    return s;
}

std::vector<QORE2EStepRow> qor_e2e_scripted_rows(const std::string& certs)
{
    const char* id = kQORE2EIdentityHeader;
    return {
        {kQORE2ENothing, {"open page decided by the cache", get("/public/index.html"), 200, {},
                    {"Cache-Control"}, {"public page"}, {}}},
        {kQORE2ENothing, {"asked page carries on with the identity", get("/private/echo.cgi"), 200,
                    {"Cache-Control: private"}, {}, {"user=alice", "method=GET"}, {}}},
        {kQORE2ENothing, {"spoofed identity replaced on an asked page",
                    withHeaders(get("/private/echo.cgi"),
                                {std::string(id) + ": mallory", "X-Spoofed: yes"}),
                    200, {}, {}, {"user=alice"}, {"mallory", "spoof=yes"}}},
        {kQORE2ENothing, {"spoofed identity removed on a cache-decided page",
                    withHeaders(get("/public/echo.cgi"), {std::string(id) + ": mallory"}), 200,
                    {}, {"Cache-Control"}, {"user=\n"}, {"mallory"}}},
        {kQORE2ENothing, {"unprotected virtual host never asks",
                    withHeaders(get("/private/echo.cgi", "static.test"),
                                {std::string(id) + ": mallory"}),
                    200, {}, {"Cache-Control"}, {"user=\n"}, {"alice", "mallory"}}},
        {kQORE2ENothing, {"host without dxqor", get("/private/index.html", "plain.test"), 200, {},
                    {"Cache-Control"}, {"private page"}, {}}},
        {kQORE2ENothing, {"query rewritten", get("/private/echo.cgi/query?orig=1"), 200, {}, {},
                    {"query=rewritten=1"}, {"orig"}}},
        {kQORE2ENothing, {"method rewritten", get("/private/echo.cgi/method"), 200, {}, {},
                    {"method=PUT"}, {}}},
        {kQORE2ENothing, {"body read, inspected and replayed",
                    post("/private/echo.cgi/body", "please approve this"), 200, {}, {},
                    {"user=alice", "body=please approve this"}, {}}},
        {kQORE2ENothing, {"chunked body read, inspected and replayed with its length",
                    withHeaders(post("/private/echo.cgi/body", "please approve this"),
                                {"Content-Type: text/plain", "Transfer-Encoding: chunked"}),
                    200, {}, {}, {"user=alice", "body=please approve this"}, {}}},
        {kQORE2ENothing, {"directory with dxqor off", get("/cgi/echo"), 200, {}, {"Cache-Control"},
                    {"user=\n"}, {"alice"}}},
        {kQORE2ENothing, {"body refused by its content", post("/private/echo.cgi/body", "reject"), 403,
                    {"Content-Type: text/plain"}, {}, {"body refused"}, {"body="}}},
        {kQORE2ENothing, {"built response from a body file", get("/private/denied"), 403,
                    {"Content-Type: text/html", "Content-Length: 24"}, {},
                    {"denied by policy"}, {}}},
        {kQORE2ENothing, {"body file outside the allowed directory", get("/private/outside"), 500, {},
                    {}, {}, {"root:"}}},
        {kQORE2ENothing, {"default response with a challenge", get("/private/login"), 401,
                    {"WWW-Authenticate: Basic"}, {}, {}, {}}},
        {kQORE2ENothing, {"URI rewritten and mapped again", get("/private/moved"), 200, {}, {},
                    {"public page"}, {}}},
        {kQORE2ENothing, {"URI rewritten, the body read for the server carried over",
                    post("/private/moved-post", "carried over"), 200, {}, {},
                    {"user=alice", "body=carried over"}, {}}},
        {kQORE2ENothing, {"hostile response header refused",
                    get("/private/echo.cgi/hostile-rsp"), 500, {}, {"Injected", "X-Note"}, {},
                    {"user="}}},
        {kQORE2ENothing, {"hostile request header refused",
                    get("/private/echo.cgi/hostile-req"), 500, {}, {"X-Admin"}, {}, {"user="}}},
        {kQORE2ENothing, {"path traversal in a rewritten URI refused", get("/private/traversal"), 500,
                    {}, {}, {}, {"root:"}}},
        {kQORE2ENothing, {"status code out of range refused", get("/private/badcode"), 500, {}, {}, {},
                    {}}},
        {kQORE2ENothing, {"dot segments refused, also when they stay inside", get("/private/dots"),
                    500, {}, {}, {}, {"public page"}}},
        {kQORE2ENothing, {"space in a rewritten URI refused", get("/private/space"), 500, {}, {}, {},
                    {}}},
        {kQORE2ENothing, {"control byte in a rewritten query refused", get("/private/ctlquery"), 500,
                    {}, {}, {}, {"user=alice"}}},
        {kQORE2ENothing, {"1xx status for a built response refused", get("/private/switch"), 500, {},
                    {}, {}, {}}},
        {kQORE2ENothing, {"header value longer than any server is handed refused",
                    get("/private/bigheader"), 500, {}, {"X-Big"}, {}, {"user=alice"}}},
        {kQORE2ENothing, {"response shown to the server, its headers applied",
                    get("/public/index.html", "inspect.test"), 200, {"Cache-Control: private"}, {},
                    {"public page"}, {}}},
        {kQORE2ENothing, {"response replaced by the server", get("/private/echo.cgi", "inspect.test"),
                    451, {"Content-Type: text/plain", "Content-Length: 9"}, {}, {"withheld"},
                    {"method="}}},
        {kQORE2ENothing, {"client certificate over HTTPS", tls("/private/echo.cgi/tls", certs), 200, {},
                    {}, {"user=CN=e2e client"}, {}}},
        {kQORE2EStopServer, {"authorization server down", get("/private/echo.cgi"), 503, {}, {}, {},
                       {"user="}}},
        {kQORE2ENothing, {"open page still served from the cache", get("/public/index.html"), 200, {},
                    {}, {"public page"}, {}}},
        {kQORE2EStartServer, {"authorization server back", get("/private/echo.cgi"), 200, {}, {},
                        {"user=alice"}, {}}},
    };
}

namespace {

QORE2ERequest as(QORE2ERequest r, const char* credentials)
{
    r.credentials = credentials;
    return r;
}

} // namespace

const char kQORE2EAuthzdPolicy[] =
    "[virtual-host protected]\n"
    "branch = /protected\n"
    "permission = DELETE w\n"
    "[virtual-host static]\n"
    "unprotected = yes\n"
    "[object /protected]\n"
    "unauthenticated = *\n"
    "[object /protected/private]\n"
    "user = alice r\n"
    "group = staff rw\n"
    "[object /protected/admin]\n"
    "group = admins *\n"
    "[object /protected/forms]\n"
    "method = form\n"
    "user = alice r\n"
    "[object /protected/private/echo.cgi/alone]\n"
    "user = alice r\n";

std::vector<QORE2EStepRow> qor_e2e_authzd_rows()
{
    const std::string spoof = std::string(kQORE2EIdentityHeader) + ": mallory";
    return {
        {kQORE2ENothing, {"open page from the cache", get("/public/index.html"), 200, {}, {},
                    {"public page"}, {}}},
        {kQORE2ENothing, {"protected page asks for a login", get("/private/echo.cgi"), 401,
                    {"WWW-Authenticate: Basic"}, {}, {}, {"user="}}},
        {kQORE2ENothing, {"wrong password", as(get("/private/echo.cgi"), "alice:rabbit"), 401, {}, {},
                    {}, {"user="}}},
        {kQORE2ENothing, {"signed-in user reaches the page with the identity header",
                    as(withHeaders(get("/private/echo.cgi"), {spoof}), "alice:wonderland"), 200,
                    {}, {}, {"user=alice"}, {"mallory"}}},
        {kQORE2ENothing, {"admin area refused to a user outside the group",
                    as(get("/admin/index.html"), "alice:wonderland"), 403, {}, {}, {},
                    {"admin page"}}},
        {kQORE2ENothing, {"admin area for the group", as(get("/admin/echo.cgi"), "dave:diver"), 200, {},
                    {}, {"user=dave"}, {}}},
        {kQORE2ENothing, {"directory URL decided by its own object", as(get("/admin/"), "alice:wonderland"),
                    403, {}, {}, {}, {"admin page"}}},
        {kQORE2ENothing, {"directory URL asks for a login", get("/private/"), 401, {}, {}, {},
                    {"private page"}}},
        {kQORE2ENothing, {"directory URL for the group", as(get("/admin/"), "dave:diver"), 200, {}, {},
                    {"admin page"}, {}}},
        {kQORE2ENothing, {"spoofed identity removed from an open page",
                    withHeaders(get("/public/echo.cgi"), {spoof}), 200, {}, {}, {"user=\n"},
                    {"mallory"}}},
        {kQORE2ENothing, {"dot segments resolved before the decision",
                    get("/public/../private/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kQORE2ENothing, {"encoded dot segments resolved before the decision",
                    get("/public/%2e%2e/private/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kQORE2ENothing, {"encoded unreserved characters decoded before the decision",
                    get("/%70rivate/echo.cgi"), 401, {}, {}, {}, {"user="}}},
        {kQORE2ENothing, {"unprotected virtual host", get("/private/index.html", "static.test"), 200,
                    {}, {}, {"private page"}, {}}},
        {kQORE2ENothing, {"the plug-in's figures on the web server's status page",
                    get("/dxqor-status", "plain.test"), 200, {"Content-Type: text/plain"}, {},
                    {"process ", "unavailable_503 ", "answer_wait_expired ", "cache_hits ",
                     "questions ", "decision_cache_hits "}, {}}},
        {kQORE2EStopServer, {"authorization server stopped", as(get("/private/echo.cgi"),
                                                           "alice:wonderland"),
                       503, {}, {}, {}, {"user="}}},
        {kQORE2EStartServer, {"authorization server started again",
                        as(get("/private/echo.cgi"), "alice:wonderland"), 200, {}, {},
                        {"user=alice"}, {}}},
    };
}

std::vector<QORE2EStepRow> qor_e2e_method_rows(int traceStatus, bool traceDecided)
{
    // TRACE is answered by the web server in a step before the access
    // check: a server that echoes it must have decided first.
    const char* const methods[] = {"GET",   "HEAD",     "POST",      "PUT",   "DELETE",
                                   "OPTIONS", "TRACE", "PROPFIND", "FROBNICATE"};
    std::vector<QORE2EStepRow> rows;
    for (const char* m : methods) {
        const std::string name = m;
        const bool trace = name == "TRACE";
        QORE2ERequest r = get("/admin/echo.cgi");
        r.method = m;
        const int before = trace && !traceDecided ? traceStatus : 0;
        // Nothing of the page or of the request reaches the others.
        rows.push_back({kQORE2ENothing, {name + " without a user", r, before ? before : 401, {}, {},
                                         {}, {"user=", "admin page"}}});
        rows.push_back({kQORE2ENothing, {name + " by a user outside the group", as(r, "bob:builder"),
                                         before ? before : 403, {}, {}, {},
                                         {"user=", "Authorization"}}});
        std::vector<std::string> echo;
        if (!trace && name != "HEAD")
            echo = {"user=dave"};
        rows.push_back({kQORE2ENothing, {name + " by a user of the group", as(r, "dave:diver"),
                                         trace ? traceStatus : 200, {}, {}, echo, {}}});
    }
    return rows;
}
