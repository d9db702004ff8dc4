// qorauthzrequest.h: QORAuthzHTTPRequest, the parts of a request's raw
// HTTP message that the server decides on (method, headers, body), read
// from a private copy: the message lies in shared memory the plug-in can
// still write. Also the Basic credentials of an Authorization value.
#pragma once
#include <string>
#include <utility>
#include <vector>

class QORAuthzHTTPRequest {
public:
    // Copies and parses message; false when it has no request line.
    // Header names are kept in lower case; lines without a colon are
    // skipped.
    bool parse(const unsigned char* message, int length);

    const std::string& method() const { return m_method; }
    // The path of the request line without its query (for requests whose
    // question carries no URI).
    const std::string& target() const { return m_target; }
    // The first value of the header called name (lower case), or null.
    const std::string* header(const char* name) const;
    const std::vector<std::pair<std::string, std::string>>& headers() const { return m_headers; }
    const std::string& body() const { return m_body; }
    // Every Cookie header's pairs, in order, as one "a=1; b=2" text.
    std::string cookies() const;

private:
    std::string m_copy;
    std::string m_method;
    std::string m_target;
    std::vector<std::pair<std::string, std::string>> m_headers;
    std::string m_body;
};

// The name and password of a "Basic" Authorization value; false when the
// scheme is another, the Base64 is not well formed or there is no colon.
bool qor_authz_basic_credentials(const std::string& value, std::string* user,
                                 std::string* password);

// The value of the first cookie called name in a Cookie text; false when
// there is none.
bool qor_authz_cookie(const std::string& cookies, const std::string& name, std::string* value);
// The Cookie text without the cookies called name.
std::string qor_authz_without_cookie(const std::string& cookies, const std::string& name);
