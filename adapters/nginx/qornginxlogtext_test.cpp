#include "qornginxlogtext.h"

#include <gtest/gtest.h>

TEST(NginxLogText, QuotesBackslashesAndControlsAreEscaped)
{
    EXPECT_EQ(qor_ngx_escape_log_text("al\"ice\n\\", 8), "al\\x22ice\\x0A\\x5C");
    EXPECT_EQ(qor_ngx_escape_log_text("caf\xc3\xa9", 5), "caf\\xC3\\xA9");
}
