#include "plugin/core/qorcachedrequest.h"

#include <gtest/gtest.h>
#include <string>

#include "plugin/core/qorcachedserver.h"
#include "qortesttransaction.h"

TEST(QORCachedRequest, HoldsAViewOfVirtualHostURIAndLevel)
{
    char vhost[] = "vh1";
    QORCachedRequest r(QORStringRef(vhost), QORStringRef("/doc/a.html"), 1);
    EXPECT_EQ(r.server(), &r.cachedServer());
    vhost[2] = '2';   // a view, not a copy
    QORStringRef s;
    ASSERT_EQ(r.server()->getVHostID(&s), qor_s_ok);
    EXPECT_EQ(qor_test_str(s), "vh2");
    ASSERT_EQ(r.getURI(&s), qor_s_ok);
    EXPECT_EQ(qor_test_str(s), "/doc/a.html");
    int level = 0;
    ASSERT_EQ(r.getSecurity(&level), qor_s_ok);
    EXPECT_EQ(level, 1);
    // Destroying r must not delete the embedded server (ASan would see it).
}
