// qore2e.cpp: curl-driven requests, row checks, the shared site and the
// test certificates.
#include "qore2e.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "qorwebserver.h"

const char* const kQORE2EIdentityHeader = "X-Dxqor-User";

int qor_run_program(const std::vector<std::string>& argv, const std::string& input,
                    std::string* out)
{
    int in[2], outp[2];
    if (pipe(in) != 0)
        return -1;
    if (pipe(outp) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(outp[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, 2);
        close(in[0]);
        close(in[1]);
        close(outp[0]);
        close(outp[1]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(outp[1]);
    if (pid < 0) {
        close(in[1]);
        close(outp[0]);
        return -1;
    }
    // A body larger than the pipe is written while the output is read.
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    char buf[8192];
    for (;;) {
        pollfd fds[2] = {{outp[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int n = poll(fds, in[1] >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (in[1] >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(in[1], input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = read(outp[0], buf, sizeof buf);
            if (r <= 0)
                break;
            out->append(buf, static_cast<size_t>(r));
        }
    }
    if (in[1] >= 0)
        close(in[1]);
    close(outp[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

bool parseResponse(const std::string& text, QORE2EResponse* rsp)
{
    size_t at = 0;
    for (;;) {
        size_t end = text.find("\r\n\r\n", at);
        if (end == std::string::npos || text.compare(at, 5, "HTTP/") != 0)
            return false;
        size_t sp = text.find(' ', at);
        if (sp == std::string::npos || sp > end)
            return false;
        int status = std::atoi(text.c_str() + sp + 1);
        if (status >= 100 && status < 200) {
            at = end + 4;
            continue;
        }
        rsp->status = status;
        size_t line = text.find("\r\n", at) + 2;
        while (line < end) {
            size_t next = text.find("\r\n", line);
            std::string h = text.substr(line, next - line);
            size_t colon = h.find(':');
            if (colon != std::string::npos) {
                size_t v = h.find_first_not_of(" \t", colon + 1);
                rsp->headers.emplace_back(h.substr(0, colon),
                                          v == std::string::npos ? "" : h.substr(v));
            }
            line = next + 2;
        }
        rsp->body = text.substr(end + 4);
        return true;
    }
}

} // namespace

const std::string* QORE2EResponse::header(const std::string& name) const
{
    for (auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
            return &h.second;
    return nullptr;
}

QORE2EResponse QORE2EClient::fetch(const QORE2ERequest& r) const
{
    int port = r.https ? httpsPort : httpPort;
    std::vector<std::string> argv = {"curl", "-sS", "-i", "--path-as-is", "--max-time",
                                     std::to_string(maxSeconds), "-H", "Expect:",
                                     "-H", "Host: " + r.host};
    if (r.method == "HEAD")
        argv.push_back("-I");
    else
        argv.insert(argv.end(), {"-X", r.method});
    for (auto& h : r.headers)
        argv.insert(argv.end(), {"-H", h});
    if (!r.body.empty())
        argv.insert(argv.end(), {"--data-binary", "@-"});
    if (!r.credentials.empty())
        argv.insert(argv.end(), {"-u", r.credentials});
    if (r.https) {
        argv.insert(argv.end(), {"--cacert", caFile});
        if (!r.clientCert.empty())
            argv.insert(argv.end(), {"--cert", r.clientCert, "--key", r.clientKey});
    }
    argv.push_back(std::string(r.https ? "https" : "http") + "://127.0.0.1:"
                   + std::to_string(port) + r.path);
    QORE2EResponse rsp;
    std::string out;
    int rc = qor_run_program(argv, r.body, &out);
    if (rc != 0)
        rsp.error = "curl exited with " + std::to_string(rc);
    else if (!parseResponse(out, &rsp))
        rsp.error = "unparsable response: " + out.substr(0, 200);
    return rsp;
}

std::string qor_e2e_check(const QORE2ERow& row, const QORE2EResponse& rsp)
{
    if (!rsp.error.empty())
        return rsp.error + "\n";
    std::string why;
    if (rsp.status != row.status)
        why += "status " + std::to_string(rsp.status) + ", expected "
               + std::to_string(row.status) + "\n";
    for (auto& want : row.headersHave) {
        size_t colon = want.find(':');
        std::string name = want.substr(0, colon);
        std::string fragment = colon == std::string::npos ? "" : want.substr(colon + 2);
        const std::string* v = rsp.header(name);
        if (v == nullptr || v->find(fragment) == std::string::npos)
            why += "header " + want + " missing (" + (v ? *v : std::string("absent")) + ")\n";
    }
    for (auto& name : row.headersLack)
        if (rsp.header(name) != nullptr)
            why += "header " + name + " present: " + *rsp.header(name) + "\n";
    for (auto& s : row.bodyHas)
        if (rsp.body.find(s) == std::string::npos)
            why += "body lacks \"" + s + "\"\n";
    for (auto& s : row.bodyLacks)
        if (rsp.body.find(s) != std::string::npos)
            why += "body has \"" + s + "\"\n";
    if (!why.empty())
        why += "body: " + rsp.body.substr(0, 300) + "\n";
    return why;
}

bool qor_e2e_make_site(const std::string& root)
{
    static const char kEcho[] =
        "#!/bin/sh\n"
        "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
        "echo \"method=$REQUEST_METHOD\"\n"
        "echo \"query=$QUERY_STRING\"\n"
        "echo \"user=$HTTP_X_DXQOR_USER\"\n"
        "echo \"spoof=$HTTP_X_SPOOFED\"\n"
        "printf 'body='\n"
        "if [ -n \"$CONTENT_LENGTH\" ]; then head -c \"$CONTENT_LENGTH\"; fi\n"
        "echo\n";
    bool ok = true;
    for (const char* area : {"public", "private", "admin", "forms"}) {
        std::string dir = root + "/" + area;
        ok = ok && qor_make_dirs(dir)
             && qor_write_file(dir + "/index.html", std::string(area) + " page\n")
             && qor_write_file(dir + "/echo.cgi", kEcho, true);
    }
    ok = ok && qor_make_dirs(root + "/cgi") && qor_write_file(root + "/cgi/echo", kEcho, true);
    ok = ok && qor_make_dirs(root + "/body")
         && qor_write_file(root + "/body/denied.html", "<p>denied by policy</p>\n");
    ok = ok && qor_write_file(root + "/index.html", "site root\n");
    return ok;
}

bool qor_e2e_make_certificates(const std::string& dir)
{
    std::string out;
    auto ssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        return qor_run_program(args, "", &out) == 0;
    };
    const std::string d = dir + "/";
    return qor_make_dirs(dir)
           && ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=dxqor e2e CA", "-keyout", d + "ca.key", "-out", d + "ca.pem"})
           && ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                   d + "server.key", "-out", d + "server.csr"})
           && qor_write_file(d + "server.ext", "subjectAltName=IP:127.0.0.1,DNS:protected.test\n")
           && ssl({"x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
                   d + "ca.key", "-CAcreateserial", "-days", "2", "-extfile", d + "server.ext",
                   "-out", d + "server.pem"})
           && ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/O=dxqor test/CN=e2e client",
                   "-keyout", d + "client.key", "-out", d + "client.csr"})
           && ssl({"x509", "-req", "-in", d + "client.csr", "-CA", d + "ca.pem", "-CAkey",
                   d + "ca.key", "-CAcreateserial", "-days", "2", "-out", d + "client.pem"});
}

std::string qor_e2e_outcome(const QORE2EClient& client, const std::string& path,
                            const std::string& credentials, const std::string& cookie)
{
    QORE2ERequest r;
    r.path = path;
    r.credentials = credentials;
    if (!cookie.empty())
        r.headers = {"Cookie: " + cookie};
    QORE2EResponse got = client.fetch(r);
    size_t user = got.body.find("user=");
    std::string line =
        user == std::string::npos ? "" : " " + got.body.substr(user, got.body.find('\n', user) - user);
    return std::to_string(got.status) + line;
}

std::string qor_e2e_form_sign_in(const QORE2EClient& from, const QORE2EClient& to,
                                 const std::string& user, const std::string& password)
{
    QORE2ERequest login;
    login.path = "/dxqor/login";
    std::string page = from.fetch(login).body, marker = "name=\"token\" value=\"";
    size_t at = page.find(marker);
    if (at == std::string::npos)
        return "";
    login.method = "POST";
    login.headers = {"Content-Type: application/x-www-form-urlencoded"};
    login.body = "username=" + user + "&password=" + password + "&target=%2F&token=" +
                 page.substr(at + marker.size(), page.find('"', at + marker.size()) - at - marker.size());
    QORE2EResponse got = to.fetch(login);
    const std::string* set = got.header("Set-Cookie");
    return got.status == 303 && set ? set->substr(0, set->find(';')) : std::string();
}
