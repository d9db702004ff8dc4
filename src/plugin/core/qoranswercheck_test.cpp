#include "plugin/core/qoranswercheck.h"

#include <gtest/gtest.h>
#include <climits>
#include <cstring>
#include <string>

namespace {

enum Kind { name, value, method, version, query, path, built, fallback };

struct Row {
    Kind kind;
    std::string text;  // the code, in decimal, for built and fallback
    bool ok;
    const char* why;
    const char* decoded = nullptr;  // for an accepted path: what it decodes to
};

bool check(const QORAnswerLimits& limits, const Row& r, std::string* decoded)
{
    const char* s = r.text.data();
    size_t n = r.text.size();
    int major = 0, minor = 0;
    switch (r.kind) {
    case name: return qor_answer_header_name(s, n);
    case value: return qor_answer_header_value(limits, s, n);
    case method: return qor_answer_method(s, n);
    case version: return qor_answer_version(s, n, &major, &minor);
    case query: return qor_answer_query(limits, s, n);
    case built: return qor_answer_built_status(std::stoi(r.text));
    case fallback: return qor_answer_default_status(std::stoi(r.text));
    case path: break;
    }
    std::string out(n, '\0');
    size_t length = 0;
    if (!qor_answer_path(limits, s, n, &out[0], &length))
        return false;
    *decoded = out.substr(0, length);
    return true;
}

// Every row answers the same under each server's default request limits
// (Apache: LimitRequestFieldSize and LimitRequestLine 8190; nginx:
// large_client_header_buffers 8k) and under the far larger ones a site may
// configure (the end-to-end Apache: 262144).
TEST(AnswerCheck, OneRuleUnderEveryServersLimits)
{
    const Row rows[] = {
        {name, "X-Dxqor-User", true, "a token"},
        {name, "X User", false, "a space splits the header line"},
        {name, "X:User", false, "a colon ends the name early"},
        {name, "", false, "empty"},
        {name, std::string(257, 'a'), false, "longer than any name a server keeps"},
        {value, "Basic realm=\"x\"", true, "quotes and blanks are text"},
        {value, "a\r\nInjected: 1", false, "response splitting"},
        {value, "a\nb", false, "a bare LF ends the line for lenient parsers"},
        {value, std::string("a\0b", 3), false, "a NUL cuts the value in C strings"},
        {value, std::string(8000, 'x'), true, "within both servers' limit"},
        {value, std::string(20000, 'x'), false, "longer than any server is handed"},
        {method, "PROPFIND", true, "an extension method"},
        {method, "GET /", false, "a method with a space forges the request line"},
        {method, std::string(33, 'A'), false, "longer than any method"},
        {version, "HTTP/1.0", true, "a version"},
        {version, "HTTP/1.1 ", false, "trailing blank"},
        {version, "HTTPS/1.", false, "not HTTP"},
        {query, "a=1&b=%20", true, "escaped blank"},
        {query, "a=1#f", false, "a fragment is never sent"},
        {query, "a b", false, "a space splits the request line"},
        {query, "a=\x01", false, "a control byte"},
        {query, std::string(9000, 'q'), false, "longer than the request line"},
        {path, "/public/index.html", true, "plain", "/public/index.html"},
        {path, "/%70ublic/x", true, "escapes are decoded", "/public/x"},
        {path, "/a/...b/.x", true, "dots inside a segment are text", "/a/...b/.x"},
        {path, "/a/b/", true, "trailing slash kept", "/a/b/"},
        {path, "/a/../b", false, "dot segments are refused, not resolved"},
        {path, "/a/./b", false, "a single dot segment"},
        {path, "/a/..", false, "a trailing dot segment"},
        {path, "/a/%2e%2E/b", false, "an escaped dot segment"},
        {path, "/a\\..\\b", false, "backslash separates segments too"},
        {path, "/a/%2fb", false, "an escaped slash makes another segment"},
        {path, "/a%00b", false, "an escaped NUL"},
        {path, "/a%0d%0aX", false, "an escaped line break"},
        {path, "/a%zz", false, "not an escape"},
        {path, "/a%2", false, "an escape cut short"},
        {path, "/a b", false, "a space splits the request line"},
        {path, "/a?q", false, "a query belongs in the query"},
        {path, "relative", false, "not absolute"},
        {path, "/" + std::string(9000, 'p'), false, "longer than the request line"},
        {built, "200", true, "lowest final status"},
        {built, "101", false, "a switch of protocol is no response"},
        {built, "600", false, "beyond the status classes"},
        {fallback, "401", true, "a challenge"},
        {fallback, "200", false, "a default response is an error or a redirect"},
        {fallback, "600", false, "beyond the status classes"},
    };
    const QORAnswerLimits servers[] = {{8190, 8190}, {8192, 8192}, {262144, 262144}};
    for (const QORAnswerLimits& limits : servers) {
        for (const Row& r : rows) {
            std::string decoded;
            EXPECT_EQ(check(limits, r, &decoded), r.ok)
                << r.why << ": " << r.text.substr(0, 40) << " under " << limits.maxURI;
            if (r.decoded != nullptr) {
                EXPECT_EQ(decoded, r.decoded) << r.text;
            }
        }
    }
}

TEST(AnswerCheck, BodyFilesStayInsideTheirDirectory)
{
    const struct {
        const char* directory;
        const char* file;
        const char* resolved;  // null: refused
    } rows[] = {
        {"/etc", "/etc/./passwd", "/etc/passwd"},
        {"/etc/", "/etc/passwd", "/etc/passwd"},
        {"/etc/ssl", "/etc/passwd", nullptr},
        {"/et", "/etc/passwd", nullptr},  // a prefix is not a parent
        {"/etc", "/etc", nullptr},        // the directory itself
        {"", "/etc/passwd", nullptr},
        {"/etc", "/etc/no-such-file", nullptr},
    };
    for (const auto& r : rows) {
        char resolved[PATH_MAX];
        bool ok = qor_answer_body_file(r.directory, r.file, resolved);
        EXPECT_EQ(ok, r.resolved != nullptr) << r.directory << " " << r.file;
        if (ok && r.resolved != nullptr) {
            EXPECT_STREQ(resolved, r.resolved);
        }
    }
}

} // namespace
