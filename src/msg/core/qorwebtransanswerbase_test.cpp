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
        EXPECT_EQ(B::getRspCodeName(code, &name), qor_s_ok);
        EXPECT_STREQ(name.c_str(), names[code]);
        EXPECT_EQ(B::isRspCode(code), code < 6);
    }
    EXPECT_FALSE(B::isRspCode(-1));
}

// The names table has 40 entries, ten of them "unassigned"; what the
// plug-in does with each identifier and what data follows it.
TEST(WebTransAnswerBase, CommandTable)
{
    struct Row {
        int cmd;
        const char* name;
        B::qor_cmd_kind_e kind;
        B::qor_cmd_data_e data;
    } rows[] = {
        {0, "qor_req_add_header", B::qor_cmd_applied, B::qor_cmd_data_name_value},
        {1, "qor_req_set_header", B::qor_cmd_applied, B::qor_cmd_data_name_value},
        {2, "qor_req_remove_header", B::qor_cmd_applied, B::qor_cmd_data_string},
        {3, "qor_req_set_method", B::qor_cmd_applied, B::qor_cmd_data_string},
        {4, "qor_req_set_uri", B::qor_cmd_applied, B::qor_cmd_data_string},
        {5, "qor_req_set_version", B::qor_cmd_applied, B::qor_cmd_data_string},
        {6, "qor_req_set_query", B::qor_cmd_applied, B::qor_cmd_data_string},
        {7, "qor_req_set_body", B::qor_cmd_applied, B::qor_cmd_data_buffer},
        {8, "qor_req_set_web_log_user", B::qor_cmd_applied, B::qor_cmd_data_string_list},
        {9, "qor_req_get_body", B::qor_cmd_applied, B::qor_cmd_data_int},
        {20, "qor_first_response_code", B::qor_cmd_invalid, B::qor_cmd_data_none},
        {21, "qor_rsp_add_header", B::qor_cmd_applied, B::qor_cmd_data_name_value},
        {22, "qor_rsp_set_header", B::qor_cmd_applied, B::qor_cmd_data_name_value},
        {23, "qor_rsp_remove_header", B::qor_cmd_unsupported, B::qor_cmd_data_none},
        {24, "qor_rsp_set_response_code", B::qor_cmd_applied, B::qor_cmd_data_int},
        {25, "qor_rsp_set_body", B::qor_cmd_applied, B::qor_cmd_data_buffer},
        {26, "qor_rsp_set_body_from_file", B::qor_cmd_applied, B::qor_cmd_data_string},
        {27, "qor_rsp_remove_cookie", B::qor_cmd_unsupported, B::qor_cmd_data_none},
        {28, "qor_rsp_set_content_type", B::qor_cmd_applied, B::qor_cmd_data_string},
        {29, "qor_rsp_req_client_cert", B::qor_cmd_applied, B::qor_cmd_data_none},
        {30, "qor_rsp_set_keep_alive", B::qor_cmd_applied, B::qor_cmd_data_none},
        {31, "qor_rsp_set_trace_level", B::qor_cmd_applied, B::qor_cmd_data_int},
        {32, "qor_rsp_clear_existing_body", B::qor_cmd_applied, B::qor_cmd_data_none},
        {33, "qor_rsp_req_wsa", B::qor_cmd_applied, B::qor_cmd_data_none},
        {34, "qor_rsp_capture_rsp", B::qor_cmd_applied, B::qor_cmd_data_string},
        {35, "qor_rsp_begin_new_rsp", B::qor_cmd_applied, B::qor_cmd_data_none},
        {36, "qor_rsp_set_body_to_default", B::qor_cmd_applied, B::qor_cmd_data_none},
        {37, "qor_rsp_set_response_sub_code", B::qor_cmd_applied, B::qor_cmd_data_int},
        {38, "qor_rsp_urc_version", B::qor_cmd_applied, B::qor_cmd_data_buffer},
        {39, "qor_max_proxy_rsp_cmd", B::qor_cmd_invalid, B::qor_cmd_data_none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cmd);
        EXPECT_EQ(cmdName(row.cmd), row.name);
        EXPECT_EQ(B::getCmdKind(row.cmd), row.kind);
        EXPECT_EQ(B::getCmdDataKind(row.cmd), row.data);
    }
    for (int cmd = 10; cmd < 20; cmd++) {
        EXPECT_EQ(cmdName(cmd), "unassigned");
        EXPECT_EQ(B::getCmdKind(cmd), B::qor_cmd_invalid);
    }
    for (int cmd : {-1, 40, 1000, 0x7fffffff}) {
        EXPECT_EQ(B::getCmdKind(cmd), B::qor_cmd_invalid);
        EXPECT_EQ(B::getCmdDataKind(cmd), B::qor_cmd_data_none);
    }
}

TEST(WebTransAnswerBaseDeathTest, NamesOutsideTheTablesStop)
{
    QORStringRef name;
    EXPECT_DEATH(B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(40), &name),
                 "Assertion failed");
    EXPECT_DEATH(B::getRspCodeName(7, &name), "Assertion failed");
}

TEST(WebTransAnswerBase, BaseReadsAndWritesNothing)
{
    B* base = new B();
    EXPECT_EQ(base->getType(), qor_msg_web_trans_answer);
    EXPECT_EQ(base->getNumCmds(), 0);
    base->deleteMe();
}
