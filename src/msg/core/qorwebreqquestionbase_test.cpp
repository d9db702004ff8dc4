#include "msg/core/qorwebreqquestionbase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "msg/server/qorwebreqquestionreader.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

namespace {

typedef QORWebReqQuestionBase Q;
const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

// What a text getter of part gives, "<absent>" when it fails.
template <class Part, class Owner>
std::string text(const Part& part, QORStatus (Owner::*get)(QORStringRef*) const)
{
    QORStringRef t;
    if ((part.*get)(&t) != qor_s_ok)
        return "<absent>";
    return qor_test_str(t);
}

// Marshals t's question into region and reads it back into r.
void roundTrip(QORTestTransaction& t, QORTestRegion& region, QORWebReqQuestionReader* r)
{
    QORWebReqQuestionMarshaller q(&t);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    ASSERT_EQ(r->unmarshal(region.reader(), nullptr), qor_s_ok);
}

} // namespace

// Layouts: a plain request has the flag word, the HTTP message and one
// element with the client address and the URI, each encoded as a string; an
// empty HTTP message sets its flag without an element; a certificate with
// only a subject DN has certificate flags 2 and session flags 2 and 8 (the
// can-request value is always sent).
TEST(WebReqQuestion, Layouts)
{
    struct Row {
        const char* name;
        const char* http;
        const char* clientIP;
        const char* uri;
        bool subjectOnlyCert;
        std::vector<uint32_t> words;
    } rows[] = {
        {"plain", "GET /a HTTP/1.1\r\n\r\n", "10.0.0.1", "/a", false,
         {4, s + 12, 0x023,
          19, s + 40, qor_test_chars("GET "), qor_test_chars("/a H"), qor_test_chars("TTP/"),
          qor_test_chars("1.1\r"), qor_test_chars("\n\r\n\0"),
          24, kNone, 9, qor_test_chars("10.0"), qor_test_chars(".0.1"), 0, 3,
          qor_test_chars("/a\0\0")}},
        {"empty HTTP message", "", "", "/", false,
         {4, s + 12, 0x023, 16, kNone, 1, 0, 2, qor_test_chars("/\0\0\0")}},
        {"subject-only certificate", "", "", "/", true,
         {4, s + 12, 0x033,
          16, s + 36, 1, 0, 2, qor_test_chars("/\0\0\0"),
          24, kNone, 0x0a, 1, 2, 5, qor_test_chars("CN=a"), 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestTransaction t;
        t.request().httpBuffer = row.http;
        t.request().clientIP = row.clientIP;
        t.request().uri = row.uri;
        if (row.subjectOnlyCert) {
            t.request().security = 1;
            t.addSSLSession()->addClientCert()->subjectDN = "CN=a";
        }
        QORTestRegion region;
        QORWebReqQuestionReader r;
        roundTrip(t, region, &r);
        EXPECT_EQ(region.written(), row.words);
        EXPECT_TRUE(t.loggedMessages.empty());
        // The reader tells an empty HTTP message from a present one by the
        // number of elements.
        QORBuffer http(reinterpret_cast<const unsigned char*>("x"), 1);
        ASSERT_EQ(r.getHTTPMessage(&http), qor_s_ok);
        EXPECT_EQ(qor_test_str(http), row.http);
        EXPECT_EQ(text(r, &Q::getURI), row.uri);
        if (row.subjectOnlyCert) {
            const QORWebReqCertQuestion* cert = r.getSSLSession()->getClientCert();
            EXPECT_EQ(cert->getFlags(), QORWebReqCertQuestion::kSubjectDN);
            EXPECT_EQ(text(*cert, &QORWebReqCertQuestion::getIssuerDN), "<absent>");
        }
    }
}

TEST(WebReqQuestion, EverythingSurvivesTheRoundTrip)
{
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    QORTestRequest& req = t.request();
    req.httpBuffer = "POST /app/login?next=%2F HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    req.clientIP = "2001:db8::17";
    req.uri = "/app/login";
    req.query = "next=%2F";
    req.hasQuery = true;
    req.connectionID = "conn-0042";
    req.wsaUser = "EXAMPLE\\alice";
    req.wsaRequested = true;
    req.subRequest = true;
    req.wsaByRedirect = true;
    req.setBodyRequested(true);
    req.security = 1;
    t.addServer("vhost-a", "www.example.com", 8443);
    QORTestSSLSession* session = t.addSSLSession();
    session->id = std::string("\x01\x02\x00\x03\xff", 5);
    session->canRequest = false;
    session->certByRedirect = true;
    session->setClientCertRequested(true);
    QORTestClientCert* clientCert = session->addClientCert();
    clientCert->issuerDN = "CN=Example CA,O=Example";
    clientCert->subjectDN = "CN=alice,O=Example";
    clientCert->serialNumber = "0a:1b:2c";
    t.calls().setRecording(false);
    QORTestRegion region;
    QORWebReqQuestionReader r;
    roundTrip(t, region, &r);
    EXPECT_EQ(counting.allocations, 0);
    EXPECT_EQ(r.getFlags(), 0xfff);
    QORBuffer http;
    ASSERT_EQ(r.getHTTPMessage(&http), qor_s_ok);
    EXPECT_EQ(qor_test_str(http), req.httpBuffer);
    EXPECT_EQ(text(r, &Q::getClientIPAddress), "2001:db8::17");
    EXPECT_EQ(text(r, &Q::getURI), "/app/login");
    EXPECT_EQ(text(r, &Q::getQuery), "next=%2F");
    EXPECT_EQ(text(r, &Q::getConnectionID), "conn-0042");
    EXPECT_EQ(text(r, &Q::getWSAUser), "EXAMPLE\\alice");
    const QORWebReqServerQuestion* server = r.getServer();
    int port = 0;
    EXPECT_EQ(text(*server, &QORWebReqServerQuestion::getVHostID), "vhost-a");
    EXPECT_EQ(text(*server, &QORWebReqServerQuestion::getName), "www.example.com");
    ASSERT_EQ(server->getPort(&port), qor_s_ok);
    EXPECT_EQ(port, 8443);
    const QORWebReqSSLSessQuestion* ssl = r.getSSLSession();
    EXPECT_EQ(ssl->getFlags(), 0x1f);
    QORBuffer id;
    ASSERT_EQ(ssl->getID(&id), qor_s_ok);
    EXPECT_EQ(qor_test_str(id), session->id);
    EXPECT_FALSE(ssl->canRequestClientCert());
    EXPECT_TRUE(ssl->getClientCertRequested());
    EXPECT_TRUE(ssl->getRequestCertByRedirect());
    ASSERT_TRUE(ssl->hasClientCert());
    const QORWebReqCertQuestion* cert = ssl->getClientCert();
    EXPECT_EQ(text(*cert, &QORWebReqCertQuestion::getIssuerDN), "CN=Example CA,O=Example");
    EXPECT_EQ(text(*cert, &QORWebReqCertQuestion::getSubjectDN), "CN=alice,O=Example");
    EXPECT_EQ(text(*cert, &QORWebReqCertQuestion::getSerialNumber), "0a:1b:2c");
}

// What the request does not give is left out, flag and field.
TEST(WebReqQuestion, AbsentDataIsLeftOut)
{
    QORTestTransaction t;
    t.setLibraryDefaults(true);
    t.request().uri = "/";
    t.addServer("", "", 80);
    t.failOn("server.getName", qor_s_not_available);
    t.failOn("server.getVHostID", qor_s_not_available);
    QORTestRegion region;
    QORWebReqQuestionReader r;
    roundTrip(t, region, &r);
    EXPECT_EQ(text(r, &Q::getQuery), "<absent>");
    EXPECT_EQ(text(r, &Q::getConnectionID), "<absent>");
    EXPECT_EQ(text(r, &Q::getWSAUser), "<absent>");
    EXPECT_FALSE(r.hasFlag(Q::kWSARequested | Q::kSubRequest | Q::kWSAByRedirect |
                           Q::kBodyRequested | Q::kSSLSession));
    // The server part holds the port alone.
    EXPECT_TRUE(r.hasFlag(Q::kServer));
    EXPECT_EQ(r.getServer()->getFlags(), QORWebReqServerQuestion::kPort);
}
