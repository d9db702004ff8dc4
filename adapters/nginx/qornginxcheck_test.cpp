#include "qornginxcheck.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

// What an answer may hand to nginx: each text against the check it meets.
TEST(NginxChecks, AnswerTextsAreCheckedBeforeNginxSeesThem)
{
    struct Row {
        bool (*check)(const char*, size_t);
        const char* text;
        bool ok;
    };
    const Row rows[] = {
        {qor_ngx_valid_header_name, "X-Dxqor-User", true},
        {qor_ngx_valid_header_name, "X User", false},
        {qor_ngx_valid_header_name, "X:User", false},
        {qor_ngx_valid_header_name, "", false},
        {qor_ngx_valid_header_value, "Basic realm=\"x\"", true},
        {qor_ngx_valid_header_value, "a\r\nInjected: 1", false},
        {qor_ngx_valid_header_value, "a\nb", false},
        {qor_ngx_valid_method, "PROPFIND", true},
        {qor_ngx_valid_method, "GET /", false},
        {qor_ngx_valid_query, "a=1&b=%20", true},
        {qor_ngx_valid_query, "a=1#f", false},
        {qor_ngx_valid_query, "a b", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.check(r.text, strlen(r.text)), r.ok) << r.text;
    EXPECT_FALSE(qor_ngx_valid_header_value("a\0b", 3));
}

TEST(NginxChecks, URIsAreDecodedAndDotSegmentsResolved)
{
    const struct {
        const char* uri;
        const char* path;  // null: refused
    } rows[] = {
        {"/a/./b/../c", "/a/c"},  {"/%70ublic/x", "/public/x"}, {"/a/..", "/"},
        {"/a/b/", "/a/b/"},       {"/a/%2e%2e/%2e%2e/etc", nullptr},
        {"/..", nullptr},         {"relative", nullptr},         {"/a%00b", nullptr},
        {"/a%0d%0aX", nullptr},   {"/a%zz", nullptr},            {"/a?q", nullptr},
    };
    for (const auto& r : rows) {
        std::string path;
        bool ok = qor_ngx_normalize_uri(r.uri, strlen(r.uri), &path);
        EXPECT_EQ(ok, r.path != nullptr) << r.uri;
        if (ok && r.path != nullptr) {
            EXPECT_EQ(path, r.path) << r.uri;
        }
    }
}

TEST(NginxChecks, VersionsStatusesFilesAndLogTexts)
{
    unsigned version = 0;
    EXPECT_TRUE(qor_ngx_parse_version("HTTP/1.0", 8, &version));
    EXPECT_EQ(version, 1000u);
    EXPECT_FALSE(qor_ngx_parse_version("HTTP/1.1 ", 9, &version));
    EXPECT_FALSE(qor_ngx_parse_version("HTTPS/1.", 8, &version));
    EXPECT_TRUE(qor_ngx_valid_built_status(200));
    EXPECT_FALSE(qor_ngx_valid_built_status(101));
    EXPECT_FALSE(qor_ngx_valid_default_status(200));
    EXPECT_FALSE(qor_ngx_valid_default_status(600));

    std::string resolved;
    EXPECT_TRUE(qor_ngx_resolve_body_file("/etc", "/etc/./passwd", &resolved));
    EXPECT_EQ(resolved, "/etc/passwd");
    EXPECT_FALSE(qor_ngx_resolve_body_file("/etc/ssl", "/etc/passwd", &resolved));
    EXPECT_FALSE(qor_ngx_resolve_body_file("/et", "/etc/passwd", &resolved));
    EXPECT_FALSE(qor_ngx_resolve_body_file("", "/etc/passwd", &resolved));

    EXPECT_EQ(qor_ngx_escape_log_text("al\"ice\n\\", 8), "al\\x22ice\\x0A\\x5C");
}

} // namespace
