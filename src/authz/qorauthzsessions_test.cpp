// Sessions on a clock of the test's own.
#include "authz/qorauthzsessions.h"
#include <gtest/gtest.h>
#include <string>

TEST(QORAuthzSessionsTest, LifetimesAndLimits)
{
    QORAuthzSessions s;
    ASSERT_EQ(s.initialize(), qor_s_ok);
    s.configure(10, 30, 3, 2);
    std::string user, a = s.create("a", 0);
    EXPECT_EQ(a.size(), 64u);
    EXPECT_TRUE(s.find(a, 9, &user) && user == "a");
    EXPECT_TRUE(s.find(a, 18, &user));   // used at 9: not idle yet
    EXPECT_FALSE(s.find(a, 29, &user));  // idle since 18
    std::string b = s.create("b", 100);
    for (int t = 105; t < 130; t += 5)
        EXPECT_TRUE(s.find(b, t, &user)) << t;
    EXPECT_FALSE(s.find(b, 130, &user));  // absolute lifetime
    std::string c1 = s.create("c", 200), c2 = s.create("c", 201), d = s.create("d", 202);
    std::string c3 = s.create("c", 203);  // c's oldest goes
    EXPECT_FALSE(s.find(c1, 204, &user));
    std::string e = s.create("e", 205);   // three in all: the oldest (c2) goes
    EXPECT_FALSE(s.find(c2, 206, &user));
    EXPECT_TRUE(s.find(d, 206, &user) && s.find(c3, 206, &user) && s.find(e, 206, &user));
    std::string forged = d;
    forged[63] = forged[63] == '0' ? '1' : '0';
    EXPECT_FALSE(s.find(forged, 206, &user));
    EXPECT_EQ(s.logName(d).size(), 16u);
    EXPECT_EQ(s.logName(d).find(d.substr(0, 16)), std::string::npos);
}
