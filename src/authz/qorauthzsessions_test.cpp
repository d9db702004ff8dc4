// Sessions and login tokens on a clock of the test's own.
#include "authz/qorauthzsessions.h"
#include <gtest/gtest.h>
#include <string>

TEST(QORAuthzSessionsTest, LifetimesLimitsAndTokens)
{
    QORAuthzSessions s;
    s.configure(10, 30, 3, 2);
    auto make = [&](const char* user, int64_t t) {
        std::string id;
        EXPECT_EQ(s.create(user, t, &id), qor_s_ok);
        return id;
    };
    auto live = [&](const std::string& id, int64_t t) {
        std::string user;
        return s.use(id, t, &user) == qor_s_ok;
    };
    std::string a = make("a", 0), user;
    EXPECT_EQ(a.size(), 64u);
    EXPECT_TRUE(s.find(a, 9, &user) == qor_s_ok && user == "a");
    EXPECT_EQ(s.find(a, 10, &user), qor_s_not_found);  // found at 9, not touched
    std::string b = make("b", 100);
    for (int t = 105; t < 130; t += 5)
        EXPECT_TRUE(live(b, t)) << t;
    EXPECT_FALSE(live(b, 130));  // absolute lifetime
    std::string c1 = make("c", 200), c2 = make("c", 201), d = make("d", 202);
    std::string c3 = make("c", 203);  // c's oldest goes
    EXPECT_FALSE(live(c1, 204));
    std::string e = make("e", 205);   // three in all: the oldest (c2) goes
    EXPECT_FALSE(live(c2, 206));
    EXPECT_TRUE(live(d, 206) && live(c3, 206) && live(e, 206));
    std::string forged = d;
    forged[63] = forged[63] == '0' ? '1' : '0';
    EXPECT_FALSE(live(forged, 206));
    EXPECT_EQ(s.removeUser("c"), qor_s_ok);
    EXPECT_FALSE(live(c3, 207));
    EXPECT_TRUE(live(d, 207));

    std::string token, other;
    ASSERT_EQ(s.issueToken(0, &token), qor_s_ok);
    EXPECT_EQ(s.consumeToken(token + "x", 1), qor_s_not_found);
    EXPECT_EQ(s.consumeToken(token, 1), qor_s_ok);
    EXPECT_EQ(s.consumeToken(token, 1), qor_s_not_found);
    ASSERT_EQ(s.issueToken(0, &other), qor_s_ok);
    EXPECT_EQ(s.consumeToken(other, QORAuthzSessions::kTokenLifetime), qor_s_not_found);
}
