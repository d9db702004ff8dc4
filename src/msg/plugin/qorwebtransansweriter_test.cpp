#include "msg/plugin/qorwebtransansweriter.h"

#include <gtest/gtest.h>

#include "msg/server/qorwebtransanswerwriter.h"
#include "qortestregion.h"

typedef QORWebTransAnswerBase B;

TEST(WebTransAnswerIter, ReadsCommandByCommand)
{
    QORTestRegion region(8192);
    QORWebTransAnswerWriter writer(region.alloc);
    ASSERT_EQ(writer.begin(qor_continue), qor_s_ok);
    ASSERT_EQ(writer.setRspCode(qor_send_default_rsp_to_client), qor_s_ok);
    ASSERT_EQ(writer.addString(B::qor_req_set_uri, QORStringRef("/u")), qor_s_ok);
    ASSERT_EQ(writer.add(B::qor_rsp_set_keep_alive), qor_s_ok);
    QORWebTransAnswerIter it;
    ASSERT_EQ(it.unmarshal(region.reader(), nullptr), qor_s_ok);
    EXPECT_EQ(it.getRspCode(), qor_send_default_rsp_to_client);
    EXPECT_EQ(it.getNumCmds(), 2);
    ASSERT_TRUE(it.next());
    EXPECT_EQ(it.getCmdID(), B::qor_req_set_uri);
    QORBuffer raw;
    EXPECT_EQ(qor_s_ok, it.getRawCmdData(&raw));
    EXPECT_EQ(raw.getLen(), 8);
    QORProxyIFMsgString s;
    ASSERT_EQ(it.getCmdData(&s), qor_s_ok);
    EXPECT_TRUE(s.get() == QORStringRef("/u"));
    QORProxyIFMsgInt wrongKind;
    EXPECT_EQ(it.getCmdData(&wrongKind), qor_s_msg_unmarshal_failed);
    ASSERT_TRUE(it.next());
    EXPECT_EQ(it.getCmdID(), B::qor_rsp_set_keep_alive);
    EXPECT_EQ(qor_s_ok, it.getRawCmdData(&raw));
    EXPECT_EQ(raw.getLen(), 0);
    EXPECT_FALSE(it.next());
    EXPECT_EQ(it.nextStatus(), qor_s_ok);
    EXPECT_EQ(it.marshal(region.alloc), qor_s_not_supported);
}
