#include "core/system/qordl.h"

#include <cstring>
#include <string>
#include <thread>
#include <gtest/gtest.h>

namespace {

std::string lastError()
{
    char buf[512];
    return qor_dl_last_error(buf, sizeof buf) == qor_s_ok ? buf : "";
}

} // namespace

TEST(QORDl, FindsAndCallsARealFunction)
{
    qor_dl_handle_t h = nullptr;
    ASSERT_EQ(qor_dl_open("libm.so.6", &h), qor_s_ok);
    void* sym = nullptr;
    ASSERT_EQ(qor_dl_sym(h, "cos", &sym), qor_s_ok);
    EXPECT_DOUBLE_EQ(reinterpret_cast<double (*)(double)>(sym)(0.0), 1.0);
    EXPECT_EQ(qor_dl_sym(h, "qor_no_such_symbol", &sym), qor_s_symbol_not_found);
    EXPECT_NE(lastError().find("qor_no_such_symbol"), std::string::npos);
    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(qor_dl_last_error(small, 5), qor_s_ok);
    EXPECT_EQ(strlen(small), 4u);
    EXPECT_EQ(small[5], 'x');
    EXPECT_EQ(qor_dl_sym(h, nullptr, &sym), qor_s_invalid_argument);
    EXPECT_EQ(qor_dl_sym(h, "cos", nullptr), qor_s_invalid_argument);
    EXPECT_EQ(qor_dl_close(h), qor_s_ok);
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(qor_dl_close(nullptr), qor_s_invalid_argument);
}

TEST(QORDl, MissingFileFailsAndItsTextStaysWithTheThread)
{
    qor_dl_handle_t h = nullptr;
    EXPECT_EQ(qor_dl_open(nullptr, &h), qor_s_invalid_argument);
    EXPECT_EQ(qor_dl_open("/nonexistent/libqornothing.so", &h), qor_s_module_load_failed);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(lastError().find("libqornothing.so"), std::string::npos);
    std::string other = "unset";
    std::thread([&other] { other = lastError(); }).join();
    EXPECT_EQ(other, "");
}
