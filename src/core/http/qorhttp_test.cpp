#include "core/http/qorhttp.h"

#include <gtest/gtest.h>
#include <string>
#include "core/memory/qorcountingallocator.h"
#include "core/platform/qorscopedlocale.h"
#include "core/system/qorreport.h"
#include "qorteststr.h"

namespace {

std::string url(const char* scheme, const char* host, const char* port,
                const char* uri, const char* query)
{
    QORString out;
    EXPECT_TRUE(QORHTTP::buildUrl(QORStringRef(scheme), QORStringRef(host),
                                  QORStringRef(port), QORStringRef(uri),
                                  QORStringRef(query), &out));
    return out.c_str();
}

std::string absolute(const char* base, const char* rel)
{
    QORString out;
    QORStatus st = QORHTTP::buildAbsoluteURL(QORStringRef(base), QORStringRef(rel), &out);
    return st == qor_s_ok ? out.c_str() : "status " + std::to_string(st);
}

// The canonical form, or "!" and the status.
std::string canon(bool caseSensitive, bool win32, const char* uri)
{
    QORString out;
    QORStatus st = QORHTTP::processURI(caseSensitive, win32, QORStringRef(uri), &out);
    return st == qor_s_ok ? out.c_str() : "!" + std::to_string(st - QOR_MSG_BASE);
}

} // namespace

TEST(QORHTTPTest, MethodsAreCaseSensitiveUnknownIsMinusOneAndReasonsFallBack)
{
    QORHTTPMethod m;
    QORHTTP::getMethod(QORStringRef("PROPPATCH"), &m);
    EXPECT_EQ(m, qor_method_proppatch);
    QORHTTP::getMethod(QORStringRef("get"), &m);
    EXPECT_EQ(m, qor_method_unrecognized);
    // Same prefix, different length.
    EXPECT_EQ(QORHTTP::getMethod("GETX", 4), qor_method_unrecognized);
    EXPECT_EQ(QORHTTP::getMethod("GET", 2), qor_method_unrecognized);
    QORStringRef name;
    QORHTTP::getMethodName(qor_method_move, &name);
    EXPECT_EQ(qor_test_str(name), "MOVE");
    QORHTTP::getMethodName(qor_method_unrecognized, &name);
    EXPECT_EQ(qor_test_str(name), "unrecognized");
    QORHTTP::getMethodName(static_cast<QORHTTPMethod>(11), &name);
    EXPECT_EQ(qor_test_str(name), "unrecognized");
    // A reason falls back to its class's, or to "Server Error".
    const struct { int code; const char* reason; } reasons[] = {
        {203, "Non-Authoritative Information"}, {505, "HTTP Version Not Supported"},
        {306, "Multiple Choices"}, {418, "Bad Request"}, {600, "Server Error"},
        {99, "Server Error"}, {-101, "Server Error"}};
    for (const auto& r : reasons) {
        QORHTTP::getReason(r.code, &name);
        EXPECT_EQ(qor_test_str(name), r.reason) << r.code;
    }
}

TEST(QORHTTPTest, HeaderNameHashFoldsCaseAndMixesEveryFourthCharacter)
{
    // 5381*33 ^ 'c', then ^ 'i' ("Cookie": positions 0 and 4).
    uint32_t h = ((5381u * 33) ^ 'c') * 33 ^ 'i';
    EXPECT_EQ(qor_hdr_cookie.hash(), h);
    EXPECT_EQ(QORHTTPHdrNameRef("COOKIE").hash(), h);
    // Characters at positions 1-3 and 5 do not count.
    EXPECT_EQ(QORHTTPHdrNameRef("CxxxIx").hash(), h);
    EXPECT_EQ(QORHTTPHdrNameRef("").hash(), 5381u);
    // The view's own hash stays the ordinary case-sensitive one.
    EXPECT_EQ(qor_hdr_cookie.QORStringRef::hash(),
              qor_string_hasher.hash("Cookie", 6));
    EXPECT_TRUE(qor_hdr_www_authenticate.sameName(QORStringRef("www-AUTHENTICATE")));
    EXPECT_FALSE(qor_hdr_age.sameName(QORStringRef("Ages")));
}

TEST(QORHTTPTest, AbsoluteURLsAreRecognisedIgnoringCaseResolvedAndBuilt)
{
    for (const char* yes : {"HTTPS://a/", "hTTp://a"})
        EXPECT_TRUE(QORHTTP::isAbsoluteURL(QORStringRef(yes))) << yes;
    for (const char* no : {"http:/a", "/http://a", "ftp://a"})
        EXPECT_FALSE(QORHTTP::isAbsoluteURL(QORStringRef(no))) << no;
    EXPECT_EQ(absolute("http://h:8080/a/b?q=1", "c"), "http://h:8080/a/c");
    EXPECT_EQ(absolute("http://h:8080/a/b?q=1", "/c"), "http://h:8080/c");
    EXPECT_EQ(absolute("https://h/a/b", "HTTP://other/x"), "HTTP://other/x");
    EXPECT_EQ(absolute("https://h", "c"), "https://h/c");
    EXPECT_EQ(absolute("https://h/", "c?d"), "https://h/c?d");
    EXPECT_EQ(absolute("http://[::1]:81/d/", "e"), "http://[::1]:81/d/e");
    EXPECT_EQ(absolute("ftp://h/a", "c"), "status " + std::to_string(qor_s_not_available));
    // Building drops default ports and brackets IPv6 hosts.
    EXPECT_EQ(url("http", "fe80::1", "80", "/a/b", "x=1"), "http://[fe80::1]/a/b?x=1");
    EXPECT_EQ(url("https", "h", "80", "/", ""), "https://h:80/");
    EXPECT_EQ(url("https", "h", "443", "", ""), "https://h");
    EXPECT_EQ(url("ftp", "h", "443", "/f", ""), "ftp://h/f");
    EXPECT_EQ(url("http", "h", "8080", "/p", "q"), "http://h:8080/p?q");
    QORLCPString lcp;
    EXPECT_TRUE(QORHTTP::buildUrl(QORLCPStringRef("http"), QORLCPStringRef("h"),
                                  QORLCPStringRef("81"), QORLCPStringRef("/"),
                                  QORLCPStringRef(""), &lcp));
    EXPECT_STREQ(lcp.c_str(), "http://h:81/");
    QORCountingAllocator a;
    char* raw = QORHTTP::buildUrl(QORStringRef("https"), QORStringRef("::1"), QORStringRef("8443"),
                                  QORStringRef("/x"), QORStringRef("y"), &a);
    ASSERT_NE(raw, nullptr);
    EXPECT_STREQ(raw, "https://[::1]:8443/x?y");
    EXPECT_EQ(a.lastSize, strlen(raw) + 1);
    QORAllocator::deallocate(&a, raw);
    a.failAfter = 0;
    EXPECT_EQ(QORHTTP::buildUrl(QORStringRef("http"), QORStringRef("h"), QORStringRef(""),
                                QORStringRef("/"), QORStringRef(""), &a),
              nullptr);
}

// Rows: case-sensitive, Windows rules, path, canonical form or "!" status.
TEST(QORHTTPTest, ProcessURICollapsesSlashesAppliesWindowsRulesAndLowerCases)
{
    QORScopedCtypeLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    const struct { bool caseSensitive, windows; const char* in; const char* out; } cases[] = {
        {true, false, "/a//b/", "/a/b/"}, {true, false, "//a///", "/a/"},
        {true, false, "a/b", "a/b"}, {true, false, "", ""},
        {true, false, "/  a/ b c/./..", "/a/b c/./.."},
        {false, false, "/Dir/File.HTM", "/dir/file.htm"},
        {true, true, "/docs/PROGRA~1/x", "!52"}, {false, true, "/LONGFI~2.TXT", "!52"},
        // The name before the first dot must be longer than two characters.
        {true, true, "/~1", "/~1"}, {true, true, "/a~1b", "/a~1b"},
        {true, true, "/a.b~1", "/a.b~1"},
        {false, false, "/PROGRA~1/File..", "/progra~1/file.."},
        // Trailing dots go only where segments are lower-cased.
        {false, true, "/Dir.../a./../.", "/dir/a/../."}, {true, true, "/Dir.../a.", "/Dir.../a."},
        {false, false, "/\xC3\x89T\xC3\x89/\xD0\x96", "/\xC3\xA9t\xC3\xA9/\xD0\xB6"},
        {false, false, "/a\xC3", "!59"}, {false, false, "/\xFF", "!59"},
        // Case-sensitive paths are not decoded.
        {true, false, "/\xFF", "/\xFF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(canon(c.caseSensitive, c.windows, c.in), c.out) << c.in;
}

int g_reports = 0;
void countReport(const char*, int, int, QORStatus, va_list)
{
    g_reports++;
}

// A client's undecodable path fails every request but is reported at most
// once a minute: the client chooses those bytes.
TEST(QORHTTPTest, UndecodablePathsAreReportedOnceNotPerRequest)
{
    QORScopedCtypeLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    qor_report_sink_t old = qor_report_set_sink(countReport);
    g_reports = 0;
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(canon(false, false, "/\xFF"), "!59");
    qor_report_set_sink(old);
    EXPECT_LE(g_reports, 1);
}

// Appending after a prefix gives the prefix followed by the canonical form,
// even where the prefix ends in "/" or the path does not begin with one.
TEST(QORHTTPTest, AppendURIActsAsOnAnEmptyString)
{
    const char* prefixes[] = {"", "/web", "/", "/web/"};
    const char* uris[] = {"/a//b/", "//a///", "a/b", "/", "", "/  a/ b c/./..", "/Dir/F.HTM"};
    for (const char* prefix : prefixes) {
        for (const char* uri : uris) {
            for (bool caseSensitive : {true, false}) {
                QORString out;
                ASSERT_TRUE(out.set(QORStringRef(prefix)));
                ASSERT_EQ(QORHTTP::appendURI(caseSensitive, false, QORStringRef(uri), &out),
                          qor_s_ok);
                EXPECT_EQ(std::string(out.c_str()),
                          prefix + canon(caseSensitive, false, uri))
                    << prefix << " + " << uri;
            }
        }
    }
}
