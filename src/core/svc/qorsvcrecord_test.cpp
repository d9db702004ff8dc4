#include "core/svc/qorsvcrecord.h"

#include <cstring>
// g++ 12 with the sanitizers at -O1 takes a std::function inside <regex>'s
// compiler for uninitialised (a false positive in the library's code).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include "core/system/qorreport.h"
#include "core/svc/qorsvctesting.h"

namespace {

const uint32_t kSyscall = 0x35f02037;  // XLTIC0055E "%s ... %s ... %d"

// Whether text matches pattern, where '@' stands for a time stamp, '%' for
// one or more digits, '*' for any run of characters within a line.
bool like(const std::string& pattern, const std::string& text)
{
    std::string re;
    for (char c : pattern)
        re += c == '@'   ? R"(\d{4}-\d\d-\d\d-\d\d:\d\d:\d\d\.\d{3}[-+]\d\d:\d\d)"
              : c == '%' ? R"(\d+)"
              : c == '*' ? R"([^\n]*)"
              : strchr(R"(\^$.|?+()[]{})", c) ? std::string("\\") + c : std::string(1, c);
    return std::regex_match(text, std::regex(re));
}

class SvcRecordTest : public SvcTest {
protected:
    std::string m_log = m_scratch.file("rec.log");

    void emitSyscall(uint32_t attributes, const char* argtypes = "%s%s%d")
    {
        dx_svc_printf_withfile(dx_svc_pic_handle, "/src/dir/file.cpp", 123, argtypes,
                               qor_svc_http_parser, attributes, kSyscall, "open", "No such file",
                               2);
    }

    void debugAt(unsigned level, const char* text)
    {
        QORStatus st;
        dx_svc_debug_set_levels_nocb("pic:HTTP Parser.9", &st);
        dx_svc__debug_utf8(dx_svc_pic_handle, "dir/x.cpp", 7, qor_svc_http_parser, level, "%s",
                           text);
    }
};

const char* const kSyscallText =
    "XLTIC0055E   The open system routine failed: system error: No such "
    "file (system error code: 2).\n";

// Without a program name, the process id stands in its place.
TEST_F(SvcRecordTest, DebugAndMessagePrefixesCarryEveryField)
{
    QORStatus st;
    dx_svc_debug_routing(("pic:UTF8FILE:" + path("debug.log")).c_str(), &st);
    debugAt(3, "hello");
    std::string text = readFile(path("debug.log")), pid = std::to_string(getpid());
    EXPECT_TRUE(like("@ PID#" + pid + " DEBUG3 pic HTTP Parser x.cpp 7 0x*\nhello\n", text))
        << text;
    route("WARNING:TEXTFILE:" + m_log);
    dx_svc_set_progname("plugind", &st);
    emitSyscall(dx_svc_c_sev_warning);
    text = readFile(m_log);
    std::string pattern = "@ 0x35F02037 plugind WARNING pic HTTP Parser file.cpp 123 0x*\n";
    EXPECT_TRUE(like(pattern + kSyscallText, text)) << text;
    EXPECT_LE(text.rfind(" 0x", text.find('\n')) + 3 + 8, text.find('\n'));
}

TEST_F(SvcRecordTest, NoPrefixBitAndBriefForm)
{
    route("ERROR:TEXTFILE:" + m_log);
    emitSyscall(dx_svc_c_sev_error | dx_svc_c_no_prefix);
    EXPECT_EQ(readFile(m_log), kSyscallText);
    // SVC_BRIEF is read when the layer starts.
    setenv("SVC_BRIEF", "1", 1);
    dx_svc_shutdown();
    std::string brief = path("brief.log");
    route("ERROR:TEXTFILE:" + brief);
    QORStatus st;
    dx_svc_debug_routing(("pic:TEXTFILE:" + brief).c_str(), &st);
    emitSyscall(dx_svc_c_sev_error);
    debugAt(2, "bare");
    std::string text = readFile(brief);
    EXPECT_TRUE(like("@ 0x35F02037 PID#% ERROR pic HTTP Parser file.cpp 123 0x* XLTIC0055E   "
                     "The open *.\nbare\n", text)) << text;
    setenv("SVC_BRIEF", "0", 1);
    dx_svc_shutdown();
    route("ERROR:TEXTFILE:" + path("long.log"));
    emitSyscall(dx_svc_c_sev_error);
    EXPECT_EQ(count(readFile(path("long.log")), "\n"), 2u);
}

TEST_F(SvcRecordTest, XmlTraceRecord)
{
    QORStatus st;
    dx_svc_debug_routing(("pic:XMLFILE:" + m_log).c_str(), &st);
    debugAt(5, "a<b]]>c");
    std::string text = readFile(m_log);
    EXPECT_TRUE(like(
        "<Trace Level=\"MID\">\n"
        " <Time Millis=\"%\">@</Time>\n"
        " <Component>pic/HTTP Parser</Component>\n"
        " <Source FileName=\"x.cpp\" Method=\"unknown\" Line=\"7\"></Source>\n"
        " <Process>%</Process>\n"
        " <Thread>0x*</Thread>\n"
        " <LogAttribs><KeyName><![CDATA[Numeric Trace Level]]></KeyName>"
        " <Value><![CDATA[5]]></Value></LogAttribs>\n"
        " <LogText><![CDATA[a<b]]]]><![CDATA[>c ]]></LogText>\n"
        "</Trace>\n",
        text))
        << text;
    debugAt(1, "x");
    debugAt(9, "y");
    text = readFile(m_log);
    EXPECT_EQ(count(text, "<Trace Level=\"MIN\">"), 1u);
    EXPECT_EQ(count(text, "<Trace Level=\"MAX\">"), 1u);
}

TEST_F(SvcRecordTest, XmlMessageRecord)
{
    route("*:XMLFILE:" + m_log);
    emitSyscall(dx_svc_c_sev_notice);
    std::string text = readFile(m_log);
    EXPECT_TRUE(like(
        "<Message Id=\"XLTIC0055E\" Severity=\"error\">\n"
        " <Time Millis=\"%\">@</Time>\n"
        " <Component>pic/HTTP Parser</Component>\n"
        " <LogAttribs><KeyName><![CDATA[Message Number]]></KeyName>"
        " <Value><![CDATA[0x35f02037]]></Value></LogAttribs>\n"
        " <Source FileName=\"file.cpp\" Method=\"unknown\" Line=\"123\"></Source>\n"
        " <Process>%</Process>\n"
        " <Thread>0x*</Thread>\n"
        " <TranslationInfo Type=\"XPG4\" Catalog=\"dxpic.cat\" SetId=\"1\" MsgKey=\"55\">\n"
        "  <Param><![CDATA[open]]></Param>\n"
        "  <Param><![CDATA[No such file]]></Param>\n"
        "  <Param><![CDATA[2]]></Param>\n"
        " </TranslationInfo>\n"
        " <LogText><![CDATA[XLTIC0055E   The open system routine failed: "
        "system error: No such file (system error code: 2). ]]></LogText>\n"
        "</Message>\n",
        text)) << text;
    // XLTIC0231W, then XLTIC0007I.
    for (uint32_t id : {0x35f020e7u, 0x35f02007u})
        dx_svc_printf_withfile(dx_svc_pic_handle, "f.cpp", 1, "", 0, dx_svc_c_sev_warning, id);
    text = readFile(m_log);
    EXPECT_EQ(count(text, "<Message Id=\"XLTIC0231W\" Severity=\"warning\">"), 1u);
    EXPECT_EQ(count(text, "<Message Id=\"XLTIC0007I\" Severity=\"info\">"), 1u);
}

TEST_F(SvcRecordTest, UnrenderableArgumentsAndUnknownIds)
{
    route("ERROR:XMLFILE:" + m_log + ";UTF8FILE:" + path("text.log"));
    emitSyscall(dx_svc_c_sev_error, "%s%lc%d");
    dx_svc_printf_withfile(dx_svc_pic_handle, "f.cpp", 1, "%d", 0, dx_svc_c_sev_error, 0x35f02ffe,
                           5);
    std::string xml = readFile(m_log), text = readFile(path("text.log"));
    const std::string repl = "(Failed to handle a data type in svcprintf.c, printPrefix())";
    EXPECT_EQ(count(xml, "<Param><![CDATA[open]]></Param>"), 1u);
    EXPECT_EQ(count(xml, "<Param><![CDATA[" + repl + "]]></Param>"), 2u);
    // The template does not match the list, so it is not formatted.
    EXPECT_EQ(count(text, "The %s system routine failed: system error: %s (system error code: "
                          "%d). open " + repl + " " + repl), 1u);
    EXPECT_EQ(count(text, "0x35F02FFE"), 1u);
    EXPECT_EQ(count(text, "\nUnknown message 0x35f02ffe\n"), 1u);
    EXPECT_EQ(count(xml, "<Message Id=\"0x35f02ffe\" Severity=\"info\">"), 1u);
}

TEST_F(SvcRecordTest, UnconvertibleCharactersAreReplacedNotLost)
{
    setlocale(LC_ALL, "C");
    lox_cs_local_reset();
    ASSERT_FALSE(lox_cs_is_utf8(lox_cs_local()));
    route("ERROR:TEXTFILE:" + m_log + ";UTF8FILE:" + path("u.log"));
    dx_svc_printf_cs_withfile(dx_svc_pic_handle, lox_cs_utf8(), "f.cpp", 1, "%s%s%d", 0,
                              dx_svc_c_sev_error, kSyscall, "caf\xc3\xa9", "bad\xff" "byte", 1);
    const char* rest = " system routine failed: system error: bad?byte";
    EXPECT_EQ(count(readFile(m_log), std::string("The caf?") + rest), 1u);
    EXPECT_EQ(count(readFile(path("u.log")), std::string("The caf\xc3\xa9") + rest), 1u);
}

TEST_F(SvcRecordTest, StartUpRegistersTablesAndRoutesReports)
{
    setenv("NLSPATH", "/elsewhere/%N", 1);
    ASSERT_EQ(qormsg_init("/usr/sbin/plugind", 0), 1);
    EXPECT_EQ(qormsg_init("other", 1), 1);
    EXPECT_STREQ(dx_svc_get_progname(), "plugind");
    EXPECT_STREQ(dx_svc_pic_handle->table[qor_svc_urc].sc_descr, "dxqor.urc");
    EXPECT_STREQ(dx_svc_pco_handle->table[5].sc_descr, "dxqor.config.usage");
    std::string nls = getenv("NLSPATH");
    EXPECT_NE(nls.find("/nls/msg/%L/%N.cat:/elsewhere/%N"), std::string::npos);
    EXPECT_NE(getenv("LOXDIR"), nullptr);
    EXPECT_NE(qorsvc_get_local_code_page(), nullptr);

    route("ERROR:TEXTFILE:" + m_log);
    route("WARNING:TEXTFILE:" + m_log);
    QOR_REPORT(kSyscall, "stat", "Permission denied", 13);
    QOR_REPORT(0x35f020e7);
    std::string text = readFile(m_log);
    EXPECT_EQ(count(text, "0x35F02037 plugind ERROR pic Common"), 1u);
    EXPECT_EQ(count(text, "The stat system routine failed: system error: Permission denied "
                          "(system error code: 13)."), 1u);
    EXPECT_EQ(count(text, "0x35F020E7 plugind WARNING pic Common"), 1u);

    // A sub-component is kept; configuration-tool ids go to their handle.
    QOR_REPORT_SUB(qor_svc_config_mgr, 0x35f020e7);
    QOR_REPORT_SUB(qor_svc_config_mgr, 0x35e1e0ea, "s", "f");
    text = readFile(m_log);
    EXPECT_EQ(count(text, "0x35F020E7 plugind WARNING pic Config Mgr"), 1u);
    EXPECT_EQ(count(text, "0x35E1E0EA plugind ERROR pco Config Error"), 1u);

    // Shutdown gives the foundation its own sink back.
    dx_svc_shutdown();
    SvcCapture err(2);
    QOR_REPORT(0x35f020e7);
    EXPECT_EQ(count(readFile(m_log), "0x35F020E7"), 2u);
    std::string fallback = err.text();
    EXPECT_EQ(count(fallback, "plugind"), 0u);
    EXPECT_EQ(count(fallback, "0x35f020e7"), 1u);
}

} // namespace
