#include "core/system/qorsyserr.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

TEST(QORSysErr, ErrnosMapToStatusesAndBack)
{
    EXPECT_EQ(qor_sys_status(0), qor_s_ok);
    EXPECT_EQ(qor_sys_status(ENOMEM), qor_s_no_memory);
    EXPECT_EQ(qor_sys_status(EINVAL), qor_s_invalid_argument);
    EXPECT_EQ(qor_sys_status(ETIMEDOUT), qor_s_timed_out);
    EXPECT_EQ(qor_sys_status(EPERM), qor_s_permission_denied);
    EXPECT_EQ(qor_sys_errno(qor_s_permission_denied), EACCES);
    EXPECT_EQ(qor_sys_status(EBUSY), qor_s_busy);
    EXPECT_EQ(qor_sys_errno(qor_s_busy), EAGAIN);
    EXPECT_EQ(qor_sys_status(EPROTO), qor_s_system_error);
    EXPECT_EQ(qor_sys_errno(qor_s_system_error), -1);
    EXPECT_EQ(qor_sys_errno(qor_s_ok), 0);
    // Every errno fails, and a status that maps back maps back to itself.
    for (int e = 1; e < 140; e++) {
        QORStatus s = qor_sys_status(e);
        ASSERT_NE(s, qor_s_ok) << e;
        int back = qor_sys_errno(s);
        EXPECT_TRUE(back == -1 || qor_sys_status(back) == s) << e;
    }
}

TEST(QORSysErr, TextsAreNeverNullAndStayInTheBuffer)
{
    char buf[128];
    EXPECT_STREQ(qor_sys_strerror(ENOENT, buf, sizeof buf), "No such file or directory");
    char small[12];
    memset(small, 'x', sizeof small);
    const char* t = qor_sys_strerror(98765, small, 8);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(strncmp(t, "Unknown", 7), 0);
    EXPECT_EQ(small[8], 'x');
    EXPECT_NE(qor_sys_strerror(ENOENT, nullptr, 0), nullptr);
}
