#include "core/trace/qorlog.h"

#include <cstdlib>
#include <ctime>
#include <pthread.h>
// g++ 12 with the sanitizers at -O1 takes a std::function inside <regex>'s
// compiler for uninitialised (a false positive in the library's code).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <unistd.h>
#include <gtest/gtest.h>

#include "core/platform/qorscopedlocale.h"
#include "core/trace/qorfilelog.h"
#include "qortestdir.h"
#include "qortestlog.h"

namespace {

typedef std::vector<std::string> Texts;

// As "2024-05-17-13:04:59.250+00:00".
const std::regex kStamp(R"(\d{4}-\d\d-\d\d-\d\d:\d\d:\d\d\.\d{3}\+00:00)");

// The line is stamp, " middle ", process and thread ids right-aligned in
// at least 8 columns, then " text\n".
void expectLine(const std::string& line, const std::string& middle, const std::string& text)
{
    const size_t n = 29;   // the stamp
    EXPECT_TRUE(std::regex_match(line.substr(0, n), kStamp)) << line;
    std::string head = " " + middle + " ";
    ASSERT_EQ(line.compare(n, head.size(), head), 0) << line;
    char ids[64];
    snprintf(ids, sizeof ids, "%8u %8u ", (unsigned)getpid(), (unsigned)pthread_self());
    EXPECT_EQ(line.substr(n + head.size()), ids + text + "\n");
}

} // namespace

TEST(QORLogTest, TimeStringIsLocalTimeWithZeroOffset)
{
    // Five and a half hours east of UTC, yet written as +00:00.
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "XST-5:30", 1);
    tzset();
    char buf[QORLog::kTimeStringSize];
    time_t now = time(nullptr);
    QORLog::getTimeString(buf, sizeof buf);
    struct tm tm;
    localtime_r(&now, &tm);
    char expected[32];
    strftime(expected, sizeof expected, "%Y-%m-%d-%H:%M", &tm);
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_TRUE(std::regex_match(buf, kStamp)) << buf;
    // Only a turn of the minute between the readings could tell them apart.
    EXPECT_TRUE(std::string(buf, 16) == expected || now % 60 == 59) << buf;
}

TEST(QORLogTest, FileLogWritesStampedLinesAndAppends)
{
    QORTestDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("trace.log");
    {
        QORFileLog log(path.c_str());
        ASSERT_TRUE(log.isOpen());
        EXPECT_FALSE(log.isUTF8());
        log.log(qor_log_trace_0 + 4, "src/a.cpp", 42, "dxqor.http", "hello world", -1);
    }
    std::string content = qor_test_read_file(path);
    expectLine(content, "dxqor.http TRACE 4 src/a.cpp 42", "hello world");
    // Reopened from an unterminated view: appends; a length cuts the text;
    // unbuffered, so the line is there while the log is open.
    std::string padded = path + "XYZ";
    QORFileLog again(QORLCPStringRef(padded.c_str(), (int)path.size()));
    again.logLCP(qor_log_error, "b.cpp", 7, "DXQor", "failure and more", 7);
    content = qor_test_read_file(path);
    size_t nl = content.find('\n');
    ASSERT_NE(nl, std::string::npos);
    expectLine(content.substr(nl + 1), "DXQor ERROR b.cpp 7", "failure");
    EXPECT_EQ(access(padded.c_str(), F_OK), -1);
}

TEST(QORLogTest, FileLogThatCannotOpenOrIsLinkedWritesNothing)
{
    QORTestDir dir;
    ASSERT_TRUE(dir.ok());
    std::string bad = dir.file("missing/trace.log");
    std::string good = dir.file("good.log");
    QORFileLog log(bad.c_str());
    EXPECT_FALSE(log.isOpen());
    log.flog(qor_log_error, "f.cpp", 1, "c", "lost %d", 1);
    // A failed open also closes the file that was open.
    ASSERT_TRUE(log.open(good.c_str()));
    EXPECT_FALSE(log.open(bad.c_str()));
    log.log(qor_log_error, "f.cpp", 1, "c", "lost", -1);
    EXPECT_EQ(qor_test_read_file(good), "");
    EXPECT_EQ(access(bad.c_str(), F_OK), -1);
    QORFileLog().log(qor_log_info, "f.cpp", 1, "c", "nowhere", -1);
    // Nor does it open a file planted as a link to another.
    std::string victim = dir.file("victim"), soft = dir.file("soft"), hard = dir.file("hard");
    ASSERT_TRUE(QORFileLog(victim.c_str()).isOpen());
    ASSERT_EQ(symlink(victim.c_str(), soft.c_str()) | link(victim.c_str(), hard.c_str()), 0);
    for (const std::string& planted : {soft, hard}) {
        QORFileLog linked(planted.c_str());
        EXPECT_FALSE(linked.isOpen()) << planted;
        linked.log(qor_log_error, "f.cpp", 1, "c", "leaked", -1);
    }
    EXPECT_EQ(qor_test_read_file(victim), "");
}

TEST(QORLogTest, BaseLogWritesToStandardOutput)
{
    QORLog log(true);
    fflush(stdout);
    testing::internal::CaptureStdout();
    log.flog(qor_log_warning, "x.cpp", 3, "comp", "%s=%d", "n", 5);
    fflush(stdout);
    expectLine(testing::internal::GetCapturedStdout(), "comp WARNING x.cpp 3", "n=5");
}

TEST(QORLogTest, FormattedLinesAndRefusedFormats)
{
    QORTestLog log(true);
    log.flog(qor_log_info, "f", 1, "c", "%d-%s", 12, "ab");
    log.flogLCP(qor_log_info, "f", 2, "c", "%05u", 42u);
    // Formats the formatter refuses drop the line rather than write it raw.
    int n = 0;
    log.flog(qor_log_info, "f", 3, "c", "bad%n", &n);
    log.flogLCP(qor_log_info, "f", 4, "c", "bad%");
    EXPECT_EQ(log.texts(), (Texts{"12-ab", "00042"}));
    EXPECT_EQ(log.records()[1].line, 2u);
    EXPECT_STREQ(QORLog::severityText(qor_log_severity_count), "UNKNOWN");
}

TEST(QORLogTest, TextReachesTheSinkInItsEncoding)
{
    const char utf8Text[] = "caf\xc3\xa9 ok";
    const char lcpText[] = "caf\xe9 ok";
    QORTestLog utf8Sink(true);
    QORTestLog lcpSink(false);
    {
        // An ASCII local code page: what it cannot hold becomes '?'.
        QORScopedCtypeLocale c("C");
        ASSERT_TRUE(c.ok());
        utf8Sink.log(qor_log_info, "f", 1, "c", utf8Text, -1);
        utf8Sink.logLCP(qor_log_info, "f", 1, "c", lcpText, -1);
        lcpSink.log(qor_log_info, "f", 1, "c", utf8Text, -1);
        lcpSink.logLCP(qor_log_info, "f", 1, "c", lcpText, -1);
    }
    EXPECT_EQ(utf8Sink.texts(), (Texts{utf8Text, "caf? ok"}));
    EXPECT_EQ(lcpSink.texts(), (Texts{"caf? ok", lcpText}));
    {
        // A UTF-8 local code page needs no conversion.
        QORScopedCtypeLocale u("C.UTF-8");
        ASSERT_TRUE(u.ok());
        lcpSink.clear();
        lcpSink.log(qor_log_info, "f", 1, "c", QORStringRef(utf8Text, 5));
        utf8Sink.log(qor_log_info, "f", 1, "c", QORLCPStringRef(utf8Text, 5));
    }
    EXPECT_EQ(lcpSink.texts(), (Texts{"caf\xc3\xa9"}));
    EXPECT_EQ(utf8Sink.records().back().text, "caf\xc3\xa9");
}
