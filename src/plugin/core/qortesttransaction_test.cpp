// Tests of the recording test transaction (testsupport/), which the
// marshaller, unmarshaller and core tests rely on to see what was done.
#include "qortesttransaction.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(QORTestCallLog, RecordsEveryObjectInOneLogAndSelectsByPattern)
{
    QORTestTransaction t;
    QORTestSSLSession* ssl = t.addSSLSession();
    QORTestClientCert* cert = ssl->addClientCert();
    QORTestServer* server = t.addServer("vh", "h", 81);
    EXPECT_EQ(t.m_request->setHeader(QORStringRef("X-A"), QORStringRef("1")), qor_s_ok);
    EXPECT_EQ(t.m_response->setCode(503), qor_s_ok);
    QORStringRef s;
    EXPECT_EQ(server->getVHostID(&s), qor_s_ok);
    EXPECT_EQ(cert->getSubjectDN(&s), qor_s_not_available);
    EXPECT_EQ(ssl->requestClientCert(), qor_s_ok);
    t.setRetry(true);
    EXPECT_EQ(t.m_request->setHeader(QORStringRef("C"), QORStringRef("3")), qor_s_ok);
    QORTestCallLog& log = t.calls();
    EXPECT_EQ(log.text(), "req.setHeader(X-A, 1)\nrsp.setCode(503)\nserver.getVHostID()\n"
                          "cert.getSubjectDN()\nssl.requestClientCert()\ntrans.setRetry(true)\n"
                          "req.setHeader(C, 3)\n");
    EXPECT_EQ(log.count("req.setHeader"), 2);
    EXPECT_EQ(log.count("rsp.setHeader"), 0);
    EXPECT_EQ(log.count("rsp.setCode(503)"), 1);
    EXPECT_EQ(log.count("req.setHeader(X-A"), 0);   // a line pattern is a whole line
    EXPECT_EQ(log.at(7), "");

    std::string uri(1000, 'u');
    ASSERT_EQ(t.m_request->setURI(QORStringRef(uri.c_str())), qor_s_ok);
    EXPECT_EQ(t.request().uri, uri);   // the state is whole, the line cut
    std::string line = log.at(7);
    EXPECT_LT(line.size(), static_cast<size_t>(QORTestCallLog::kMaxLine));
    EXPECT_EQ(line.compare(0, 11, "req.setURI("), 0);
    EXPECT_EQ(line.back(), ')');
}

TEST(QORTestCallLog, FailOnForcesAStatusFromTheChosenCallOn)
{
    QORTestTransaction t;
    t.failOn("rsp.addHeader", qor_s_no_memory, 1);
    QORStringRef n("N");
    EXPECT_EQ(t.m_request->addHeader(n, n), qor_s_ok);    // another object
    EXPECT_EQ(t.m_response->addHeader(n, n), qor_s_ok);   // the first passes
    EXPECT_EQ(t.m_response->addHeader(n, n), qor_s_no_memory);
    EXPECT_EQ(t.m_response->addHeader(n, n), qor_s_no_memory);
    EXPECT_EQ(t.response().headers.size(), 1);   // forced calls do no work

    // Without an object the rule applies to every object; a later rule for
    // the same operation replaces the earlier one.
    t.failOn("finalizeHeader", qor_s_invalid_argument);
    EXPECT_EQ(t.m_request->finalizeHeader(), qor_s_invalid_argument);
    EXPECT_EQ(t.m_response->finalizeHeader(), qor_s_invalid_argument);
    t.failOn("finalizeHeader", qor_s_ok);
    EXPECT_EQ(t.m_request->finalizeHeader(), qor_s_ok);
    EXPECT_EQ(t.request().headerFinalized, 0);

    // With recording off, rules still apply.
    t.calls().setRecording(false);
    t.calls().clear();
    t.failOn("getURI", qor_s_not_available);
    QORStringRef s;
    EXPECT_EQ(t.m_request->getURI(&s), qor_s_not_available);
    EXPECT_EQ(t.calls().size(), 0);
}

// Requests and responses share this code: the lookups other tests see.
TEST(QORTestHeaders, AnOrderedMultimapWithCaseInsensitiveNames)
{
    QORTestRequest r;
    QORStringRef v;
    r.headers.add("Accept", "a/1");
    r.headers.add("Host", "h");
    r.headers.add("accept", "a/2");
    ASSERT_EQ(r.getUTF8Header(QORStringRef("ACCEPT"), &v), qor_s_ok);
    EXPECT_EQ(qor_test_str(v), "a/1");
    EXPECT_EQ(r.getUTF8Header(QORStringRef("Cookie"), &v), qor_s_not_available);
    // set replaces the first value in place and drops the others.
    ASSERT_EQ(r.setHeader(QORStringRef("Accept"), QORStringRef("a/3")), qor_s_ok);
    ASSERT_EQ(r.headers.size(), 2);
    EXPECT_EQ(r.headers[0].value, "a/3");
    EXPECT_EQ(r.headers[1].name, "Host");
    ASSERT_EQ(r.addHeader(QORStringRef("host"), QORStringRef("h2")), qor_s_ok);
    EXPECT_EQ(r.headers.count("HOST"), 2);
    ASSERT_EQ(r.removeHeader(QORStringRef("Host")), qor_s_ok);
    EXPECT_EQ(r.headers.get("host"), nullptr);
}

TEST(QORTestTransaction, LibraryDefaultsReachEveryObjectAddedBeforeOrAfter)
{
    QORTestTransaction t;
    QORTestSSLSession* ssl = t.addSSLSession();
    QORTestClientCert* cert = ssl->addClientCert();
    ssl->id = "sess";
    t.setLibraryDefaults(true);
    QORBuffer id;
    EXPECT_EQ(ssl->getID(&id), qor_s_not_supported);
    EXPECT_TRUE(cert->libraryDefaults());
    EXPECT_EQ(t.m_request->finalizeBody(), qor_s_not_supported);
    EXPECT_EQ(t.m_response->finalizeBody(), qor_s_not_supported);
    EXPECT_TRUE(t.addServer()->libraryDefaults());
    EXPECT_TRUE(t.addSSLSession()->addClientCert()->libraryDefaults());

    t.failOn("prepareForRetry", qor_s_no_memory);
    EXPECT_EQ(t.prepareForRetry(), qor_s_no_memory);
    EXPECT_EQ(t.retryPreparations, 0);
}
