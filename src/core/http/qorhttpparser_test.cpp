#include "core/http/qorhttpparser.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "core/memory/qorcountingallocator.h"
#include "core/trace/qortraceregistry.h"
#include "core/trace/qortracetesting.h"

namespace {

std::string str(const QORStringRefT<char>& s)
{
    return std::string(s.data(), static_cast<size_t>(s.length()));
}

// A cursor over a private copy of text (parsers may write into it), and
// where it stands relative to the start.
class Input {
public:
    explicit Input(const std::string& text)
        : m_text(text)
        , m_cursor(&m_text[0], static_cast<int>(m_text.size()))
    {
    }
    QORBufferCursor* cursor() { return &m_cursor; }
    int at() const { return static_cast<int>(m_cursor.current() - m_text.data()); }
    int mark() const { return static_cast<int>(m_cursor.mark() - m_text.data()); }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
    QORBufferCursor m_cursor;
};

struct RequestLine {
    QORStatus status;
    QORHTTPMethod method = qor_method_unrecognized;
    std::string methodText, uri, version;
    int at;
};

RequestLine requestLine(const std::string& text)
{
    Input in(text);
    QORStringRef m, u, v;
    RequestLine r;
    r.status = QORHTTPParser::parseRequestLine(in.cursor(), &r.method, &m, &u, &v);
    r.methodText = str(m);
    r.uri = str(u);
    r.version = str(v);
    r.at = in.at();
    return r;
}

QORStatus statusLine(const std::string& text, std::string* code, std::string* reason)
{
    Input in(text);
    QORStringRef v, c, r;
    QORStatus st = QORHTTPParser::parseStatusLine(in.cursor(), &v, &c, &r);
    *code = str(c);
    *reason = str(r);
    return st;
}

// "name=value" pairs of a header set, in iteration order.
std::vector<std::string> pairs(QORHTTPHeaderSet& h)
{
    std::vector<std::string> out;
    for (QORHTTPHeaderSet::Iterator it = h.begin(); it.valid(); it.next())
        out.push_back(str(it.key()) + "=" + str(it.value()));
    return out;
}

std::string decoded(const std::string& in, QORStatus* st = nullptr)
{
    QORNCPString out;
    QORStatus s = QORHTTPParser::decodeURI(QORStringRef(in.data(), static_cast<int>(in.size())), &out);
    if (st)
        *st = s;
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

} // namespace

TEST(QORHTTPParserTest, ClassTablesMatchTheirDefinitions)
{
    for (int b = 0; b < 256; b++) {
        bool sep = strchr("\"(),/:;<=>?@[\\]{}", b) != nullptr && b != 0;
        EXPECT_EQ(qor_http_token_delimiter[b], b <= 0x20 || b >= 0x7f || sep) << b;
        EXPECT_EQ(qor_http_text_delimiter[b], (b < 0x20 && b != 9) || b == 0x7f) << b;
        EXPECT_EQ(qor_http_uri_delimiter[b], b <= 0x20 || b == 0x7f) << b;
        EXPECT_EQ(qor_http_unquoted_cookie_value_delimiter[b],
                  (b < 0x20 && b != 9) || b == 0x7f || b == ',' || b == ';')
            << b;
    }
    EXPECT_EQ(qor_http_reason_delimiter['\t'], 1);
    EXPECT_EQ(qor_http_whitespace_delimiter['\t'] + qor_http_whitespace_delimiter[' '], 0);
}

TEST(QORHTTPParserTest, ScannersViewRunsAndLeaveTheCursorOnFailure)
{
    Input in("Host: x");
    QORStringRef t;
    ASSERT_EQ(QORHTTPParser::parseToken(in.cursor(), &t), qor_s_ok);
    EXPECT_EQ(str(t), "Host");
    EXPECT_EQ(in.at(), 4);
    EXPECT_EQ(in.mark(), 4);
    EXPECT_EQ(QORHTTPParser::parseToken(in.cursor(), &t), qor_s_not_available);
    EXPECT_EQ(in.at(), 4);

    Input empty("");
    EXPECT_EQ(QORHTTPParser::parseText(empty.cursor(), &t), qor_s_not_available);
}

TEST(QORHTTPParserTest, QuotedStringsAndCookieValues)
{
    struct Case {
        std::string in;
        QORStatus st;
        const char* view;
    } cases[] = {
        {"\"a\\\"b\";x", qor_s_ok, "\"a\\\"b\""},
        {"\"a\tb\"", qor_s_ok, "\"a\tb\""},
        {"\"open", qor_s_not_available, ""},
        {"\"a\nb\"", qor_s_not_available, ""},
        {"\"a\\", qor_s_not_available, ""},
        {std::string("\"a\\\0\"", 5), qor_s_not_available, ""},
    };
    for (const Case& k : cases) {
        Input in(k.in);
        QORStringRef v;
        EXPECT_EQ(QORHTTPParser::parseQuotedString(in.cursor(), &v), k.st) << k.in;
        EXPECT_EQ(str(v), k.view) << k.in;
        EXPECT_EQ(in.at(), k.st == qor_s_ok ? v.length() : 0);
    }

    Input date("Wed, 09-Jun-2021 10:18:14 GMT; path=/");
    QORStringRef v;
    ASSERT_EQ(QORHTTPParser::parseCookieValue(date.cursor(), &v), qor_s_ok);
    EXPECT_EQ(v.length(), 29);
    Input notDate("Wed, 09 Jun 2021 10:18:14 GMT; x");
    ASSERT_EQ(QORHTTPParser::parseCookieValue(notDate.cursor(), &v), qor_s_ok);
    EXPECT_EQ(str(v), "Wed");
    Input shortDate("Wed, 09-Jun-2021 10:18:14 GM");
    EXPECT_EQ(QORHTTPParser::parseCookieExpiresParam(shortDate.cursor(), &v),
              qor_s_not_available);
    Input spaced("a b\tc;d");
    ASSERT_EQ(QORHTTPParser::parseCookieValue(spaced.cursor(), &v), qor_s_ok);
    EXPECT_EQ(str(v), "a b\tc");
}

TEST(QORHTTPParserTest, TerminatorsAndWhiteSpace)
{
    for (const char* t : {"\r\nX", "\nX", "\r\r\nX"}) {
        Input in(t);
        EXPECT_TRUE(QORHTTPParser::wasteTerminator(in.cursor()));
        EXPECT_EQ(in.text()[static_cast<size_t>(in.at())], 'X');
    }
    Input cr("\rX");
    EXPECT_FALSE(QORHTTPParser::wasteTerminator(cr.cursor()));
    EXPECT_EQ(cr.at(), 0);

    Input folded("\r\n \tv");
    EXPECT_EQ(QORHTTPParser::wasteWhiteSpace(folded.cursor()), 2);
    EXPECT_EQ(folded.at(), 4);
    Input bare("\r\nv");
    EXPECT_EQ(QORHTTPParser::wasteWhiteSpace(bare.cursor()), 0);
    EXPECT_EQ(bare.at(), 0);
}

TEST(QORHTTPParserTest, RequestLines)
{
    RequestLine r = requestLine("GET /a?b HTTP/1.1\r\nHost: x\r\n");
    EXPECT_EQ(r.status, qor_s_ok);
    EXPECT_EQ(r.method, qor_method_get);
    EXPECT_EQ(r.uri, "/a?b");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.at, 19);

    r = requestLine(" \tBREW /pot HTTP/1.0\n");
    EXPECT_EQ(r.status, qor_s_http_unknown_method);
    EXPECT_EQ(r.method, qor_method_unrecognized);
    EXPECT_EQ(r.methodText, "BREW");
    EXPECT_EQ(r.version, "HTTP/1.0");
    EXPECT_EQ(r.at, 21);

    // Each failure leaves the cursor at the last part accepted.
    r = requestLine("GET /a HTTP/1.1");
    EXPECT_EQ(r.status, qor_s_http_request_line_unterminated);
    EXPECT_EQ(r.at, 15);
    r = requestLine("GET /a HTTP/1.1 \r\n");
    EXPECT_EQ(r.status, qor_s_http_request_line_unterminated);
    r = requestLine("GET/a HTTP/1.1\r\n");
    EXPECT_EQ(r.status, qor_s_http_bad_uri);
    EXPECT_EQ(r.at, 3);
    r = requestLine("GET /a\r\n");
    EXPECT_EQ(r.status, qor_s_http_no_version);
    EXPECT_EQ(r.at, 6);
    r = requestLine("GET  \r\n");
    EXPECT_EQ(r.status, qor_s_not_available);
    EXPECT_EQ(r.at, 5);
    r = requestLine("/a HTTP/1.1\r\n");
    EXPECT_EQ(r.status, qor_s_not_available);
    EXPECT_EQ(r.at, 0);
}

TEST(QORHTTPParserTest, Versions)
{
    struct Case {
        const char* in;
        QORStatus st;
        const char* view;
    } cases[] = {
        {"HTTP/1.1", qor_s_ok, "HTTP/1.1"},
        {"HTTP/.9 ", qor_s_ok, "HTTP/.9"},
        {"HTTP/10.25x", qor_s_ok, "HTTP/10.25"},
        {"HTTP/1.", qor_s_http_bad_version, ""},
        {"HTTP/1", qor_s_http_bad_version, ""},
        {"HTTP/", qor_s_http_bad_version, ""},
        {"http/1.1", qor_s_http_bad_version, ""},
        {"HTTP/1x1", qor_s_http_bad_version, ""},
    };
    for (const Case& k : cases) {
        Input in(k.in);
        QORStringRef v;
        EXPECT_EQ(QORHTTPParser::parseVersion(in.cursor(), &v), k.st) << k.in;
        EXPECT_EQ(str(v), k.view) << k.in;
        EXPECT_EQ(in.at(), v.length()) << k.in;
    }
}

TEST(QORHTTPParserTest, StatusLines)
{
    std::string code, reason;
    EXPECT_EQ(statusLine("HTTP/1.1 404 Not  Found\r\n", &code, &reason), qor_s_ok);
    EXPECT_EQ(code, "404");
    EXPECT_EQ(reason, "Not  Found");
    EXPECT_EQ(statusLine("HTTP/1.1 20x Odd\r\n", &code, &reason), qor_s_http_bad_status_code);
    EXPECT_EQ(reason, "Odd");
    EXPECT_EQ(statusLine("HTTP/1.1 2000 Odd\r\n", &code, &reason), qor_s_http_bad_status_code);
    EXPECT_EQ(statusLine("HTTP/1.1 200\r\n", &code, &reason), qor_s_http_no_reason);
    EXPECT_EQ(statusLine("HTTP/1.1 200 \r\n", &code, &reason), qor_s_not_available);
    EXPECT_EQ(statusLine("HTTP/1.1 200 OK", &code, &reason), qor_s_http_status_line_unterminated);
    EXPECT_EQ(statusLine("HTTP/1.1\r\n", &code, &reason), qor_s_http_no_version);
    EXPECT_EQ(statusLine("HTTP/x 200 OK\r\n", &code, &reason), qor_s_http_bad_version);
}

TEST(QORHTTPParserTest, HeaderLines)
{
    Input ok("Accept:  text/html \r\n");
    QORStringRef n, v;
    ASSERT_EQ(QORHTTPParser::parseHeader(ok.cursor(), &n, &v), qor_s_ok);
    EXPECT_EQ(str(n), "Accept");
    EXPECT_EQ(str(v), "text/html ");

    Input empty("X-Empty:\r\n");
    ASSERT_EQ(QORHTTPParser::parseHeader(empty.cursor(), &n, &v), qor_s_ok);
    EXPECT_EQ(v.length(), 0);
    EXPECT_EQ(v.data(), empty.text().data() + 8);

    Input noColon("Accept text\r\n");
    EXPECT_EQ(QORHTTPParser::parseHeader(noColon.cursor(), &n, &v), qor_s_http_header_undelimited);
    EXPECT_EQ(noColon.at(), 6);
    Input ended("Accept");
    EXPECT_EQ(QORHTTPParser::parseHeader(ended.cursor(), &n, &v), qor_s_http_unexpected_end);
    Input none(": x");
    EXPECT_EQ(QORHTTPParser::parseHeader(none.cursor(), &n, &v), qor_s_not_available);
    EXPECT_EQ(none.at(), 0);
}

TEST(QORHTTPParserTest, HeaderBlocksEndAtTheEmptyLine)
{
    Input in("Host: a\r\nCOOKIE: x=1\nAccept: */*\r\ncookie: y=2\r\n\r\nbody");
    QORHTTPHeaderSet h;
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(in.cursor(), &h), qor_s_ok);
    EXPECT_EQ(in.text().substr(static_cast<size_t>(in.at())), "\r\nbody");
    EXPECT_EQ(h.count(), 4);

    QORHTTPHeaderSet::Entry* e = h.find(qor_hdr_cookie);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(str(e->value), "x=1");
    e = h.findNext(e);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(str(e->value), "y=2");
    EXPECT_EQ(str(e->key), "cookie");
    EXPECT_EQ(h.findNext(e), nullptr);
    EXPECT_EQ(h.find(qor_hdr_referer), nullptr);
}

TEST(QORHTTPParserTest, HeaderBlockFailures)
{
    Input open("Host: a\r\nAccept: b");
    QORHTTPHeaderSet h;
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(open.cursor(), &h), qor_s_http_header_unterminated);
    EXPECT_EQ(open.at(), static_cast<int>(open.text().size()));

    Input bad("Host: a\r\nNoColon\r\n\r\n");
    h.clear();
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(bad.cursor(), &h), qor_s_http_header_undelimited);
    EXPECT_EQ(bad.at(), 16);
}

TEST(QORHTTPParserTest, FoldedValuesStartOnTheContinuationLine)
{
    Input start("X-Fold:\r\n  folded value\r\nNext: 1\r\n\r\n");
    QORHTTPHeaderSet h;
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(start.cursor(), &h), qor_s_ok);
    EXPECT_EQ(pairs(h).size(), 2u);
    EXPECT_EQ(str(h.find(QORHTTPHdrNameRef("x-fold"))->value), "folded value");

    Input middle("X-Fold: part\r\n more\r\n\r\n");
    h.clear();
    EXPECT_EQ(QORHTTPParser::parseHeaderSet(middle.cursor(), &h), qor_s_http_header_undelimited);
    EXPECT_EQ(str(h.find(QORHTTPHdrNameRef("X-Fold"))->value), "part");
}

TEST(QORHTTPParserTest, RebuildWritesOneBlockAndReparsesIt)
{
    Input in("A: 1\r\nB: 2\r\na: 3\r\n\r\n");
    QORHTTPHeaderSet h;
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(in.cursor(), &h), qor_s_ok);
    QORNCPString changed("changed");
    h.find(QORHTTPHdrNameRef("b"))->value.set(changed.data(), changed.length());

    QORCountingAllocator a;
    char* block = nullptr;
    ASSERT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_ok);
    ASSERT_NE(block, nullptr);
    std::string text(block, a.lastSize);
    EXPECT_NE(text.find("B: changed\r\n"), std::string::npos);
    EXPECT_EQ(text.size(), std::string("A: 1\r\nB: changed\r\na: 3\r\n").size());
    for (QORHTTPHeaderSet::Iterator it = h.begin(); it.valid(); it.next()) {
        EXPECT_GE(it.value().data(), block);
        EXPECT_LT(it.value().data(), block + a.lastSize);
    }
    EXPECT_EQ(pairs(h).size(), 3u);
    QORAllocator::deallocate(&a, block);

    h.clear();
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_ok);
    EXPECT_EQ(block, nullptr);
}

TEST(QORHTTPParserTest, RebuildRefusesValuesThatWouldNotReadBack)
{
    QORHTTPHeaderSet h;
    ASSERT_EQ(h.add(QORHTTPHdrNameRef("A"), QORNCPStringRef("1\r\n\r\nInjected: x")), qor_s_ok);
    QORCountingAllocator a;
    char* block = nullptr;
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_internal_config_error);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(a.live(), 0);
    EXPECT_TRUE(h.isEmpty());

    ASSERT_EQ(h.add(QORHTTPHdrNameRef("A"), QORNCPStringRef("1")), qor_s_ok);
    a.failAfter = 0;
    EXPECT_EQ(QORHTTPParser::rebuildHeaderSet(&h, &a, &block), qor_s_no_memory);
    EXPECT_EQ(h.count(), 1);
}

TEST(QORHTTPParserTest, HeaderBlockOfSeventeenNamesAllocatesNothingOnceWarm)
{
    std::string text;
    const char* names[] = {"Host", "User-Agent", "Accept", "Accept-Language",
                           "Accept-Encoding", "Referer", "Cookie", "Connection",
                           "Upgrade-Insecure-Requests", "Cache-Control", "Pragma",
                           "DNT", "Origin", "Content-Type", "Content-Length",
                           "Sec-Fetch-Mode", "If-None-Match"};
    for (const char* n : names)
        text += std::string(n) + ": value of " + n + "\r\n";
    text += "\r\n";

    QORCountingAllocator a;
    QORHTTPHeaderSet h(&a);
    Input warm(text);
    ASSERT_EQ(QORHTTPParser::parseHeaderSet(warm.cursor(), &h), qor_s_ok);
    ASSERT_EQ(h.count(), 17);
    int entries = a.allocations;
    EXPECT_GT(entries, 0) << "17 names in 17 buckets collide somewhere";

    for (int round = 0; round < 3; round++) {
        h.clear();
        Input again(text);
        ASSERT_EQ(QORHTTPParser::parseHeaderSet(again.cursor(), &h), qor_s_ok);
        EXPECT_EQ(h.count(), 17);
    }
    EXPECT_EQ(a.allocations, entries);
    EXPECT_EQ(a.reallocations, 0);
}

TEST(QORHTTPParserTest, URLParts)
{
    Input in("https://[2001:db8::1]:8443/a/b?x=1&y");
    QORStringRef s, h, p, l, q;
    ASSERT_EQ(QORHTTPParser::parseHTTPURL(in.cursor(), &s, &h, &p, &l, &q), qor_s_ok);
    EXPECT_EQ(str(s), "https");
    EXPECT_EQ(str(h), "2001:db8::1");
    EXPECT_EQ(str(p), "8443");
    EXPECT_EQ(str(l), "/a/b");
    EXPECT_EQ(str(q), "x=1&y");

    // A port must be followed by a path to count.
    Input bare("HTTP://host:80");
    ASSERT_EQ(QORHTTPParser::parseHTTPURL(bare.cursor(), &s, &h, &p, &l, &q), qor_s_ok);
    EXPECT_EQ(str(h), "host");
    EXPECT_EQ(p.length(), 0);
    EXPECT_EQ(l.length(), 0);

    Input ftp("ftp://host/x");
    EXPECT_EQ(QORHTTPParser::parseHTTPURL(ftp.cursor(), &s, &h, &p, &l, &q), qor_s_not_available);
    EXPECT_EQ(ftp.at(), 0);

    Input unclosed("[::1/x");
    EXPECT_EQ(QORHTTPParser::parseURLHost(unclosed.cursor(), &h), qor_s_not_available);
    Input emptyBrackets("[]/x");
    EXPECT_EQ(QORHTTPParser::parseURLHost(emptyBrackets.cursor(), &h), qor_s_not_available);
    EXPECT_EQ(emptyBrackets.at(), 0);
    Input path("/p");
    ASSERT_EQ(QORHTTPParser::parseHTTPURL(path.cursor(), &s, &h, &p, &l, &q), qor_s_ok);
    EXPECT_EQ(str(l), "/p");
    EXPECT_EQ(s.length() + h.length(), 0);
}

TEST(QORHTTPParserTest, PostDataTurnsPlusIntoSpaceInPlace)
{
    Input in("a=x+y%2B&b=&c=%41");
    QORStringRef n, v;
    ASSERT_EQ(QORHTTPParser::parsePostData(in.cursor(), &n, &v), qor_s_ok);
    EXPECT_EQ(str(v), "x y%2B");
    EXPECT_EQ(in.text().substr(0, 8), "a=x y%2B");

    Input set("\r\na=x+y%2B& b=&c=%41");
    QORHTTPFormDataSet form;
    ASSERT_EQ(QORHTTPParser::parsePostDataSet(set.cursor(), &form), qor_s_ok);
    std::vector<std::string> got;
    for (QORHTTPFormDataSet::Iterator it = form.begin(); it.valid(); it.next())
        got.push_back(str(it.key()) + "=" + str(it.value()));
    EXPECT_EQ(got, (std::vector<std::string>{"a=x y+", "b=", "c=A"}));

    Input noEq("a");
    EXPECT_EQ(QORHTTPParser::parsePostData(noEq.cursor(), &n, &v), qor_s_http_unexpected_end);
    Input badEq("a:b");
    EXPECT_EQ(QORHTTPParser::parsePostData(badEq.cursor(), &n, &v), qor_s_http_bad_post_data);
    EXPECT_EQ(badEq.at(), 1);
    Input badSet("a=1&b:2");
    form.clear();
    EXPECT_EQ(QORHTTPParser::parsePostDataSet(badSet.cursor(), &form), qor_s_http_bad_post_data);
    Input badEscape("a=%zz");
    EXPECT_EQ(QORHTTPParser::parsePostDataSet(badEscape.cursor(), &form), qor_s_http_bad_request);
}

TEST(QORHTTPParserTest, QueryAndArgumentSets)
{
    const std::string url = "/p?q=a+b%21&r=%u0041";
    QORHTTPArgSet args;
    ASSERT_EQ(QORHTTPParser::parseQueryArgsSet(QORStringRef(url.c_str()), &args), qor_s_ok);
    QORHTTPArgSet::Iterator it = args.begin();
    ASSERT_TRUE(it.valid());
    EXPECT_EQ(str(it.value()), "a b!");
    it.next();
    ASSERT_TRUE(it.valid());
    EXPECT_EQ(str(it.value()), "A");
    EXPECT_EQ(url, "/p?q=a+b%21&r=%u0041");

    args.clear();
    ASSERT_EQ(QORHTTPParser::parseQueryArgsSet(QORStringRef("/p"), &args), qor_s_ok);
    EXPECT_TRUE(args.isEmpty());

    Input in("x=1&=2&y=a+b%20&tail");
    ASSERT_EQ(QORHTTPParser::parseArgSet(in.cursor(), &args), qor_s_ok);
    std::vector<std::string> got;
    for (QORHTTPArgSet::Iterator i = args.begin(); i.valid(); i.next())
        got.push_back(str(i.key()) + "=" + str(i.value()));
    EXPECT_EQ(got, (std::vector<std::string>{"x=1", "=2", "y=a+b%20"}));
    EXPECT_EQ(in.text().substr(static_cast<size_t>(in.at())), "tail");
}

TEST(QORHTTPParserTest, Chunks)
{
    struct Case {
        const char* in;
        QORStatus st;
        const char* view;
        int at;
    } cases[] = {
        {"5;ext=1\r\nhello\r\n0\r\n\r\n", qor_s_ok, "hello", 16},
        {"0\r\n\r\n", qor_s_ok, "", 3},
        {"A\r\n0123456789\r\n", qor_s_ok, "0123456789", 15},
        {"0\r\n", qor_s_not_available, "", 0},
        {"6\r\nhello\r\n", qor_s_not_available, "", 0},
        {"5\r\nhelloXY", qor_s_not_available, "", 0},
        {"5\r\nhello", qor_s_not_available, "", 0},
        {"5 no line end", qor_s_not_available, "", 0},
        {"zz\r\nx\r\n", qor_s_not_available, "", 0},
        {"-1\r\nx\r\n", qor_s_not_available, "", 0},
        // Overflow of 32 bits, and the largest size, never wrap around.
        {"100000000\r\nx\r\n", qor_s_not_available, "", 0},
        {"FFFFFFFF\r\nx\r\n", qor_s_not_available, "", 0},
        {"FFFFFFFE\r\nx\r\n", qor_s_not_available, "", 0},
    };
    for (const Case& k : cases) {
        Input in(k.in);
        QORStringRef v;
        EXPECT_EQ(QORHTTPParser::parseChunk(in.cursor(), &v), k.st) << k.in;
        EXPECT_EQ(str(v), k.view) << k.in;
        EXPECT_EQ(in.at(), k.at) << k.in;
    }
}

TEST(QORHTTPParserTest, DecodeURI)
{
    QORStatus st;
    EXPECT_EQ(decoded("%41%42", &st), "AB");
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(decoded("a+b%2f%%c", &st), "a+b/%c");
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(decoded("plain", &st), "plain");
    EXPECT_EQ(decoded("x%u0041y%U00e9", &st), "xAy");
    EXPECT_EQ(st, qor_s_http_bad_request) << "U+00E9 has no ASCII form";
    EXPECT_EQ(decoded("x%u0041", &st), "xA");
    EXPECT_EQ(st, qor_s_ok);

    struct Bad {
        const char* in;
        const char* kept;
    } bad[] = {
        {"ab%00", "ab"}, {"a%", "a"}, {"a%4", "a"}, {"a%4g", "a"}, {"%u004", ""},
        {"%u0000", ""},  {"%u00g1", ""}, {"q%41%u", "qA"}, {"%%%", "%"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(decoded(b.in, &st), b.kept) << b.in;
        EXPECT_EQ(st, qor_s_http_bad_request) << b.in;
    }
    EXPECT_EQ(QORHTTPParser::atox('f'), 15);
    EXPECT_EQ(QORHTTPParser::atox('G'), -1);
}

TEST(QORHTTPParserTest, DecodeURIGrowsLongOutput)
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
    QORTestLog log;
    ASSERT_NE(QORTraceRegistry::add("dxqor.http", 8, &log), nullptr);
    QORStatus st;
    decoded("a%", &st);
    decoded("%4", &st);
    decoded("%u12", &st);
    decoded("ok%41", &st);
    QORTraceRegistry::setLevel("dxqor.http", 7);
    decoded("%zz", &st);
    QORTraceRegistry::remove("dxqor.http");
    QORTraceRegistry::shutdown();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "[] Found invalid % sequence - bad request",
                               "[] Found invalid %hh sequence - bad request",
                               "[] Found invalid %uhhhh sequence - bad request"}));
}
