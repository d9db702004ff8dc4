#include "plugin/core/qorserver.h"

#include <gtest/gtest.h>
#include <string>

#include "plugin/core/qorcachedrequest.h"
#include "plugin/core/qorcachedserver.h"
#include "qortesttransaction.h"

namespace {

const QORStatus kUnsupported = 0x35f02001;
const QORStatus kAbsent = 0x35f02002;

std::string str(const QORStringRefT<char>& r)
{
    return std::string(r.data(), static_cast<size_t>(r.length()));
}

} // namespace

TEST(QORServerPortString, DecimalTextOfAPortInRange)
{
    const struct {
        int port;
        QORStatus status;
        const char* text;
    } cases[] = {
        {80, qor_s_ok, "80"},      {1, qor_s_ok, "1"},         {65535, qor_s_ok, "65535"},
        {0, 0x35f02035, nullptr},  {65536, 0x35f02035, nullptr}, {70000, 0x35f02035, nullptr},
        {-1, 0x35f02035, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        QORTestServer s("vh", "h", c.port);
        QORStringRefT<char> text;
        EXPECT_EQ(s.getPortString(&text), c.status);
        if (c.text) {
            EXPECT_EQ(str(text), c.text);
        }
    }
}

TEST(QORServerPortString, MadeOnceButNotCachedOnFailure)
{
    QORTestServer s("vh", "h", 8080);
    s.callLog().failOn("getPort", kAbsent, 0);
    QORStringRefT<char> text;
    EXPECT_EQ(s.getPortString(&text), kAbsent);
    s.callLog().clearFailures();
    ASSERT_EQ(s.getPortString(&text), qor_s_ok);
    s.port = 9090;
    ASSERT_EQ(s.getPortString(&text), qor_s_ok);
    EXPECT_EQ(str(text), "8080");
    EXPECT_EQ(s.callLog().count("server.getPort"), 2);
}

TEST(QORCachedServer, KnowsOnlyItsVirtualHost)
{
    QORCachedServer s;
    QORStringRef id;
    ASSERT_EQ(s.getVHostID(&id), qor_s_ok);
    EXPECT_TRUE(id.isEmpty());

    char text[] = "host-a";
    s.setVHostID(QORStringRef(text));
    ASSERT_EQ(s.getVHostID(&id), qor_s_ok);
    EXPECT_EQ(str(id), "host-a");
    text[5] = 'b';   // a view, not a copy
    ASSERT_EQ(s.getVHostID(&id), qor_s_ok);
    EXPECT_EQ(str(id), "host-b");

    QORStringRef name;
    QORStringRefT<char> port;
    int n = 0;
    EXPECT_EQ(s.getName(&name), kUnsupported);
    EXPECT_EQ(s.getPort(&n), kUnsupported);
    EXPECT_EQ(s.getPortString(&port), kUnsupported);
}

TEST(QORCachedRequest, HoldsVirtualHostURIAndLevel)
{
    QORCachedRequest r(QORStringRef("vh1"), QORStringRef("/doc/a.html"), 1);
    ASSERT_NE(r.m_server, nullptr);
    EXPECT_EQ(r.m_server, &r.cachedServer());
    QORStringRef s;
    ASSERT_EQ(r.m_server->getVHostID(&s), qor_s_ok);
    EXPECT_EQ(str(s), "vh1");
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_EQ(str(s), "/doc/a.html");
    int level = 0;
    ASSERT_EQ(r.getSecurity(&level), qor_s_ok);
    EXPECT_EQ(level, 1);

    EXPECT_EQ(r.setURI(QORStringRef("/other")), qor_s_ok);
    EXPECT_EQ(r.setSecurity(0), qor_s_ok);
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_EQ(str(s), "/other");
    ASSERT_EQ(r.getSecurity(&level), qor_s_ok);
    EXPECT_EQ(level, 0);
    // Destroying r must not delete the embedded server (ASan would see it).
}

TEST(QORCachedRequest, DefaultConstructedHasNoServer)
{
    QORCachedRequest r;
    EXPECT_EQ(r.m_server, nullptr);
    QORStringRef s;
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_TRUE(s.isEmpty());
    int level = 5;
    ASSERT_EQ(r.getSecurity(&level), qor_s_ok);
    EXPECT_EQ(level, 0);
}

TEST(QORCachedRequest, EverythingElseIsUnsupportedOrAbsent)
{
    QORCachedRequest r(QORStringRef("vh"), QORStringRef("/"), 0);
    QORStringRef s;
    QORNCPStringRef n;
    QORBuffer b;
    QORHTTPMethod m;
    int i = 0;
    bool flag = false;
    const QORStringRef name("X");
    const struct {
        const char* op;
        QORStatus status;
    } cases[] = {
        {"getUTF8Header", r.getUTF8Header(name, &s)},
        {"getNCPHeader", r.getNCPHeader(name, &n)},
        {"getNextUTF8Header", r.getNextUTF8Header(&s)},
        {"getNextNCPHeader", r.getNextNCPHeader(&n)},
        {"setHeader", r.setHeader(name, name)},
        {"addHeader", r.addHeader(name, name)},
        {"getCookie", r.getCookie(name, &n, &n, &n, &i)},
        {"setCookie", r.setCookie(name, name, nullptr, nullptr, 0)},
        {"removeHeader", r.removeHeader(name)},
        {"getQuery", r.getQuery(&s)},
        {"setQuery", r.setQuery(name)},
        {"getClientIP", r.getClientIP(s)},
        {"getMethod number", r.getMethod(&m)},
        {"getMethod text", r.getMethod(&s)},
        {"setMethod number", r.setMethod(qor_method_get)},
        {"setMethod text", r.setMethod(name)},
        {"getVersion", r.getVersion(&s)},
        {"setVersion", r.setVersion(name)},
        {"getPostData", r.getPostData(&b)},
        {"getHTTPBuffer", r.getHTTPBuffer(&b)},
        {"getFullURL", r.getFullURL(&s)},
        {"setPostData", r.setPostData(b)},
        {"setBody", r.setBody(b)},
        {"retrieveBody", r.retrieveBody(1)},
        {"finalizeHeader", r.finalizeHeader()},
        {"finalizeBody", r.finalizeBody()},
        {"getContentLength", r.getContentLength(reinterpret_cast<unsigned*>(&i))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.status, kUnsupported);
    }
    const struct {
        const char* op;
        QORStatus status;
    } absent[] = {
        {"setWebLogUser", r.setWebLogUser(name, name, name)},
        {"getNTLMAuthenticatedUser", r.getNTLMAuthenticatedUser(&s)},
        {"setNTLMAuthenticatedUser", r.setNTLMAuthenticatedUser(name)},
        {"requestNTLMAuthentication", r.requestNTLMAuthentication()},
        {"setNTLMAuthenticationRequested", r.setNTLMAuthenticationRequested()},
        {"getNTLMAuthenticationRequested", r.getNTLMAuthenticationRequested(flag)},
        {"getConnectionID", r.getConnectionID(&s)},
        {"getWSAUser", r.getWSAUser(&s)},
        {"requestWSA", r.requestWSA()},
    };
    for (const auto& c : absent) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.status, kAbsent);
    }
    EXPECT_FALSE(r.isSubRequest());
    EXPECT_FALSE(r.requestWSAByRedirect());
}
