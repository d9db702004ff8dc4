#include "plugin/core/qorrequest.h"

#include <gtest/gtest.h>
#include <string>

#include "qortesttransaction.h"

TEST(QORRequestContentLength, ReadsTheWholeHeaderValueAsANumber)
{
    const struct {
        const char* value;   // null: no header
        QORStatus status;
        unsigned length;
    } cases[] = {
        {"12", qor_s_ok, 12}, {"0", qor_s_ok, 0}, {"0x10", qor_s_ok, 16},
        {"4294967295", qor_s_ok, 4294967295u}, {"12abc", qor_s_invalid_argument, 12},
        {"abc", qor_s_invalid_argument, 0}, {"12 ", qor_s_invalid_argument, 12},
        {nullptr, qor_s_not_available, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(none)");
        QORTestRequest r;
        if (c.value)
            r.headers.add("content-length", c.value);
        unsigned length = 7;
        EXPECT_EQ(r.getContentLength(&length), c.status);
        EXPECT_EQ(length, c.length);
        EXPECT_TRUE(r.callLog().contains("req.getUTF8Header(Content-Length)"));
    }
}

TEST(QORRequestFullURL, BuildsSchemeHostPortPathAndQuery)
{
    const struct {
        int security;
        int port;
        const char* uri;
        const char* query;   // null: no query
        const char* expected;
    } cases[] = {
        {1, 443, "/a", nullptr, "https://www.example.com/a"},
        {0, 443, "/a", nullptr, "http://www.example.com:443/a"},
        {0, 80, "/a", nullptr, "http://www.example.com/a"},
        {1, 80, "/a", nullptr, "https://www.example.com:80/a"},
        {2, 443, "/a", nullptr, "https://www.example.com/a"},
        {0, 8080, "/x/y.html", "p=1&q=2", "http://www.example.com:8080/x/y.html?p=1&q=2"},
        {0, 80, "/a", "", "http://www.example.com/a?"},
        {0, 80, "", nullptr, "http://www.example.com"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        QORTestRequest r;
        r.addServer("vh", "www.example.com", c.port);
        r.security = c.security;
        r.uri = c.uri;
        r.hasQuery = c.query != nullptr;
        r.query = c.query ? c.query : "";
        QORStringRef url;
        ASSERT_EQ(r.getFullURL(&url), qor_s_ok);
        EXPECT_EQ(qor_test_str(url), c.expected);
    }
}

TEST(QORRequestFullURL, BuiltOnceAbsentURIIsEmptyAndOtherFailuresAreReturned)
{
    {
        QORTestRequest r;
        r.addServer("vh", "h", 81);
        r.callLog().failOn("getURI", qor_s_not_available);
        QORStringRef url;
        ASSERT_EQ(r.getFullURL(&url), qor_s_ok);
        r.callLog().clear();
        r.callLog().clearFailures();
        ASSERT_EQ(r.getFullURL(&url), qor_s_ok);
        EXPECT_EQ(qor_test_str(url), "http://h:81");
        EXPECT_EQ(r.callLog().calls(), std::vector<std::string>{"req.getFullURL()"});
    }
    const struct {
        const char* op;
        QORStatus status;
    } failures[] = {
        {"getSecurity", qor_s_no_memory},
        {"getName", qor_s_not_available},
        {"getPort", qor_s_invalid_argument},
        {"getURI", qor_s_no_memory},
        {"getQuery", qor_s_no_memory},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.op);
        QORTestRequest r;
        r.addServer("vh", "h", 80);
        r.callLog().failOn(f.op, f.status);
        QORStringRef url;
        EXPECT_EQ(r.getFullURL(&url), f.status);
        // Not built: the next call asks again and succeeds.
        r.callLog().clearFailures();
        EXPECT_EQ(r.getFullURL(&url), qor_s_ok);
    }
    QORTestRequest noServer;
    QORStringRef url;
    EXPECT_EQ(noServer.getFullURL(&url), qor_s_not_available);
}
