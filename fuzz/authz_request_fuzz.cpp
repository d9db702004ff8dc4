// authz_request_fuzz.cpp: arbitrary bytes as the raw HTTP message (request
// line, headers, Basic credentials, cookies, body) and the URI of a web
// request question, marshalled as the plug-in does and decided by the
// authorization server under the sample policy, on a service fresh for
// each input. Whatever the bytes, the server must answer (or refuse a
// message without a request line), the plug-in must be able to apply the
// answer, and the answer must pass the rig's checks: no header split, no
// redirection off the site, no identity but a real user's.
//
// Input: byte 0 sets up the question (below); the rest is the message,
// or "URI\0message" when it holds a NUL, the URI being the question's
// path with its query after a "?". Without a NUL the question's URI and
// query are the request line's. "{{session}}" anywhere in the message is
// replaced by the identifier of a session of alice's.
//   byte 0  bits 0-2: the virtual host the question names (kHosts);
//           bit 3: an SSL session; bit 4: the question carries no URI;
//           bit 5: the body has been requested; bit 6: the session has
//           expired; bit 7: asked twice
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "authz/qorauthzsessions.h"
#include "qorauthzservicerig.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "authz_request_fuzz: %s\n", what);
        abort();
    }
}

const char* const kHosts[] = {nullptr, "www", "secure", "win", "open", "nowhere", "www", "win"};

void replaceAll(std::string* s, const std::string& from, const std::string& to)
{
    for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
        s->replace(at, from.size(), to);
}

// The request line's target: the second word.
std::string requestTarget(const std::string& message)
{
    size_t sp = message.find(' ');
    if (sp == std::string::npos)
        return "/";
    size_t end = message.find_first_of(" \r\n", sp + 1);
    return message.substr(sp + 1, end == std::string::npos ? std::string::npos : end - sp - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 16384)
        return 0;
    uint8_t setup = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t nul = rest.find('\0');
    std::string message = nul == std::string::npos ? rest : rest.substr(nul + 1);
    std::string uri = nul == std::string::npos ? requestTarget(message) : rest.substr(0, nul);

    QORAuthzServiceRig* sample = QORAuthzServiceRig::sample();
    check(sample != nullptr, "the sample policy does not load");
    QORAuthzServiceRig& r = *sample;
    check(r.restart() == qor_s_ok, "the service does not start");
    // An expired session is one last used longer ago than any lifetime.
    int64_t now = r.service().now();
    std::string session;
    check(r.service().sessions()->create("alice", (setup & 0x40) ? now - 100000 : now,
                                         &session) == qor_s_ok,
          "no session");
    replaceAll(&message, "{{session}}", session);

    QORTestTransaction t;
    QORTestRequest& req = t.request();
    if (const char* host = kHosts[setup & 7])
        t.addServer(host);
    if (setup & 8) {
        t.addSSLSession();
        req.security = 1;
    }
    size_t q = uri.find('?');
    req.uri = uri.substr(0, q);
    req.hasQuery = q != std::string::npos;
    req.query = req.hasQuery ? uri.substr(q + 1) : "";
    if (setup & 0x10)
        t.failOn("req.getURI", qor_s_not_available);
    req.setBodyRequested((setup & 0x20) != 0);
    req.httpBuffer = message;
    req.headers.add("X-Dxqor-User", "mallory");

    for (int round = 0; round < ((setup & 0x80) ? 2 : 1); round++) {
        QORAuthzServiceRig::Asked a = r.ask(t);
        const char* problem = r.sampleProblem(t, a);
        if (problem != nullptr) {
            fprintf(stderr, "handled 0x%08x type %d applied 0x%08x result %d code %d\n",
                    (unsigned int)a.handled, a.answerType, (unsigned int)a.applied, a.result,
                    t.response().code());
            check(false, problem);
        }
    }
    return 0;
}
