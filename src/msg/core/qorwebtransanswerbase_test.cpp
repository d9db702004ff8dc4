#include "msg/core/qorwebtransanswerbase.h"

#include <gtest/gtest.h>

typedef QORWebTransAnswerBase B;

// Identifiers outside the command table are commands without data.
TEST(WebTransAnswerBase, CommandsOutsideTheTableCarryNoData)
{
    for (int cmd : {-1, 39, 40, 0x7fffffff})
        EXPECT_EQ(B::getCmdDataKind(cmd), B::qor_cmd_data_none) << cmd;
}

TEST(WebTransAnswerBaseDeathTest, NamesOutsideTheTablesStop)
{
    QORStringRef name;
    EXPECT_DEATH((void)B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(40), &name),
                 "Assertion failed");
    EXPECT_DEATH((void)B::getRspCodeName(static_cast<B::qor_proxy_rsp_code_e>(7), &name),
                 "Assertion failed");
}
