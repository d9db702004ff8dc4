#include "plugin/core/qorresponse.h"

#include <gtest/gtest.h>
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
    unsigned len = 0;
    const QORStatus U = kUnsupported;
    const QORStatus A = kAbsent;
    const struct {
        const char* name;
        QORStatus status;
        QORStatus expected;
    } cases[] = {
        {"getUTF8Header", r.getUTF8Header(QORStringRef("A"), &s), U},
        {"getNCPHeader", r.getNCPHeader(QORStringRef("A"), &n), U},
        {"getNextUTF8Header", r.getNextUTF8Header(&s), U},
        {"getNextNCPHeader", r.getNextNCPHeader(&n), U},
        {"getContentLength", r.getContentLength(&len), U},
        {"finalizeHeader", r.finalizeHeader(), U}, {"finalizeBody", r.finalizeBody(), U},
        {"getCookie", r.getCookie(QORStringRef("c"), &n, &n, &n, &n, &n, &i, &i), U},
        {"getBody", r.getBody(&b), U}, {"getHTTPBuffer", r.getHTTPBuffer(&b), U},
        {"getCode", r.getCode(&i), U}, {"getSubCode", r.getSubCode(&i), A},
        {"setSubCode", r.setSubCode(3), 0u}, {"getContentType", r.getContentType(&n), U},
        {"setCaptureRsp", r.setCaptureRsp(s, s, s, 0), U}, {"beginNew", r.beginNew(), 0u},
        {"setBodyToDefault", r.setBodyToDefault(), 0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.status, c.expected);
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
