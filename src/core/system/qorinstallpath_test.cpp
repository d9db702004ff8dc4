#include "core/system/qorinstallpath.h"

#include <cstdlib>
#include <string>
#include <gtest/gtest.h>

namespace {

// Every entry, "-" for none, joined by spaces.
std::string table()
{
    std::string s;
    for (int i = 0; i < qor_path_count; i++) {
        const char* p = nullptr;
        QORStatus st = qor_install_path(i, &p);
        s += i ? " " : "";
        s += st == qor_s_ok ? p : st == qor_s_not_available ? "-" : "?";
    }
    return s;
}

std::string tableUnder(const char* root)
{
    setenv("DXQOR_ROOT", root, 1);
    qor_install_path_reset();
    return table();
}

class QORInstallPath : public ::testing::Test {
protected:
    void TearDown() override
    {
        unsetenv("DXQOR_ROOT");
        qor_install_path_reset();
    }
};

const char kFixed[] =
    "/opt/dxqor/bin/ /opt/dxqor/etc/ - /opt/dxqor/sbin/ /opt/dxqor/lib/ - "
    "/var/dxqor/db/ /var/dxqor/keytab/ /etc/init.d/ /etc/rc.d/rc3.d/ "
    "/var/dxqor/sm/ /opt/dxqor/plugin/lib/ /opt/dxqor/nls/msg/ "
    "/opt/Keystead/nls/LOX/ /opt/dxqor/nls/html/ /opt/dxrte/lib/ "
    "/var/dxqor/log/";

} // namespace

TEST_F(QORInstallPath, FixedTableAndBadArguments)
{
    unsetenv("DXQOR_ROOT");
    qor_install_path_reset();
    EXPECT_EQ(table(), kFixed);
    const char* p = "untouched";
    EXPECT_EQ(qor_install_path(qor_path_none_5, &p), qor_s_not_available);
    EXPECT_EQ(qor_install_path(-1, &p), qor_s_invalid_argument);
    EXPECT_EQ(qor_install_path(qor_path_count, &p), qor_s_invalid_argument);
    EXPECT_STREQ(p, "untouched");
    EXPECT_EQ(qor_install_path(qor_path_bin, nullptr), qor_s_invalid_argument);
    EXPECT_EQ(tableUnder(""), kFixed);
    EXPECT_EQ(tableUnder("//"), kFixed);
}

TEST_F(QORInstallPath, RootRelocatesEveryEntryOnceUntilReset)
{
    std::string want;
    for (const char* p = kFixed; *p; p++)
        want += std::string(*p == '/' && (p == kFixed || p[-1] == ' ')
                                ? "/tmp/x" : "") + *p;
    EXPECT_EQ(tableUnder("/tmp/x"), want);
    EXPECT_EQ(tableUnder("/tmp/x///"), want);
    EXPECT_EQ(tableUnder("/tmp/x/"), want);
    setenv("DXQOR_ROOT", "/b", 1);
    EXPECT_EQ(table(), want);
    qor_install_path_reset();
    const char* p = nullptr;
    ASSERT_EQ(qor_install_path(qor_path_etc, &p), qor_s_ok);
    EXPECT_STREQ(p, "/b/opt/dxqor/etc/");
}
