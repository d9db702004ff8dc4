#include "msg/server/qorwebreqquestionreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "msg/core/qorurcversionquestion.h"
#include "msg/core/qorwebrspquestion.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

namespace {

typedef QORWebReqQuestionBase Q;
const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

std::string str(const QORStringRef& r)
{
    return std::string(r.data(), static_cast<size_t>(r.length()));
}

std::string str(const QORBuffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.getData()),
                       static_cast<size_t>(b.getLen()));
}

// A transaction for an HTTPS request that gives everything a question can
// carry.
void fillEverything(QORTestTransaction& t)
{
    QORTestRequest& r = t.request();
    r.httpBuffer = "POST /app/login?next=%2F HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    r.clientIP = "2001:db8::17";
    r.uri = "/app/login";
    r.query = "next=%2F";
    r.hasQuery = true;
    r.connectionID = "conn-0042";
    r.wsaUser = "EXAMPLE\\alice";
    r.wsaRequested = true;
    r.subRequest = true;
    r.wsaByRedirect = true;
    r.setBodyRequested(true);
    r.security = 1;
    t.addServer("vhost-a", "www.example.com", 8443);
    QORTestSSLSession* ssl = t.addSSLSession();
    ssl->id = std::string("\x01\x02\x00\x03\xff", 5);
    ssl->canRequest = false;
    ssl->certByRedirect = true;
    ssl->setClientCertRequested(true);
    QORTestClientCert* cert = ssl->addClientCert();
    cert->issuerDN = "CN=Example CA,O=Example";
    cert->subjectDN = "CN=alice,O=Example";
    cert->serialNumber = "0a:1b:2c";
}

QORStatus readBack(QORTestRegion& region, QORWebReqQuestionReader* q)
{
    return q->unmarshal(region.reader(), nullptr);
}

} // namespace

// A plain request: the flag word, the HTTP message and one element with the
// client address and the URI, each encoded as a string.
TEST(WebReqQuestion, PlainRequestLayout)
{
    QORTestTransaction t;
    t.request().httpBuffer = "GET /a HTTP/1.1\r\n\r\n";  // 19 bytes
    t.request().clientIP = "10.0.0.1";
    t.request().uri = "/a";
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    EXPECT_EQ(q.getType(), qor_msg_web_req_question);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {
        4, s + 12, 0x023,
        19, s + 40, qor_test_chars("GET "), qor_test_chars("/a H"), qor_test_chars("TTP/"),
        qor_test_chars("1.1\r"), qor_test_chars("\n\r\n\0"),
        24, kNone, 9, qor_test_chars("10.0"), qor_test_chars(".0.1"), 0, 3,
        qor_test_chars("/a\0\0"),
    };
    EXPECT_EQ(region.written(), expected);
    EXPECT_TRUE(t.loggedMessages.empty());
}

// An empty HTTP message sets its flag without an element, and the reader
// tells that from a present message by the number of elements.
TEST(WebReqQuestion, EmptyHTTPMessageHasNoElement)
{
    QORTestTransaction t;
    t.request().httpBuffer = "";
    t.request().uri = "/";
    t.request().clientIP = "";
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    // The client address is empty, the URI "/".
    EXPECT_EQ(region.written(), (std::vector<uint32_t>{4, s + 12, 0x023, 16, kNone, 1, 0, 2,
                                                       qor_test_chars("/\0\0\0")}));
    QORWebReqQuestionReader r;
    ASSERT_EQ(readBack(region, &r), qor_s_ok);
    QORBuffer http(reinterpret_cast<const unsigned char*>("x"), 1);
    ASSERT_EQ(r.getHTTPMessage(&http), qor_s_ok);
    EXPECT_EQ(http.getLen(), 0);
    QORStringRef uri;
    ASSERT_EQ(r.getURI(&uri), qor_s_ok);
    EXPECT_EQ(str(uri), "/");
}

TEST(WebReqQuestion, EverythingSurvivesTheRoundTrip)
{
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    fillEverything(t);
    t.calls().setRecording(false);
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    EXPECT_EQ(counting.allocations, 0);

    QORWebReqQuestionReader r;
    ASSERT_EQ(readBack(region, &r), qor_s_ok);
    EXPECT_EQ(r.getFlags(), 0xfff);
    QORBuffer http;
    QORStringRef text;
    ASSERT_EQ(r.getHTTPMessage(&http), qor_s_ok);
    EXPECT_EQ(str(http), t.request().httpBuffer);
    ASSERT_EQ(r.getClientIPAddress(&text), qor_s_ok);
    EXPECT_EQ(str(text), "2001:db8::17");
    ASSERT_EQ(r.getURI(&text), qor_s_ok);
    EXPECT_EQ(str(text), "/app/login");
    ASSERT_EQ(r.getQuery(&text), qor_s_ok);
    EXPECT_EQ(str(text), "next=%2F");
    ASSERT_EQ(r.getConnectionID(&text), qor_s_ok);
    EXPECT_EQ(str(text), "conn-0042");
    ASSERT_EQ(r.getWSAUser(&text), qor_s_ok);
    EXPECT_EQ(str(text), "EXAMPLE\\alice");

    const QORWebReqServerQuestion* server = r.getServer();
    int port = 0;
    ASSERT_EQ(server->getVHostID(&text), qor_s_ok);
    EXPECT_EQ(str(text), "vhost-a");
    ASSERT_EQ(server->getName(&text), qor_s_ok);
    EXPECT_EQ(str(text), "www.example.com");
    ASSERT_EQ(server->getPort(&port), qor_s_ok);
    EXPECT_EQ(port, 8443);

    const QORWebReqSSLSessQuestion* ssl = r.getSSLSession();
    EXPECT_EQ(ssl->getFlags(), 0x1f);
    QORBuffer id;
    ASSERT_EQ(ssl->getID(&id), qor_s_ok);
    EXPECT_EQ(str(id), std::string("\x01\x02\x00\x03\xff", 5));
    EXPECT_FALSE(ssl->canRequestClientCert());
    EXPECT_TRUE(ssl->getClientCertRequested());
    EXPECT_TRUE(ssl->getRequestCertByRedirect());
    ASSERT_TRUE(ssl->hasClientCert());
    const QORWebReqCertQuestion* cert = ssl->getClientCert();
    ASSERT_EQ(cert->getIssuerDN(&text), qor_s_ok);
    EXPECT_EQ(str(text), "CN=Example CA,O=Example");
    ASSERT_EQ(cert->getSubjectDN(&text), qor_s_ok);
    EXPECT_EQ(str(text), "CN=alice,O=Example");
    ASSERT_EQ(cert->getSerialNumber(&text), qor_s_ok);
    EXPECT_EQ(str(text), "0a:1b:2c");
}

// What the request does not give is left out, flag and field.
TEST(WebReqQuestion, AbsentDataIsLeftOut)
{
    QORTestTransaction t;
    t.setLibraryDefaults(true);
    t.request().uri = "/";
    QORTestServer* server = t.addServer("", "", 80);
    (void)server;
    t.failOn("server.getName", qor_s_not_available);
    t.failOn("server.getVHostID", qor_s_not_available);
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    QORWebReqQuestionReader r;
    ASSERT_EQ(readBack(region, &r), qor_s_ok);
    QORStringRef text;
    EXPECT_EQ(r.getQuery(&text), qor_s_not_available);
    EXPECT_EQ(r.getConnectionID(&text), qor_s_not_available);
    EXPECT_EQ(r.getWSAUser(&text), qor_s_not_available);
    EXPECT_FALSE(r.hasFlag(Q::kWSARequested | Q::kSubRequest | Q::kWSAByRedirect |
                           Q::kBodyRequested | Q::kSSLSession));
    // The server part holds the port alone.
    EXPECT_TRUE(r.hasFlag(Q::kServer));
    EXPECT_EQ(r.getServer()->getFlags(), QORWebReqServerQuestion::kPort);
    EXPECT_EQ(r.getServer()->getName(&text), qor_s_not_available);
}

// The three gathering failures that are only logged, and the two that end
// the question.
TEST(WebReqQuestion, GatheringFailures)
{
    const QORStatus failure = QOR_MSG_ID(0x35);
    struct Row {
        const char* op;
        QORStatus marshal;
        int msg;
        int missingFlag;
    } rows[] = {
        {"req.getHTTPBuffer", qor_s_ok, QOR_MSG_ID(0x283), Q::kHTTPMessage},
        {"req.getClientIP", qor_s_ok, QOR_MSG_ID(0x284), Q::kClientIPAddress},
        {"req.getURI", qor_s_ok, QOR_MSG_ID(0x285), Q::kURI},
        {"req.getSecurity", failure, QOR_MSG_ID(0x286), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.op);
        QORTestTransaction t;
        t.failOn(row.op, failure);
        QORTestRegion region;
        QORWebReqQuestionMarshaller q(&t);
        EXPECT_EQ(q.marshal(region.alloc), row.marshal);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{row.msg});
        // The status's text and code are the message's arguments.
        ASSERT_EQ(t.logLines.size(), 1u);
        EXPECT_NE(t.logLines[0].find("0x35f02035"), std::string::npos) << t.logLines[0];
        if (row.marshal != qor_s_ok) {
            EXPECT_EQ(region.alloc.usedLength(), 0u);
            continue;
        }
        QORWebReqQuestionReader r;
        ASSERT_EQ(readBack(region, &r), qor_s_ok);
        EXPECT_FALSE(r.hasFlag(row.missingFlag));
    }
}

TEST(WebReqQuestion, SecureRequestWithoutSSLSession)
{
    QORTestTransaction t;
    t.request().security = 1;
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    EXPECT_EQ(q.marshal(region.alloc), qor_s_not_available);
    EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x287)});
    ASSERT_EQ(t.logLines.size(), 1u);
    EXPECT_NE(t.logLines[0].find("XLTIC0002E"), std::string::npos) << t.logLines[0];
    EXPECT_EQ(region.alloc.usedLength(), 0u);
}

// A certificate with only a subject DN: certificate flags 2, session flag 2
// (and the can-request value, always sent).
TEST(WebReqQuestion, CertificateWithSubjectOnlyLayout)
{
    QORTestTransaction t;
    t.request().httpBuffer = "";
    t.request().clientIP = "";
    t.request().uri = "/";
    t.request().security = 1;
    QORTestSSLSession* ssl = t.addSSLSession();
    ssl->addClientCert()->subjectDN = "CN=a";
    QORTestRegion region;
    QORWebReqQuestionMarshaller q(&t);
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {
        4, s + 12, 0x033,
        16, s + 36, 1, 0, 2, qor_test_chars("/\0\0\0"),
        // session flags: certificate (2) and can-request value (8); the
        // value 1; certificate flags 2 and the subject DN
        24, kNone, 0x0a, 1, 2, 5, qor_test_chars("CN=a"), 0,
    };
    EXPECT_EQ(region.written(), expected);
    QORWebReqQuestionReader r;
    ASSERT_EQ(readBack(region, &r), qor_s_ok);
    EXPECT_EQ(r.getSSLSession()->getClientCert()->getFlags(), QORWebReqCertQuestion::kSubjectDN);
    QORStringRef dn;
    EXPECT_EQ(r.getSSLSession()->getClientCert()->getIssuerDN(&dn), qor_s_not_available);
}

TEST(WebReqQuestion, PartsDefaults)
{
    QORWebReqSSLSessQuestion ssl;
    EXPECT_TRUE(ssl.canRequestClientCert());
    ssl.setCanRequestClientCert(false);
    EXPECT_FALSE(ssl.canRequestClientCert());
    // The marshaller never reads, the reader's base never writes.
    QORTestRegion region;
    QORWebReqQuestionReader r;
    EXPECT_EQ(r.QORWebReqQuestionBase::marshal(region.alloc), qor_s_not_supported);
    QORTestTransaction t;
    QORWebReqQuestionMarshaller m(&t);
    EXPECT_EQ(m.unmarshal(region.reader(), nullptr), qor_s_not_supported);
}

TEST(WebReqQuestion, FullAreaFailsTheMarshal)
{
    QORTestTransaction t;
    t.request().httpBuffer = std::string(200, 'x');
    for (unsigned int room : {0u, 11u, 12u, 220u, 236u}) {
        SCOPED_TRACE(room);
        QORTestRegion region(QORTestRegion::kStart + 256);
        region.alloc.initialize(region.shm(), QORTestRegion::kStart, room);
        QORWebReqQuestionMarshaller q(&t);
        EXPECT_EQ(q.marshal(region.alloc), qor_s_no_memory);
    }
}

// The server's reader refuses request areas that do not hold a question.
TEST(WebReqQuestionReader, RefusesMalformedQuestions)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status;
    } rows[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"flags of 8 bytes", {8, kNone, 0, 0}, qor_s_msg_unmarshal_failed},
        {"unknown flag bit", {4, kNone, 0x1000}, qor_s_msg_unmarshal_failed},
        {"URI flag without element", {4, kNone, 0x002}, qor_s_msg_unmarshal_failed},
        {"element without flag", {4, s + 12, 0, 8, kNone, 2, qor_test_chars("/\0\0\0")},
         qor_s_msg_unmarshal_failed},
        {"string element with trailing word",
         {4, s + 12, 0x002, 12, kNone, 2, qor_test_chars("/\0\0\0"), 0},
         qor_s_msg_unmarshal_failed},
        {"string element missing the second string",
         {4, s + 12, 0x006, 8, kNone, 2, qor_test_chars("/\0\0\0")}, qor_s_msg_unmarshal_failed},
        {"string count past the element", {4, s + 12, 0x002, 8, kNone, 40, 0},
         qor_s_msg_unmarshal_failed},
        {"server part with unknown bit", {4, s + 12, 0x008, 4, kNone, 0x8},
         qor_s_msg_unmarshal_failed},
        {"server port missing", {4, s + 12, 0x008, 4, kNone, 0x4}, qor_s_msg_unmarshal_failed},
        {"SSL part with unknown bit", {4, s + 12, 0x010, 4, kNone, 0x20},
         qor_s_msg_unmarshal_failed},
        {"SSL ID past the part", {4, s + 12, 0x010, 8, kNone, 0x1, 99},
         qor_s_msg_unmarshal_failed},
        {"certificate flag without part", {4, s + 12, 0x010, 4, kNone, 0x2},
         qor_s_msg_unmarshal_failed},
        {"certificate with unknown bit", {4, s + 12, 0x010, 8, kNone, 0x2, 0x10},
         qor_s_msg_unmarshal_failed},
        {"HTTP message and one element too many",
         {4, s + 12, 0x020, 4, s + 24, 1, 4, kNone, 2}, qor_s_msg_unmarshal_failed},
        {"six elements",
         {4, s + 12, 0x03f, 4, s + 24, 0, 4, s + 36, 0, 4, s + 48, 0, 4, s + 60, 0, 4, kNone, 0},
         qor_s_msg_unmarshal_failed},
        {"element past the region", {4, s + 12, 0x020, 64, kNone, 0},
         qor_s_ipc_no_more_segments},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestRegion region;
        region.put(row.words);
        QORWebReqQuestionReader r;
        EXPECT_EQ(readBack(region, &r), row.status);
    }
}

TEST(WebRspQuestion, LayoutAndRoundTrip)
{
    QORWebRspQuestion q;
    EXPECT_EQ(q.getType(), qor_msg_web_rsp_question);
    const char http[] = "HTTP/1.1 200 OK\r\n\r\n";  // 19 bytes
    q.setHTTPBuffer(QORBuffer(http, -1));
    q.setVHostID(QORStringRef("vh"));
    q.setSessionID(QORStringRef(""));
    q.setIsSecure(1);
    QORTestRegion region;
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {
        24, s + 32, 19, qor_test_chars("HTTP"), qor_test_chars("/1.1"), qor_test_chars(" 200"),
        qor_test_chars(" OK\r"), qor_test_chars("\n\r\n\0"),
        8, s + 48, 3, qor_test_chars("vh\0\0"),
        8, s + 64, 1, 0,
        4, kNone, 1,
    };
    EXPECT_EQ(region.written(), expected);

    QORWebRspQuestion r;
    ASSERT_EQ(r.unmarshal(region.reader(), nullptr), qor_s_ok);
    QORBuffer b;
    QORStringRef text;
    int secure = 0;
    r.getHTTPBuffer(&b);
    EXPECT_EQ(str(b), http);
    r.getVHostID(&text);
    EXPECT_EQ(str(text), "vh");
    r.getSessionID(&text);
    EXPECT_EQ(str(text), "");
    r.isSecure(&secure);
    EXPECT_EQ(secure, 1);
}

TEST(WebRspQuestion, RefusesMalformedQuestions)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status;
    } rows[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"three elements",
         {4, s + 12, 0, 8, s + 28, 1, 0, 8, kNone, 1, 0}, qor_s_msg_unmarshal_failed},
        {"buffer past its element", {8, s + 16, 9, 0, 8, s + 32, 1, 0, 8, s + 48, 1, 0, 4, kNone, 0},
         qor_s_msg_unmarshal_failed},
        {"is-secure of 8 bytes",
         {4, s + 12, 0, 8, s + 28, 1, 0, 8, s + 44, 1, 0, 8, kNone, 1, 0},
         qor_s_msg_unmarshal_failed},
        {"damaged chain", {4, s + 12, 0, 400, kNone, 1}, qor_s_ipc_no_more_segments},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestRegion region;
        region.put(row.words);
        QORWebRspQuestion r;
        EXPECT_EQ(r.unmarshal(region.reader(), nullptr), row.status);
    }
}

TEST(URCVersionQuestion, LayoutAndRoundTrip)
{
    QOREpochVersion v;
    for (int i = 0; i < 16; i++)
        v.m_identifier[i] = static_cast<uint8_t>(0xa0 + i);
    v.m_counter = 7;
    QORURCVersionQuestion q;
    EXPECT_EQ(q.getType(), qor_msg_urc_version_question);
    QOREpochVersion out = {};
    EXPECT_EQ(q.getVersion(out), qor_s_not_available);
    q.setVersion(&v);
    QORTestRegion region;
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {24, kNone, 20, 0xa3a2a1a0, 0xa7a6a5a4, 0xabaaa9a8,
                                      0xafaeadac, 7};
    EXPECT_EQ(region.written(), expected);

    QORURCVersionQuestion r;
    ASSERT_EQ(r.unmarshal(region.reader(), nullptr), qor_s_ok);
    ASSERT_EQ(r.getVersion(out), qor_s_ok);
    EXPECT_TRUE(out == v);

    for (std::vector<uint32_t> bad : {std::vector<uint32_t>{20, kNone, 16, 1, 2, 3, 4},
                                      std::vector<uint32_t>{28, kNone, 24, 1, 2, 3, 4, 5, 6},
                                      std::vector<uint32_t>{}}) {
        region.put(bad);
        QORURCVersionQuestion b;
        EXPECT_EQ(b.unmarshal(region.reader(), nullptr), qor_s_msg_unmarshal_failed);
        EXPECT_EQ(b.getVersion(out), qor_s_not_available);
    }
}
