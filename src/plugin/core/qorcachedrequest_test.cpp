#include "plugin/core/qorcachedrequest.h"

#include <gtest/gtest.h>
#include <string>

#include "plugin/core/qorcachedserver.h"

namespace {

const QORStatus kUnsupported = 0x35f02001;
const QORStatus kAbsent = 0x35f02002;

std::string str(const QORStringRefT<char>& r)
{
    return std::string(r.data(), static_cast<size_t>(r.length()));
}

} // namespace

TEST(QORCachedRequest, HoldsAViewOfVirtualHostURIAndLevel)
{
    char vhost[] = "vh1";
    QORCachedRequest r(QORStringRef(vhost), QORStringRef("/doc/a.html"), 1);
    EXPECT_EQ(r.m_server, &r.cachedServer());
    vhost[2] = '2';   // a view, not a copy
    QORStringRef s;
    ASSERT_EQ(r.m_server->getVHostID(&s), qor_s_ok);
    EXPECT_EQ(str(s), "vh2");
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_EQ(str(s), "/doc/a.html");
    int level = 0;
    ASSERT_EQ(r.getSecurity(&level), qor_s_ok);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(r.setURI(QORStringRef("/other")), qor_s_ok);
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_EQ(str(s), "/other");
    // Destroying r must not delete the embedded server (ASan would see it).

    QORCachedRequest none;
    EXPECT_EQ(none.m_server, nullptr);
    QORStringRefT<char> port;
    int n = 0;
    EXPECT_EQ(none.cachedServer().getName(&s), kUnsupported);
    EXPECT_EQ(none.cachedServer().getPort(&n), kUnsupported);
    EXPECT_EQ(none.cachedServer().getPortString(&port), kUnsupported);
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
    const QORStatus U = kUnsupported;
    const QORStatus A = kAbsent;
    const struct {
        const char* op;
        QORStatus status;
        QORStatus expected;
    } cases[] = {
 {"getUTF8Header", r.getUTF8Header(name, &s), U},
        {"getNCPHeader", r.getNCPHeader(name, &n), U},
        {"getNextUTF8Header", r.getNextUTF8Header(&s), U},
        {"getNextNCPHeader", r.getNextNCPHeader(&n), U}, {"setHeader", r.setHeader(name, name), U},
        {"addHeader", r.addHeader(name, name), U},
        {"getCookie", r.getCookie(name, &n, &n, &n, &i), U},
        {"setCookie", r.setCookie(name, name, nullptr, nullptr, 0), U},
        {"removeHeader", r.removeHeader(name), U}, {"getQuery", r.getQuery(&s), U},
        {"setQuery", r.setQuery(name), U}, {"getClientIP", r.getClientIP(s), U},
        {"getMethod number", r.getMethod(&m), U}, {"getMethod text", r.getMethod(&s), U},
        {"setMethod number", r.setMethod(qor_method_get), U},
        {"setMethod text", r.setMethod(name), U}, {"getVersion", r.getVersion(&s), U},
        {"setVersion", r.setVersion(name), U}, {"getPostData", r.getPostData(&b), U},
        {"getHTTPBuffer", r.getHTTPBuffer(&b), U}, {"getFullURL", r.getFullURL(&s), U},
        {"setPostData", r.setPostData(b), U}, {"setBody", r.setBody(b), U},
        {"retrieveBody", r.retrieveBody(1), U}, {"finalizeHeader", r.finalizeHeader(), U},
        {"finalizeBody", r.finalizeBody(), U},
        {"getContentLength", r.getContentLength(reinterpret_cast<unsigned*>(&i)), U},
        {"setWebLogUser", r.setWebLogUser(name, name, name), A},
        {"getNTLMAuthenticatedUser", r.getNTLMAuthenticatedUser(&s), A},
        {"setNTLMAuthenticatedUser", r.setNTLMAuthenticatedUser(name), A},
        {"requestNTLMAuthentication", r.requestNTLMAuthentication(), A},
        {"setNTLMAuthenticationRequested", r.setNTLMAuthenticationRequested(), A},
        {"getNTLMAuthenticationRequested", r.getNTLMAuthenticationRequested(flag), A},
        {"getConnectionID", r.getConnectionID(&s), A}, {"getWSAUser", r.getWSAUser(&s), A},
        {"requestWSA", r.requestWSA(), A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.status, c.expected);
    }
    EXPECT_FALSE(r.isSubRequest());
    EXPECT_FALSE(r.requestWSAByRedirect());
}
