#include "plugin/core/qorresponse.h"

#include <gtest/gtest.h>
#include <string>

#include "qortesttransaction.h"

TEST(QORResponseKeepAlive, SetsTheConnectionHeaderAndRemembersSuccessOnly)
{
    QORTestResponse r;
    r.headers.add("connection", "close");
    r.callLog().failOn("setHeader", qor_s_no_memory);
    EXPECT_EQ(r.setKeepAlive(), qor_s_no_memory);
    EXPECT_FALSE(r.isKeepAlive());
    r.callLog().clear();
    r.callLog().clearFailures();
    EXPECT_EQ(r.setKeepAlive(), qor_s_ok);
    EXPECT_TRUE(r.isKeepAlive());
    EXPECT_EQ(r.headers.count("Connection"), 1);
    EXPECT_STREQ(r.headers.get("Connection"), "Keep-Alive");
    EXPECT_EQ(r.callLog().calls(),
              (std::vector<std::string>{"rsp.setKeepAlive()",
                                        "rsp.setHeader(Connection, Keep-Alive)"}));
}
