// The login form: return targets and the page's escaping.
#include "authz/qorauthzloginform.h"
#include <gtest/gtest.h>
#include <string>

TEST(QORAuthzLoginFormTest, TargetsAndEscaping)
{
    struct {
        const char* target;
        const char* safe;
    } rows[] = {
        {"/a/b?c=d", "/a/b?c=d"}, {"", "/"}, {"a/b", "/"}, {"//evil.example", "/"},
        {"/\\evil", "/"}, {"/a\\b", "/"}, {"https://evil.example/", "/"},
        {"/a\r\nX: y", "/"}, {"/a\tb", "/"}, {"/ok/", "/ok/"},
        {"/a b\"c<d>%41", "/a%20b%22c%3Cd%3E%41"}, {"/\xc3\xa9", "/%C3%A9"},
    };
    for (auto& row : rows)
        EXPECT_EQ(QORAuthzLoginForm::safeTarget(row.target), row.safe) << row.target;
    EXPECT_EQ(QORAuthzLoginForm::render("{{target}}|{{token}}|{{x}}|{{message", "/l",
                                        "\"><script>", "t", "m"),
              "&quot;&gt;&lt;script&gt;|t|{{x}}|{{message");
}
