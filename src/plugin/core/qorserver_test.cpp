#include "plugin/core/qorserver.h"

#include <gtest/gtest.h>
#include <string>

#include "qortesttransaction.h"

TEST(QORServerPortString, DecimalTextOfAPortInRange)
{
    const struct {
        int port;
        const char* text;   // null: refused as an invalid argument
    } cases[] = {
        {80, "80"}, {1, "1"}, {65535, "65535"}, {0, nullptr}, {65536, nullptr}, {70000, nullptr},
        {-1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        QORTestServer s("vh", "h", c.port);
        QORStringRefT<char> text;
        EXPECT_EQ(s.getPortString(&text), c.text ? qor_s_ok : qor_s_invalid_argument);
        if (c.text) {
            EXPECT_EQ(qor_test_str(text), c.text);
        }
    }
}

TEST(QORServerPortString, MadeOnceButNotCachedOnFailure)
{
    QORTestServer s("vh", "h", 8080);
    s.callLog().failOn("getPort", qor_s_not_available, 0);
    QORStringRefT<char> text;
    EXPECT_EQ(s.getPortString(&text), qor_s_not_available);
    s.callLog().clearFailures();
    ASSERT_EQ(s.getPortString(&text), qor_s_ok);
    s.port = 9090;
    ASSERT_EQ(s.getPortString(&text), qor_s_ok);
    EXPECT_EQ(qor_test_str(text), "8080");
    EXPECT_EQ(s.callLog().count("server.getPort"), 2);
}
