#include "core/http/qorhttpparser.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "core/memory/qorcountingallocator.h"
#include "core/trace/qortraceregistry.h"
#include "qortestlog.h"
#include "qorteststr.h"

namespace {

// A cursor over a private copy of text (parsers may write into it), and
// where it stands relative to the start.
struct Input {
    explicit Input(const std::string& t)
        : text(t)
        , cursor(&text[0], static_cast<int>(text.size()))
    {
    }
    int at() const { return static_cast<int>(cursor.current() - text.data()); }

    std::string text;
    QORBufferCursor cursor;
};

// "status method uri version @cursor" of a request line (status as its
// message number, method as its number).
std::string requestLine(const std::string& text)
{
    Input in(text);
    QORHTTPMethod method = qor_method_options;
    QORStringRef m, u, v;
    QORStatus st = QORHTTPParser::parseRequestLine(&in.cursor, &method, &m, &u, &v);
    return std::to_string(st ? st - QOR_MSG_BASE : 0) + " " + std::to_string(method) + " " +
           qor_test_str(u) + " " + qor_test_str(v) + " @" + std::to_string(in.at());
}

// "status code reason" of a status line.
std::string statusLine(const std::string& text)
{
    Input in(text);
    QORStringRef v, c, r;
    QORStatus st = QORHTTPParser::parseStatusLine(&in.cursor, &v, &c, &r);
    return std::to_string(st ? st - QOR_MSG_BASE : 0) + " " + qor_test_str(c) + " " + qor_test_str(r);
}

typedef QORStatus (*Scanner)(QORBufferCursor*, QORStringRefT<char>*);

// What a scanner views, or "!" and its status with the cursor unmoved; and
// where the cursor stopped after success.
std::string scan(Scanner f, const std::string& text)
{
    Input in(text);
    QORStringRef v;
    QORStatus st = f(&in.cursor, &v);
    if (st != qor_s_ok)
        return "!" + std::to_string(st - QOR_MSG_BASE) + (in.at() == 0 ? "" : " moved");
    if (in.at() != static_cast<int>(v.data() + v.length() - in.text.data()) &&
        f != QORHTTPParser::parseChunk)
        return "cursor not after the view";
    return qor_test_str(v);
}

// "name=value" pairs of a table, in iteration order.
template <class Set>
std::vector<std::string> pairs(Set& set)
{
    std::vector<std::string> out;
    for (typename Set::Iterator it = set.begin(); it.valid(); it.next())
        out.push_back(qor_test_str(it.key()) + "=" + qor_test_str(it.value()));
    return out;
}

// Decodes in for the traces it leaves; what it decodes to is checked by
// the decode_uri corpus replay.
void decode(const std::string& in)
{
    QORNCPString out;
    (void)QORHTTPParser::decodeURI(QORStringRef(in.data(), static_cast<int>(in.size())), &out);
}

} // namespace

TEST(QORHTTPParserTest, QuotedStringsAndCookieValues)
{
    Scanner quoted = QORHTTPParser::parseQuotedString, value = QORHTTPParser::parseCookieValue;
    EXPECT_EQ(scan(quoted, "\"a\\\"b\";x"), "\"a\\\"b\"");
    EXPECT_EQ(scan(quoted, "\"a\tb\""), "\"a\tb\"");
    for (std::string bad : std::vector<std::string>{"\"open", "\"a\nb\"", "\"a\x7f\"", "\"a\\", "x\"", std::string("\"a\\\0\"", 5)})
        EXPECT_EQ(scan(quoted, bad), "!2") << bad;
    EXPECT_EQ(scan(value, "Wed, 09-Jun-2021 10:18:14 GMT; path=/"), "Wed, 09-Jun-2021 10:18:14 GMT");
    EXPECT_EQ(scan(value, "Wed, 09 Jun 2021 10:18:14 GMT; x"), "Wed");
    EXPECT_EQ(scan(QORHTTPParser::parseCookieExpiresParam, "Wed, 09-Jun-2021 10:18:14 GM"), "!2");
    EXPECT_EQ(scan(value, "a b\tc;d"), "a b\tc");
    EXPECT_EQ(scan(value, "\"q;\",x"), "\"q;\"");
    EXPECT_EQ(scan(QORHTTPParser::parseToken, "Content-Type: x"), "Content-Type");
    EXPECT_EQ(scan(QORHTTPParser::parseToken, "\xC3\xA9t\xC3\xA9"), "!2");
    EXPECT_EQ(scan(QORHTTPParser::parseReasonPhrase, "Not Found\tx"), "Not Found");
}

TEST(QORHTTPParserTest, TerminatorMayHaveAnExtraCarriageReturnButNotBeOne)
{
    // What the waster returns, and where it leaves the cursor.
    auto waste = [](const char* text) {
        Input in(text);
        int r = QORHTTPParser::wasteTerminator(&in.cursor);
        return std::to_string(r) + " @" + std::to_string(in.at());
    };
    EXPECT_EQ(waste("\r\r\nX"), "1 @3");
    EXPECT_EQ(waste("\rX"), "0 @0");
}

TEST(QORHTTPParserTest, StartLinesAndVersions)
{
    EXPECT_EQ(requestLine("GET /a?b HTTP/1.1\r\nHost: x\r\n"), "0 1 /a?b HTTP/1.1 @19");
    EXPECT_EQ(requestLine(" \tBREW /pot HTTP/1.0\n"), "64 -1 /pot HTTP/1.0 @21");
    // Each failure leaves the cursor after the last part accepted.
    EXPECT_EQ(requestLine("GET /a HTTP/1.1"), "68 1 /a HTTP/1.1 @15");
    EXPECT_EQ(requestLine("GET /a HTTP/1.1 \r\n"), "68 1 /a HTTP/1.1 @15");
    EXPECT_EQ(requestLine("GET/a HTTP/1.1\r\n"), "66 1   @3");
    EXPECT_EQ(requestLine("GET /a\r\n"), "67 1 /a  @6");
    EXPECT_EQ(requestLine("GET /a HTTP/1\r\n"), "65 1 /a  @7");
    EXPECT_EQ(requestLine("GET  \r\n"), "2 1   @5");
    EXPECT_EQ(requestLine("/a HTTP/1.1\r\n"), "2 0   @0");
    Scanner v = QORHTTPParser::parseVersion;
    EXPECT_EQ(scan(v, "HTTP/1.1"), "HTTP/1.1");
    EXPECT_EQ(scan(v, "HTTP/.9 "), "HTTP/.9");
    EXPECT_EQ(scan(v, "HTTP/10.25x"), "HTTP/10.25");
    for (const char* bad : {"HTTP/1.", "HTTP/1", "HTTP/", "http/1.1", "HTTP/1x1"})
        EXPECT_EQ(scan(v, bad), "!65") << bad;
    EXPECT_EQ(statusLine("HTTP/1.1 404 Not  Found\r\n"), "0 404 Not  Found");
    EXPECT_EQ(statusLine("HTTP/1.1 20x Odd\r\n"), "88 20x Odd");
    EXPECT_EQ(statusLine("HTTP/1.1 2000 Odd\r\n"), "88 2000 Odd");
    EXPECT_EQ(statusLine("HTTP/1.1 200\r\n"), "90 200 ");
    EXPECT_EQ(statusLine("HTTP/1.1 200 \r\n"), "2 200 ");
    EXPECT_EQ(statusLine("HTTP/1.1 200 OK"), "91 200 OK");
    EXPECT_EQ(statusLine("HTTP/1.1\r\n"), "67  ");
    EXPECT_EQ(statusLine("HTTP/x 200 OK\r\n"), "65  ");
}

TEST(QORHTTPParserTest, HeaderBlocksEndAtTheEmptyLineOrFail)
{
    Input in("Host: a\r\nCOOKIE: x=1\nAccept: */*\r\ncookie: y=2\r\n\r\nbody");
    QORHTTPHeaderSet h;
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(&in.cursor, &h), qor_s_ok);
    EXPECT_EQ(in.text.substr(static_cast<size_t>(in.at())), "\r\nbody");
    EXPECT_EQ(h.count(), 4);
    QORHTTPHeaderSet::Entry* e = h.find(qor_hdr_cookie);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(qor_test_str(e->value), "x=1");
    e = h.findNext(e);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(qor_test_str(e->value), "y=2");
    EXPECT_EQ(qor_test_str(e->key), "cookie");
    EXPECT_EQ(h.findNext(e), nullptr);
    EXPECT_EQ(h.find(qor_hdr_referer), nullptr);
    Input empty("X-Empty:\r\n");
    QORStringRef n, v;
    ASSERT_EQ(QORHTTPParser::parseHeader(&empty.cursor, &n, &v), qor_s_ok);
    EXPECT_EQ(v.data(), empty.text.data() + 8);
    EXPECT_EQ(v.length(), 0);
    Input ended("Accept");
    EXPECT_EQ(QORHTTPParser::parseHeader(&ended.cursor, &n, &v), qor_s_http_unexpected_end);
    Input open("Host: a\r\nAccept: b");
    h.clear();
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(&open.cursor, &h), qor_s_http_header_unterminated);
    EXPECT_EQ(open.at(), static_cast<int>(open.text.size()));
    Input bad("Host: a\r\nNoColon\r\n\r\n");
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(&bad.cursor, &h), qor_s_http_header_undelimited);
    EXPECT_EQ(bad.at(), 16);
    // A folded value starts on the continuation line; folding in the middle
    // of a value is refused.
    Input start("X-Fold:\r\n  folded value\r\nNext: 1\r\n\r\n");
    h.clear();
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(&start.cursor, &h), qor_s_ok);
    EXPECT_EQ(pairs(h).size(), 2u);
    EXPECT_EQ(qor_test_str(h.find(QORHTTPHdrNameRef("x-fold"))->value), "folded value");
    Input middle("X-Fold: part\r\n more\r\n\r\n");
    h.clear();
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(&middle.cursor, &h), qor_s_http_header_undelimited);
    EXPECT_EQ(qor_test_str(h.find(QORHTTPHdrNameRef("X-Fold"))->value), "part");
}

// A value that would not read back is refused and the set emptied; a
// refused allocation leaves the set alone.
TEST(QORHTTPParserTest, RebuildWritesOneBlockAndReparsesItOrRefuses)
{
    Input in("A: 1\r\nB: 2\r\na: 3\r\n\r\n");
    QORHTTPHeaderSet h;
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(&in.cursor, &h), qor_s_ok);
    QORNCPString changed("changed");
    h.find(QORHTTPHdrNameRef("b"))->value.set(changed.data(), changed.length());
    QORCountingAllocator a;
    char* block = nullptr;
    ASSERT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_ok);
    ASSERT_NE(block, nullptr);
    std::string text(block, a.lastSize);
    EXPECT_EQ(text.size(), std::string("A: 1\r\nB: changed\r\na: 3\r\n").size());
    EXPECT_NE(text.find("B: changed\r\n"), std::string::npos);
    QORHTTPHeaderSet::Entry* b = h.find(QORHTTPHdrNameRef("B"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->value.data(), block + text.find("changed"));
    QORAllocator::deallocate(&a, block);
    h.clear();
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_ok);
    EXPECT_EQ(block, nullptr);
    ASSERT_EQ(h.add(QORHTTPHdrNameRef("A"), QORNCPStringRef("1\r\n\r\nInjected: x")), qor_s_ok);
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_internal_config_error);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(a.live(), 0);
    EXPECT_TRUE(h.isEmpty());
    ASSERT_EQ(h.add(QORHTTPHdrNameRef("A"), QORNCPStringRef("1")), qor_s_ok);
    a.failAfter = 0;
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_no_memory);
    EXPECT_EQ(h.count(), 1);
}

// The five parts joined by "|", or the status; and where the cursor stopped.
std::string url(const std::string& text, int* at = nullptr)
{
    Input in(text);
    QORStringRef s, h, p, l, q;
    QORStatus st = QORHTTPParser::parseHTTPURL(&in.cursor, &s, &h, &p, &l, &q);
    if (at)
        *at = in.at();
    if (st != qor_s_ok)
        return "status " + std::to_string(st);
    return qor_test_str(s) + "|" + qor_test_str(h) + "|" + qor_test_str(p) + "|" + qor_test_str(l) + "|" + qor_test_str(q);
}

TEST(QORHTTPParserTest, URLParts)
{
    EXPECT_EQ(url("https://[2001:db8::1]:8443/a/b?x=1&y"), "https|2001:db8::1|8443|/a/b|x=1&y");
    // A port must be followed by a path to count.
    EXPECT_EQ(url("HTTP://host:80"), "HTTP|host|||");
    EXPECT_EQ(url("/p?"), "|||/p|");
    int at = -1;
    EXPECT_EQ(url("ftp://host/x", &at), "status " + std::to_string(qor_s_not_available));
    EXPECT_EQ(at, 0);
    QORStringRef h;
    for (const char* bad : {"[::1/x", "[]/x"}) {
        Input in(bad);
        EXPECT_EQ(QORHTTPParser::parseURLHost(&in.cursor, &h), qor_s_not_available) << bad;
        EXPECT_EQ(in.at(), 0) << bad;
    }
}

TEST(QORHTTPParserTest, PostDataTurnsPlusIntoSpaceInPlaceAndArgumentSets)
{
    Input in("a=x+y%2B&b=&c=%41");
    QORStringRef n, v;
    ASSERT_EQ(QORHTTPParser::parsePostData(&in.cursor, &n, &v), qor_s_ok);
    EXPECT_EQ(qor_test_str(v), "x y%2B");
    EXPECT_EQ(in.text.substr(0, 8), "a=x y%2B");
    Input set("\r\na=x+y%2B& b=&c=%41");
    QORHTTPFormDataSet form;
    ASSERT_EQ(QORHTTPParser::parsePostDataSet(&set.cursor, &form), qor_s_ok);
    EXPECT_EQ(pairs(form), (std::vector<std::string>{"a=x y+", "b=", "c=A"}));
    Input noEq("a");
    EXPECT_EQ(QORHTTPParser::parsePostData(&noEq.cursor, &n, &v), qor_s_http_unexpected_end);
    Input badEq("a:b");
    EXPECT_EQ(QORHTTPParser::parsePostData(&badEq.cursor, &n, &v), qor_s_http_bad_post_data);
    EXPECT_EQ(badEq.at(), 1);
    Input badSet("a=1&b:2");
    form.clear();
    EXPECT_EQ(QORHTTPParser::parsePostDataSet(&badSet.cursor, &form), qor_s_http_bad_post_data);
    Input badEscape("a=%zz");
    EXPECT_EQ(QORHTTPParser::parsePostDataSet(&badEscape.cursor, &form), qor_s_http_bad_request);
    // Query arguments are decoded, other argument sets not.
    const std::string url = "/p?q=a+b%21&r=%u0041";
    QORHTTPArgSet args;
    ASSERT_EQ(QORHTTPParser::parseQueryArgsSet(QORStringRef(url.c_str()), &args), qor_s_ok);
    EXPECT_EQ(pairs(args), (std::vector<std::string>{"q=a b!", "r=A"}));
    EXPECT_EQ(url, "/p?q=a+b%21&r=%u0041");
    args.clear();
    ASSERT_EQ(QORHTTPParser::parseQueryArgsSet(QORStringRef("/p"), &args), qor_s_ok);
    EXPECT_TRUE(args.isEmpty());
    Input rest("x=1&=2&y=a+b%20&tail");
    ASSERT_EQ(QORHTTPParser::parseArgSet(&rest.cursor, &args), qor_s_ok);
    EXPECT_EQ(pairs(args), (std::vector<std::string>{"x=1", "=2", "y=a+b%20"}));
    EXPECT_EQ(rest.text.substr(static_cast<size_t>(rest.at())), "tail");
}

TEST(QORHTTPParserTest, Chunks)
{
    Scanner chunk = QORHTTPParser::parseChunk;
    Input two("5;ext=1\r\nhello\r\n0\r\n\r\n");
    QORStringRef v;
    ASSERT_EQ(chunk(&two.cursor, &v), qor_s_ok);
    EXPECT_EQ(qor_test_str(v), "hello");
    EXPECT_EQ(two.at(), 16);
    ASSERT_EQ(chunk(&two.cursor, &v), qor_s_ok);
    EXPECT_EQ(v.length(), 0);
    EXPECT_EQ(two.at(), 19) << "the last chunk leaves the trailer";
    EXPECT_EQ(scan(chunk, "A\r\n0123456789\r\n"), "0123456789");
    // Overflow of 32 bits, and sizes near it, never wrap around.
    for (const char* bad : {"0\r\n", "6\r\nhello\r\n", "5\r\nhelloXY", "5\r\nhello", "5 no end",
                            "zz\r\nx\r\n", "-1\r\nx\r\n", "100000000\r\nx\r\n",
                            "FFFFFFFF\r\nx\r\n", "FFFFFFFE\r\nx\r\n"})
        EXPECT_EQ(scan(chunk, bad), "!2") << bad;
}

// Output past the string's inline room is allocated; a refused allocation
// is reported.
TEST(QORHTTPParserTest, DecodeURIAllocatesLongOutputOrReportsNoMemory)
{
    std::string in(600, 'a');
    in += "%41";
    QORCountingAllocator a;
    QORNCPString out(&a);
    ASSERT_EQ(QORHTTPParser::decodeURI(QORStringRef(in.c_str()), &out), qor_s_ok);
    EXPECT_EQ(out.length(), 601);
    a.failAfter = 0;
    QORNCPString refused(&a);
    EXPECT_EQ(QORHTTPParser::decodeURI(QORStringRef(in.c_str()), &refused), qor_s_no_memory);
}

TEST(QORHTTPParserTest, DecodeURITracesTheBadEscapeToTheHTTPComponent)
{
    QORTraceRegistry::initialize();
    QORTraceRegistry::remove("dxqor.http");
    QORTestLog log(true);
    ASSERT_NE(QORTraceRegistry::add("dxqor.http", 8, &log), nullptr);
    for (const char* in : {"a%", "%4", "%u12", "ok%41"})
        decode(in);
    QORTraceRegistry::setLevel("dxqor.http", 7);
    decode("%zz");
    QORTraceRegistry::remove("dxqor.http");
    QORTraceRegistry::shutdown();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "[] Found invalid % sequence - bad request",
                               "[] Found invalid %hh sequence - bad request",
                               "[] Found invalid %uhhhh sequence - bad request"}));
}
