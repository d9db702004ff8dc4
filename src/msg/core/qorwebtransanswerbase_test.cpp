#include "msg/core/qorwebtransanswerbase.h"

#include <gtest/gtest.h>

#include <string>

#include "qortestregion.h"

namespace {

typedef QORWebTransAnswerBase B;

std::string cmdName(int cmd)
{
    QORStringRef name;
    EXPECT_EQ(B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(cmd), &name), qor_s_ok);
    return qor_test_str(name);
}

} // namespace

// Only the six result codes are codes; the names table has ten
// "unassigned" identifiers, and identifiers outside it are invalid commands
// without data.
TEST(WebTransAnswerBase, CodesAndCommandBounds)
{
    for (int code : {-1, 0, 5, 6})
        EXPECT_EQ(B::isRspCode(code), code >= 0 && code < 6) << code;
    // The codes are members of the answer class, and name themselves.
    QORStringRef name;
    ASSERT_EQ(B::getRspCodeName(QORWebTransAnswerBase::qor_continue, &name), qor_s_ok);
    EXPECT_STREQ(name.c_str(), "qor_continue");
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
    EXPECT_DEATH((void)B::getCmdName(static_cast<B::qor_proxy_rsp_cmds_e>(40), &name),
                 "Assertion failed");
    EXPECT_DEATH((void)B::getRspCodeName(static_cast<B::qor_proxy_rsp_code_e>(7), &name),
                 "Assertion failed");
}
