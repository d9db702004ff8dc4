#include "core/trace/qorlogstatus.h"

#include <gtest/gtest.h>

#include "qortestlog.h"

TEST(QORLogStatusTest, StatusesAndMessagesBecomeErrorLinesOfTheComponent)
{
    QORTestLog log(false);
    qor_log_status(&log, __FILE__, __LINE__, "DXQor", qor_s_no_memory);
    qor_log_message(&log, __FILE__, __LINE__, "DXQor", QOR_MSG_ID(0x282), 0x2a);
    ASSERT_EQ(log.records().size(), 2u);
    for (const QORTestLog::Record& line : log.records()) {
        EXPECT_EQ(line.severity, qor_log_error);
        EXPECT_EQ(line.component, "DXQor");
    }
    EXPECT_EQ(log.records()[0].text.rfind("XLTIC0012E", 0), 0u) << log.records()[0].text;
    EXPECT_EQ(log.records()[1].text.rfind("XLTIC0642E", 0), 0u) << log.records()[1].text;
    EXPECT_NE(log.records()[1].text.find("0x2a"), std::string::npos) << log.records()[1].text;
    // Without a sink nothing happens.
    qor_log_status(nullptr, __FILE__, __LINE__, "DXQor", qor_s_no_memory);
    qor_log_message(nullptr, __FILE__, __LINE__, "DXQor", QOR_MSG_ID(0x282), 1);
}
