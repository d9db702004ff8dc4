#include "core/svc/qorsvcargs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>
#include "core/svc/qorsvctext.h"

namespace {

std::vector<std::string> render(lox_cs_t cs, const char* argtypes, ...)
{
    va_list args;
    va_start(args, argtypes);
    char** params;
    int n = qor_svc_args_render(cs, argtypes, args, &params);
    va_end(args);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.push_back(params[i]);
    free(params);
    return out;
}

TEST(SvcArgsTest, TemplateMustReadWhatWasPassed)
{
    EXPECT_TRUE(qor_svc_args_match("The %s failed: %d.", "%s%d"));
    EXPECT_TRUE(qor_svc_args_match("100%% of %-10.3s", "%s"));
    EXPECT_TRUE(qor_svc_args_match("%s only", "%s%d"));
    EXPECT_TRUE(qor_svc_args_match("%u %x %c", "%d%d%d"));
    EXPECT_TRUE(qor_svc_args_match("%*d", "%*d"));
    EXPECT_TRUE(qor_svc_args_match("no args", nullptr));
    EXPECT_FALSE(qor_svc_args_match("%s %s", "%s"));
    EXPECT_FALSE(qor_svc_args_match("%s", "%d"));
    EXPECT_FALSE(qor_svc_args_match("%S", "%s"));
    EXPECT_FALSE(qor_svc_args_match("%*d", "%d"));
    EXPECT_FALSE(qor_svc_args_match("%f", "%d"));
    EXPECT_FALSE(qor_svc_args_match("%lld", "%d"));
    EXPECT_FALSE(qor_svc_args_match("%n", "%d"));
    EXPECT_FALSE(qor_svc_args_match("%1$s", "%s"));
    EXPECT_EQ(qor_svc_args_match("%ld", "%lld"), sizeof(long) == 8);
}

TEST(SvcArgsTest, EachArgumentRendersOnItsOwn)
{
    const lox_unichar_t wide[] = {'w', 0x20ac, 0};
    std::vector<std::string> want = {"str", "   42", "2.50", "w\xe2\x82\xac", "-7", "  ff", "q"};
    lox_cs_t utf8 = lox_cs_utf8();
    EXPECT_EQ(render(utf8, "%s%5d%.2f%S%lld%*x%c", "str", 42, 2.5, wide, -7LL, 4, 255, 'q'), want);
    const std::string repl = "(Failed to handle a data type in svcprintf.c, printPrefix())";
    want = {"1", repl, repl};
    EXPECT_EQ(render(utf8, "%d%q%s", 1, "lost"), want);
    EXPECT_TRUE(render(utf8, nullptr).empty());
}

TEST(SvcTextTest, CDataAndEscapesAndConversions)
{
    QORSvcText t;
    t.appendCData("a]]>b]]>", 8);
    EXPECT_STREQ(t.data(), "a]]]]><![CDATA[>b]]]]><![CDATA[>");
    t.clear();
    t.appendEscaped("<a & \"b\">");
    EXPECT_STREQ(t.data(), "&lt;a &amp; &quot;b&quot;&gt;");
    lox_cs_t latin1 = lox_cs_new("ISO-8859-1");
    ASSERT_NE(latin1, nullptr);
    t.clear();
    t.appendFromUTF8(latin1, "\xc3\xa9\xe2\x82\xac!", 6);
    EXPECT_EQ(std::string(t.data(), t.size()), "\xe9?!");
    t.clear();
    t.appendToUTF8(latin1, "\xe9", 1);
    EXPECT_STREQ(t.data(), "\xc3\xa9");
    t.clear();
    t.appendToUTF8(nullptr, "ok\xc3(\xed\xa0\x80", 7);
    EXPECT_STREQ(t.data(), "ok?(???");
    lox_cs_delete(latin1);
}

} // namespace
