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
const QORStatus kPure = 0x12345678;

// Implements only the pure operations, so every other one is the library's.
class BareResponse : public QORResponse {
public:
    QORStatus setHeader(const QORStringRef& name, const QORStringRefT<char>& value) override
    {
        lastName.assign(name.data(), static_cast<size_t>(name.length()));
        lastValue.assign(value.data(), static_cast<size_t>(value.length()));
        return headerStatus;
    }
    QORStatus addHeader(const QORStringRef&, const QORStringRefT<char>&) override { return kPure; }
    QORStatus setCookie(const QORStringRef&, const QORStringRefT<char>&,
                        const QORStringRefT<char>*, const QORStringRefT<char>*, int) override
    {
        return kPure;
    }
    QORStatus appendBody(const QORBuffer&) override { return kPure; }
    QORStatus setBodyFromFile(const char*) override { return kPure; }
    QORStatus setCode(int) override { return kPure; }
    QORStatus setContentType(const QORStringRef&) override { return kPure; }
    QORStatus setUseDefaultResponse(bool) override { return kPure; }

    std::string lastName;
    std::string lastValue;
    QORStatus headerStatus = qor_s_ok;
};

class BareSession : public QORSSLSession {
};

class CountedCert : public QORClientCert {
public:
    explicit CountedCert(int* deleted)
        : m_deleted(deleted)
    {
    }
    ~CountedCert() override { ++*m_deleted; }
    QORStatus getIssuerDN(QORStringRef*) override { return kPure; }
    QORStatus getSubjectDN(QORStringRef*) override { return kPure; }
    QORStatus getSerialNumber(QORStringRef*) override { return kPure; }
    int* m_deleted;
};

} // namespace

TEST(QORResponseDefaults, OptionalOperationsReturnTheirContractStatus)
{
    BareResponse r;
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
        {"finalizeBody", [&] { return r.finalizeBody(); }, kUnsupported},
        {"getCookie",
         [&] { return r.getCookie(QORStringRef("c"), &n, &n, &n, &n, &n, &i, &i); },
         kUnsupported},
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
    EXPECT_FALSE(r.isKeepAlive());
    EXPECT_TRUE(r.getSessionID().isEmpty());
}

TEST(QORResponseKeepAlive, SetsTheConnectionHeaderAndRemembersSuccessOnly)
{
    BareResponse r;
    r.headerStatus = 0x35f0200c;
    EXPECT_EQ(r.setKeepAlive(), 0x35f0200cu);
    EXPECT_FALSE(r.isKeepAlive());
    r.headerStatus = qor_s_ok;
    EXPECT_EQ(r.setKeepAlive(), qor_s_ok);
    EXPECT_TRUE(r.isKeepAlive());
    EXPECT_EQ(r.lastName, "Connection");
    EXPECT_EQ(r.lastValue, "Keep-Alive");

    QORTestResponse t;
    t.headers.add("connection", "close");
    EXPECT_EQ(t.setKeepAlive(), qor_s_ok);
    EXPECT_EQ(t.headers.count("Connection"), 1);
    EXPECT_STREQ(t.headers.get("Connection"), "Keep-Alive");
    EXPECT_EQ(t.callLog().calls(),
              (std::vector<std::string>{"rsp.setKeepAlive()",
                                        "rsp.setHeader(Connection, Keep-Alive)"}));
}

TEST(QORResponseSession, KeepsTheSessionIDTheAdapterSets)
{
    BareResponse r;
    std::string id(300, 's');   // longer than the inline storage
    ASSERT_EQ(r.setSessionID(QORStringRef(id.c_str())), qor_s_ok);
    EXPECT_EQ(std::string(r.getSessionID().c_str()), id);
}

TEST(QORSSLSessionDefaults, UnsupportedUntilTheAdapterSaysOtherwise)
{
    BareSession s;
    QORBuffer b;
    EXPECT_EQ(s.getID(&b), kUnsupported);
    EXPECT_TRUE(s.canRequestClientCert());
    EXPECT_EQ(s.requestClientCert(), kUnsupported);
    EXPECT_FALSE(s.requestCertByRedirect());
    EXPECT_EQ(s.clientCert(), nullptr);
    EXPECT_FALSE(s.clientCertRequested());
    s.setClientCertRequested(true);
    EXPECT_TRUE(s.clientCertRequested());
}

TEST(QORSSLSessionDefaults, OwnsItsClientCertificate)
{
    int deleted = 0;
    {
        BareSession s;
        s.setClientCert(new CountedCert(&deleted));
        CountedCert* second = new CountedCert(&deleted);
        s.setClientCert(second);
        EXPECT_EQ(deleted, 1);
        s.setClientCert(second);   // the same one again is kept
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}
