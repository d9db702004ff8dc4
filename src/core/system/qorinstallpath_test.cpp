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

} // namespace

TEST_F(QORInstallPath, FixedTableAndBadArguments)
{
    unsetenv("DXQOR_ROOT");
    qor_install_path_reset();
    std::string fixed = table();
    EXPECT_EQ(fixed.substr(0, 50), "/opt/dxqor/bin/ /opt/dxqor/etc/ - /opt/dxqor/sbin/");
    const char* p = "untouched";
    EXPECT_EQ(qor_install_path(qor_path_none_5, &p), qor_s_not_available);
    EXPECT_EQ(qor_install_path(-1, &p), qor_s_invalid_argument);
    EXPECT_EQ(qor_install_path(qor_path_count, &p), qor_s_invalid_argument);
    EXPECT_STREQ(p, "untouched");
    EXPECT_EQ(qor_install_path(qor_path_bin, nullptr), qor_s_invalid_argument);
    EXPECT_EQ(tableUnder(""), fixed);
    EXPECT_EQ(tableUnder("//"), fixed);
}

TEST_F(QORInstallPath, RootRelocatesEveryEntryOnceUntilReset)
{
    std::string fixed = tableUnder(""), want;
    for (size_t i = 0; i < fixed.size(); i++)
        want += std::string(fixed[i] == '/' && (i == 0 || fixed[i - 1] == ' ') ? "/tmp/x" : "") +
                fixed[i];
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
