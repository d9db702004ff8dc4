#include "plugin/core/qorresponse.h"

#include <gtest/gtest.h>
#include <functional>
#include <string>

#include "plugin/core/qorclientcert.h"
#include "plugin/core/qorsslsession.h"
#include "qortesttransaction.h"

namespace {

const QORStatus kUnsupported = 0x35f02001;
const QORStatus kAbsent = 0x35f02002;

class CountedCert : public QORTestClientCert {
public:
    explicit CountedCert(int* deleted)
        : m_deleted(deleted)
    {
    }
    ~CountedCert() override { ++*m_deleted; }
    int* m_deleted;
};

} // namespace

// The test objects fall back on the library for every optional operation.
TEST(QORResponseDefaults, OptionalOperationsReturnTheirContractStatus)
{
    QORTestResponse r;
    r.setLibraryDefaults(true);
    r.headers.add("Content-Length", "1");
    QORStringRef s;
    QORNCPStringRef n;
    QORBuffer b;
    int i = 0;
    const struct {
        const char* name;
        std::function<QORStatus()> call;
        QORStatus expected;
    } cases[] = {
        {"getUTF8Header", [&] { return r.getUTF8Header(QORStringRef("A"), &s); }, kUnsupported},
        {"getNCPHeader", [&] { return r.getNCPHeader(QORStringRef("A"), &n); }, kUnsupported},
        {"getNextUTF8Header", [&] { return r.getNextUTF8Header(&s); }, kUnsupported},
        {"getNextNCPHeader", [&] { return r.getNextNCPHeader(&n); }, kUnsupported},
        {"getContentLength", [&] { unsigned l; return r.getContentLength(&l); }, kUnsupported},
        {"finalizeHeader", [&] { return r.finalizeHeader(); }, kUnsupported},
        {"finalizeBody", [&] { return r.finalizeBody(); }, kUnsupported}, {"getCookie",
        [&] { return r.getCookie(QORStringRef("c"), &n, &n, &n, &n, &n, &i, &i); }, kUnsupported},
        {"getBody", [&] { return r.getBody(&b); }, kUnsupported},
        {"getHTTPBuffer", [&] { return r.getHTTPBuffer(&b); }, kUnsupported},
        {"getCode", [&] { return r.getCode(&i); }, kUnsupported},
        {"getSubCode", [&] { return r.getSubCode(&i); }, kAbsent},
        {"setSubCode", [&] { return r.setSubCode(3); }, qor_s_ok},
        {"getContentType", [&] { return r.getContentType(&n); }, kUnsupported},
        {"setCaptureRsp", [&] { return r.setCaptureRsp(s, s, s, 0); }, kUnsupported},
        {"beginNew", [&] { return r.beginNew(); }, qor_s_ok},
        {"setBodyToDefault", [&] { return r.setBodyToDefault(); }, qor_s_ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_EQ(r.newResponses, 0);
    EXPECT_FALSE(r.bodyIsDefault);

    QORTestSSLSession ssl;
    ssl.setLibraryDefaults(true);
    ssl.id = "sess";
    EXPECT_EQ(ssl.getID(&b), kUnsupported);
    EXPECT_TRUE(ssl.canRequestClientCert());
    EXPECT_EQ(ssl.requestClientCert(), kUnsupported);
    EXPECT_FALSE(ssl.requestCertByRedirect());
}

TEST(QORResponseKeepAlive, SetsTheConnectionHeaderAndRemembersSuccessOnly)
{
    QORTestResponse r;
    r.headers.add("connection", "close");
    r.callLog().failOn("setHeader", 0x35f0200c);
    EXPECT_EQ(r.setKeepAlive(), 0x35f0200cu);
    EXPECT_FALSE(r.isKeepAlive());
    r.callLog().clear();
    r.callLog().clearFailures();
    EXPECT_EQ(r.setKeepAlive(), qor_s_ok);
    EXPECT_TRUE(r.isKeepAlive());
    EXPECT_EQ(r.headers.count("Connection"), 1);
    EXPECT_STREQ(r.headers.get("Connection"), "Keep-Alive");
    EXPECT_EQ(r.callLog().calls(),
              (std::vector<std::string>{"rsp.setKeepAlive()",
                                        "rsp.setHeader(Connection, Keep-Alive)"}));
}

TEST(QORResponseSession, KeepsTheSessionIDTheAdapterSets)
{
    QORTestResponse r;
    std::string id(300, 's');   // longer than the inline storage
    ASSERT_EQ(r.setSessionID(QORStringRef(id.c_str())), qor_s_ok);
    EXPECT_EQ(std::string(r.getSessionID().c_str()), id);
}

TEST(QORSSLSession, OwnsItsClientCertificate)
{
    int deleted = 0;
    {
        QORTestSSLSession s;
        s.setClientCert(new CountedCert(&deleted));
        CountedCert* second = new CountedCert(&deleted);
        s.setClientCert(second);
        EXPECT_EQ(deleted, 1);
        s.setClientCert(second);   // the same one again is kept
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}
