// qore2e.h: end-to-end requests against a web server under test, made with
// the curl program on 127.0.0.1 only, and the table rows that say what
// each request must get back. The same rows run against every web server
// with a dxqor adapter: the site they assume (qor_e2e_make_site) and the
// policy behind it are the same for all.
#pragma once
#include <string>
#include <utility>
#include <vector>

struct QORE2ERequest {
    std::string method = "GET";
    // The Host header; the connection always goes to 127.0.0.1.
    std::string host = "protected.test";
    // Sent as it is (curl --path-as-is), query included.
    std::string path = "/";
    std::vector<std::string> headers;  // "Name: value"
    std::string body;
    // "name:password" for Basic authentication; empty for none.
    std::string credentials;
    bool https = false;
    // PEM files of a client certificate and its key (HTTPS only).
    std::string clientCert;
    std::string clientKey;
};

struct QORE2EResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Why there is no response (curl failed); empty otherwise.
    std::string error;

    // The first value of header name (case-insensitive), or null.
    const std::string* header(const std::string& name) const;
};

struct QORE2EClient {
    int httpPort = 0;
    int httpsPort = 0;
    // CA file the HTTPS server's certificate is checked against.
    std::string caFile;
    // Longest a request may take, in seconds (a cap, not an expectation).
    int maxSeconds = 30;

    QORE2EResponse fetch(const QORE2ERequest& request) const;
};

struct QORE2ERow {
    std::string name;
    QORE2ERequest request;
    int status;
    // "Name: fragment": the header is present and its value holds fragment.
    std::vector<std::string> headersHave;
    // Header names that must be absent.
    std::vector<std::string> headersLack;
    std::vector<std::string> bodyHas;
    std::vector<std::string> bodyLacks;
};

// Every way response differs from what row expects, one per line; empty
// when it matches.
std::string qor_e2e_check(const QORE2ERow& row, const QORE2EResponse& response);

// The site every row assumes, made under root:
//   public/index.html          "public page"
//   private/index.html         "private page"
//   admin/index.html           "admin page"
//   forms/index.html           "forms page"
//   cgi/echo (also in each of those directories as echo.cgi)
//        prints "method=", "query=", "user=" (the identity header
//        X-Dxqor-User), "spoof=" (X-Spoofed) and "body=" with the body
//   body/denied.html           a body file for built responses
// Returns false when a file could not be written.
bool qor_e2e_make_site(const std::string& root);

// The identity header the rows check.
extern const char* const kQORE2EIdentityHeader;

// "STATUS", or "STATUS user=NAME" when the body has the echo page's
// identity line, of a GET of path with credentials and a cookie ("" for
// none).
std::string qor_e2e_outcome(const QORE2EClient& client, const std::string& path,
                            const std::string& credentials, const std::string& cookie = "");
// Signs in with the login form that from serves, posted to to (the same
// site or another): the session cookie ("NAME=value"), or "" when none was
// set.
std::string qor_e2e_form_sign_in(const QORE2EClient& from, const QORE2EClient& to,
                                 const std::string& user, const std::string& password);

// Runs argv (searched in PATH) with input on its standard input; its
// standard output in *out (standard error is dropped). The exit status, or
// -1 when it could not run.
int qor_run_program(const std::vector<std::string>& argv, const std::string& input,
                    std::string* out);

// A test CA, a server certificate for 127.0.0.1 and a client certificate
// ("CN=e2e client,O=dxqor test") signed by it, made with the openssl
// program under dir: ca.pem, server.pem, server.key, client.pem,
// client.key. False when openssl failed.
bool qor_e2e_make_certificates(const std::string& dir);
