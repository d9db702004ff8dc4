#include "msg/core/qorwebtransanswerbase.h"

#include <gtest/gtest.h>

typedef QORWebTransAnswerBase B;

// Only the six result codes are codes; identifiers outside the command
// table are invalid commands without data.
TEST(WebTransAnswerBase, CodesAndCommandBounds)
{
    for (int code : {-1, 0, 5, 6})
        EXPECT_EQ(B::isRspCode(code), code >= 0 && code < 6) << code;
    for (int cmd : {-1, 39, 40, 0x7fffffff}) {
        EXPECT_EQ(B::getCmdKind(cmd), B::qor_cmd_invalid);
        EXPECT_EQ(B::getCmdDataKind(cmd), B::qor_cmd_data_none);
    }
}

TEST(WebTransAnswerBaseDeathTest, NamesOutsideTheTablesStop)
{
    QORStringRef name;
    EXPECT_DEATH((void)B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(40), &name),
                 "Assertion failed");
    EXPECT_DEATH((void)B::getRspCodeName(static_cast<B::qor_proxy_rsp_code_e>(7), &name),
                 "Assertion failed");
}
