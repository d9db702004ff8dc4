#include "msg/core/qorwebtransanswerbase.h"

#include <gtest/gtest.h>

#include <string>

namespace {

typedef QORWebTransAnswerBase B;

std::string cmdName(int cmd)
{
    QORStringRef name;
    EXPECT_EQ(B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(cmd), &name), qor_s_ok);
    return std::string(name.data(), static_cast<size_t>(name.length()));
}

} // namespace

TEST(WebTransAnswerBase, ResultCodeNames)
{
    const char* names[] = {"qor_severe_error", "qor_continue", "qor_continue_uninteresting",
                           "qor_send_rsp_to_client", "qor_send_default_rsp_to_client",
                           "qor_require_more_body_data", "qor_max_proxy_rsp_code"};
    for (int code = 0; code < B::kNumRspCodeNames; code++) {
        QORStringRef name;
        EXPECT_EQ(B::getRspCodeName(static_cast<B::qor_proxy_rsp_code_e>(code), &name), qor_s_ok);
        EXPECT_STREQ(name.c_str(), names[code]);
        EXPECT_EQ(B::isRspCode(code), code < 6);
    }
    EXPECT_FALSE(B::isRspCode(-1));
    // The codes are members of the answer class too.
    QORStringRef name;
    ASSERT_EQ(B::getRspCodeName(QORWebTransAnswerBase::qor_continue, &name), qor_s_ok);
    EXPECT_STREQ(name.c_str(), "qor_continue");
}

// The names table has 40 entries, ten of them "unassigned"; identifiers
// outside it are invalid commands without data.
TEST(WebTransAnswerBase, CommandNames)
{
    EXPECT_EQ(cmdName(0), "qor_req_add_header");
    EXPECT_EQ(cmdName(9), "qor_req_get_body");
    EXPECT_EQ(cmdName(20), "qor_first_response_code");
    EXPECT_EQ(cmdName(21), "qor_rsp_add_header");
    EXPECT_EQ(cmdName(38), "qor_rsp_urc_version");
    EXPECT_EQ(cmdName(39), "qor_max_proxy_rsp_cmd");
    for (int cmd = 10; cmd < 20; cmd++)
        EXPECT_EQ(cmdName(cmd), "unassigned");
    for (int cmd : {-1, 39, 40, 0x7fffffff}) {
        EXPECT_EQ(B::getCmdKind(cmd), B::qor_cmd_invalid);
        EXPECT_EQ(B::getCmdDataKind(cmd), B::qor_cmd_data_none);
    }
}

TEST(WebTransAnswerBaseDeathTest, NamesOutsideTheTablesStop)
{
    QORStringRef name;
    EXPECT_DEATH(B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(40), &name),
                 "Assertion failed");
    EXPECT_DEATH(B::getRspCodeName(static_cast<B::qor_proxy_rsp_code_e>(7), &name),
                 "Assertion failed");
}

TEST(WebTransAnswerBase, BaseReadsAndWritesNothing)
{
    B* base = new B();
    EXPECT_EQ(base->getType(), qor_msg_web_trans_answer);
    EXPECT_EQ(base->getNumCmds(), 0);
    base->deleteMe();
}
