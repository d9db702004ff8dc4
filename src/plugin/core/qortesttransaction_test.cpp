// Tests of the recording test transaction (testsupport/), which the
// marshaller, unmarshaller and core tests rely on to see what was done.
#include "qortesttransaction.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const QORStatus kAbsent = 0x35f02002;

std::string str(const QORStringRefT<char>& r)
{
    return std::string(r.data(), static_cast<size_t>(r.length()));
}

std::string str(const QORBuffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.getData()), static_cast<size_t>(b.getLen()));
}

} // namespace

TEST(QORTestCallLog, RecordsEveryObjectInOneLogInCallOrder)
{
    QORTestTransaction t;
    QORTestSSLSession* ssl = t.addSSLSession();
    QORTestClientCert* cert = ssl->addClientCert();
    cert->subjectDN = "CN=me";
    QORTestServer* server = t.addServer("vh", "h", 81);

    t.m_request->addHeader(QORStringRef("X-A"), QORStringRef("1"));
    t.m_response->setCode(503);
    QORStringRef s;
    server->getVHostID(&s);
    cert->getSubjectDN(&s);
    ssl->requestClientCert();
    t.setRetry(true);
    EXPECT_EQ(t.calls().calls(),
              (std::vector<std::string>{"req.addHeader(X-A, 1)", "rsp.setCode(503)",
                                        "server.getVHostID()", "cert.getSubjectDN()",
                                        "ssl.requestClientCert()", "trans.setRetry(true)"}));
    EXPECT_EQ(t.calls().text(),
              "req.addHeader(X-A, 1)\nrsp.setCode(503)\nserver.getVHostID()\n"
              "cert.getSubjectDN()\nssl.requestClientCert()\ntrans.setRetry(true)\n");
    EXPECT_EQ(ssl->certRequests, 1);
}

TEST(QORTestCallLog, PatternsSelectLinesOperationsOrObjects)
{
    QORTestTransaction t;
    t.m_request->setHeader(QORStringRef("A"), QORStringRef("1"));
    t.m_response->setHeader(QORStringRef("B"), QORStringRef("2"));
    t.m_request->setHeader(QORStringRef("C"), QORStringRef("3"));
    QORTestCallLog& log = t.calls();
    EXPECT_EQ(log.count("setHeader"), 3);
    EXPECT_EQ(log.count("req.setHeader"), 2);
    EXPECT_EQ(log.count("rsp.setHeader(B, 2)"), 1);
    EXPECT_EQ(log.count("rsp.setHeader(B, 3)"), 0);
    EXPECT_EQ(log.count("setHead"), 0);
    EXPECT_EQ(log.count("req.setHeader(A"), 0);   // a line pattern is a whole line
    EXPECT_EQ(log.find("req.setHeader", 1), 2);
    EXPECT_EQ(log.find("rsp.setHeader", 2), -1);
    EXPECT_TRUE(log.contains("rsp.setHeader"));
    EXPECT_EQ(log.at(1), "rsp.setHeader(B, 2)");
    EXPECT_EQ(log.at(3), "");

    log.clear();
    EXPECT_EQ(log.size(), 0);
    EXPECT_FALSE(log.contains("setHeader"));
}

TEST(QORTestCallLog, LongArgumentsAreCut)
{
    QORTestRequest r;
    std::string uri(1000, 'u');
    ASSERT_EQ(r.setURI(QORStringRef(uri.c_str())), qor_s_ok);
    EXPECT_EQ(r.uri, uri);   // the state is whole
    std::string line = r.callLog().at(0);
    EXPECT_LT(line.size(), static_cast<size_t>(QORTestCallLog::kMaxLine));
    EXPECT_EQ(line.compare(0, 11, "req.setURI("), 0);
    EXPECT_EQ(line.back(), ')');
}

TEST(QORTestCallLog, FailOnForcesAStatusFromTheChosenCallOn)
{
    QORTestTransaction t;
    t.failOn("rsp.addHeader", 0x35f0200c, 1);
    QORStringRef n("N");
    EXPECT_EQ(t.m_request->addHeader(n, n), qor_s_ok);    // another object
    EXPECT_EQ(t.m_response->addHeader(n, n), qor_s_ok);   // the first passes
    EXPECT_EQ(t.m_response->addHeader(n, n), 0x35f0200cu);
    EXPECT_EQ(t.m_response->addHeader(n, n), 0x35f0200cu);
    EXPECT_EQ(t.response().headers.size(), 1);   // forced calls do no work
    EXPECT_EQ(t.calls().count("rsp.addHeader"), 3);   // but are recorded

    // Without an object the rule applies to every object; a later rule for
    // the same operation replaces the earlier one.
    t.failOn("finalizeHeader", 0x35f02007);
    EXPECT_EQ(t.m_request->finalizeHeader(), 0x35f02007u);
    EXPECT_EQ(t.m_response->finalizeHeader(), 0x35f02007u);
    t.failOn("finalizeHeader", qor_s_ok);
    EXPECT_EQ(t.m_request->finalizeHeader(), qor_s_ok);
    EXPECT_EQ(t.request().headerFinalized, 0);

    t.calls().clearFailures();
    EXPECT_EQ(t.m_response->addHeader(n, n), qor_s_ok);
    EXPECT_EQ(t.m_request->finalizeHeader(), qor_s_ok);
    EXPECT_EQ(t.request().headerFinalized, 1);
}

TEST(QORTestCallLog, WithRecordingOffFailuresStillApply)
{
    QORTestRequest r;
    r.callLog().setRecording(false);
    r.callLog().failOn("getURI", kAbsent);
    QORStringRef s;
    EXPECT_EQ(r.getURI(&s), kAbsent);
    EXPECT_EQ(r.getQuery(&s), kAbsent);   // no query
    EXPECT_EQ(r.callLog().size(), 0);
    r.callLog().setRecording(true);
    EXPECT_EQ(r.getURI(&s), kAbsent);
    EXPECT_EQ(r.callLog().size(), 1);
}

TEST(QORTestHeaders, AnOrderedMultimapWithCaseInsensitiveNames)
{
    QORTestRequest r;
    QORStringRef v;
    r.headers.add("Accept", "a/1");
    r.headers.add("Host", "h");
    r.headers.add("accept", "a/2");
    ASSERT_EQ(r.getUTF8Header(QORStringRef("ACCEPT"), &v), qor_s_ok);
    EXPECT_EQ(str(v), "a/1");
    ASSERT_EQ(r.getNextUTF8Header(&v), qor_s_ok);
    EXPECT_EQ(str(v), "a/2");
    EXPECT_EQ(r.getNextUTF8Header(&v), kAbsent);
    EXPECT_EQ(r.getNextUTF8Header(&v), kAbsent);

    QORNCPStringRef n;
    EXPECT_EQ(r.getNCPHeader(QORStringRef("Cookie"), &n), kAbsent);
    EXPECT_EQ(r.getNextNCPHeader(&n), kAbsent);

    // set replaces the first value in place and drops the others.
    ASSERT_EQ(r.setHeader(QORStringRef("Accept"), QORStringRef("a/3")), qor_s_ok);
    ASSERT_EQ(r.headers.size(), 2);
    EXPECT_EQ(r.headers[0].value, "a/3");
    EXPECT_EQ(r.headers[1].name, "Host");
    ASSERT_EQ(r.setHeader(QORStringRef("New"), QORStringRef("n")), qor_s_ok);
    EXPECT_EQ(r.headers[2].name, "New");

    ASSERT_EQ(r.addHeader(QORStringRef("host"), QORStringRef("h2")), qor_s_ok);
    EXPECT_EQ(r.headers.count("HOST"), 2);
    ASSERT_EQ(r.removeHeader(QORStringRef("Host")), qor_s_ok);
    EXPECT_EQ(r.headers.count("host"), 0);
    EXPECT_EQ(r.headers.get("host"), nullptr);
    EXPECT_EQ(r.headers.size(), 2);
}

TEST(QORTestRequest, OperationsWorkOnPlainState)
{
    QORTestRequest r;
    QORStringRef s;
    QORBuffer b;
    QORHTTPMethod m = qor_method_unrecognized;

    ASSERT_EQ(r.getMethod(&m), qor_s_ok);
    EXPECT_EQ(m, qor_method_get);
    ASSERT_EQ(r.setMethod(qor_method_post), qor_s_ok);
    EXPECT_EQ(r.method, "POST");
    ASSERT_EQ(r.setMethod(QORStringRef("BREW")), qor_s_ok);
    ASSERT_EQ(r.getMethod(&m), qor_s_ok);
    EXPECT_EQ(m, qor_method_unrecognized);
    ASSERT_EQ(r.getMethod(&s), qor_s_ok);
    EXPECT_EQ(str(s), "BREW");

    EXPECT_EQ(r.getQuery(&s), kAbsent);
    ASSERT_EQ(r.setQuery(QORStringRef("")), qor_s_ok);
    ASSERT_EQ(r.getQuery(&s), qor_s_ok);
    EXPECT_TRUE(s.isEmpty());
    ASSERT_EQ(r.setVersion(QORStringRef("HTTP/1.0")), qor_s_ok);
    ASSERT_EQ(r.getVersion(&s), qor_s_ok);
    EXPECT_EQ(str(s), "HTTP/1.0");
    ASSERT_EQ(r.getClientIP(s), qor_s_ok);
    EXPECT_EQ(str(s), "192.0.2.1");

    r.postData = "ab";
    r.pendingBody = "cdefg";
    ASSERT_EQ(r.retrieveBody(2), qor_s_ok);
    ASSERT_EQ(r.getPostData(&b), qor_s_ok);
    EXPECT_EQ(str(b), "abcd");
    ASSERT_EQ(r.retrieveBody(0), qor_s_ok);
    EXPECT_EQ(r.postData, "abcdefg");
    EXPECT_TRUE(r.pendingBody.empty());
    ASSERT_EQ(r.setBody(QORBuffer("new", 3)), qor_s_ok);
    EXPECT_EQ(r.postData, "new");

    ASSERT_EQ(r.setWebLogUser(QORStringRef("a"), QORStringRef("b"), QORStringRef("c")), qor_s_ok);
    EXPECT_EQ(r.webLogUser[2], "c");
    EXPECT_EQ(r.getWSAUser(&s), kAbsent);
    QORStringRef user("alice");
    ASSERT_EQ(r.setWSAUser(&user), qor_s_ok);
    ASSERT_EQ(r.getWSAUser(&s), qor_s_ok);
    EXPECT_EQ(str(s), "alice");
    bool requested = true;
    ASSERT_EQ(r.getWSARequested(requested), qor_s_ok);
    EXPECT_FALSE(requested);
    ASSERT_EQ(r.requestWSA(), qor_s_ok);
    ASSERT_EQ(r.getWSARequested(requested), qor_s_ok);
    EXPECT_TRUE(requested);

    QORNCPStringRef value;
    QORNCPStringRef path;
    int flags = 0;
    EXPECT_EQ(r.getCookie(QORStringRef("sid"), &value, &path, nullptr, &flags), kAbsent);
    QORStringRef p("/app");
    ASSERT_EQ(r.setCookie(QORStringRef("sid"), QORStringRef("1"), &p, nullptr, 3), qor_s_ok);
    ASSERT_EQ(r.setCookie(QORStringRef("sid"), QORStringRef("2"), &p, nullptr, 3), qor_s_ok);
    ASSERT_EQ(r.getCookie(QORStringRef("sid"), &value, &path, nullptr, &flags), qor_s_ok);
    EXPECT_EQ(str(value), "2");
    EXPECT_EQ(str(path), "/app");
    EXPECT_EQ(flags, 3);
    EXPECT_EQ(r.cookies.size(), 1u);
}

TEST(QORTestRequest, ServerAndSessionRecordIntoTheRequestsLog)
{
    QORTestRequest r;
    r.setLibraryDefaults(true);
    QORTestServer* first = r.addServer("a", "h", 80);
    QORTestServer* second = r.addServer("b", "h", 80);   // replaces (and deletes) the first
    (void)first;
    EXPECT_EQ(r.server(), second);
    QORStringRef s;
    ASSERT_EQ(r.m_server->getVHostID(&s), qor_s_ok);
    EXPECT_EQ(str(s), "b");
    QORTestSSLSession* ssl = r.addSSLSession();
    EXPECT_EQ(ssl->requestClientCert(), 0x35f02001u);   // library default
    EXPECT_EQ(r.callLog().calls(),
              (std::vector<std::string>{"server.getVHostID()", "ssl.requestClientCert()"}));
}

TEST(QORTestResponse, GathersBodyCodeAndCapture)
{
    QORTestTransaction t;
    QORResponse* rsp = t.m_response;
    QORTestResponse& r = t.response();
    int code = 0;
    ASSERT_EQ(rsp->getCode(&code), qor_s_ok);
    EXPECT_EQ(code, 200);
    ASSERT_EQ(rsp->setCode(403), qor_s_ok);
    EXPECT_EQ(r.code(), 403);
    EXPECT_EQ(rsp->getSubCode(&code), kAbsent);
    ASSERT_EQ(rsp->setSubCode(7), qor_s_ok);
    ASSERT_EQ(rsp->getSubCode(&code), qor_s_ok);
    EXPECT_EQ(code, 7);

    ASSERT_EQ(rsp->appendBody(QORBuffer("ab", 2)), qor_s_ok);
    ASSERT_EQ(rsp->appendBody(QORBuffer("cd", 2)), qor_s_ok);
    EXPECT_EQ(r.body, "abcd");
    EXPECT_EQ(r.bodyPieces, 2);
    ASSERT_EQ(rsp->setBodyFromFile("/tmp/page.html"), qor_s_ok);
    EXPECT_EQ(r.bodyFile, "/tmp/page.html");
    ASSERT_EQ(rsp->setContentType(QORStringRef("text/html")), qor_s_ok);
    QORNCPStringRef type;
    ASSERT_EQ(rsp->getContentType(&type), qor_s_ok);
    EXPECT_EQ(str(type), "text/html");
    ASSERT_EQ(rsp->setCaptureRsp(QORStringRef("id"), QORStringRef("vh"), QORStringRef("/u"), 1),
              qor_s_ok);
    EXPECT_TRUE(r.captured);
    EXPECT_EQ(r.captureVHostID, "vh");
    EXPECT_EQ(r.captureSecurity, 1);
    EXPECT_EQ(t.calls().count("rsp.setCaptureRsp(id, vh, /u, 1)"), 1);

    ASSERT_EQ(rsp->setBodyToDefault(), qor_s_ok);
    EXPECT_TRUE(r.bodyIsDefault);
    EXPECT_TRUE(r.body.empty());
    ASSERT_EQ(rsp->addHeader(QORStringRef("X"), QORStringRef("1")), qor_s_ok);
    ASSERT_EQ(rsp->beginNew(), qor_s_ok);
    EXPECT_EQ(r.code(), 200);
    EXPECT_EQ(r.headers.size(), 0);
    EXPECT_FALSE(r.bodyIsDefault);
    EXPECT_EQ(r.newResponses, 1);

    // With the library's defaults the response's headers cannot be read.
    r.setLibraryDefaults(true);
    QORStringRef v;
    EXPECT_EQ(rsp->getUTF8Header(QORStringRef("X"), &v), 0x35f02001u);
    EXPECT_EQ(rsp->getCode(&code), 0x35f02001u);
}

TEST(QORTestTransaction, RetryHookAndLibraryDefaultsReachEveryObject)
{
    QORTestTransaction t;
    QORTestSSLSession* ssl = t.addSSLSession();
    ssl->id = "sess";
    EXPECT_EQ(t.prepareForRetry(), qor_s_ok);
    t.failOn("prepareForRetry", 0x35f0200c);
    EXPECT_EQ(t.prepareForRetry(), 0x35f0200cu);
    EXPECT_EQ(t.retryPreparations, 1);

    QORBuffer id;
    ASSERT_EQ(ssl->getID(&id), qor_s_ok);
    EXPECT_EQ(str(id), "sess");
    t.setLibraryDefaults(true);
    EXPECT_EQ(ssl->getID(&id), 0x35f02001u);
    EXPECT_EQ(t.m_request->finalizeBody(), 0x35f02001u);
    EXPECT_EQ(t.m_response->finalizeBody(), 0x35f02001u);
    // A server added afterwards follows the request.
    QORTestServer* s = t.addServer();
    EXPECT_TRUE(s->libraryDefaults());
}
