#include "core/trace/qortrace.h"

#include <thread>
#include <gtest/gtest.h>

#include "qortestlog.h"

namespace {

typedef std::vector<std::string> Texts;

// Each test starts and ends with no context on the calling thread.
class QORTraceTest : public ::testing::Test {
protected:
    void SetUp() override { clearContext(); }
    void TearDown() override { clearContext(); }
    static void clearContext()
    {
        QORTrace::setThreadIP(nullptr);
        QORTrace::setThreadVH(nullptr);
    }
};

} // namespace

TEST_F(QORTraceTest, LevelGatesLinesAndSetsSeverity)
{
    QORTestLog log(true);
    QORTrace trace(9, "dxqor.test", &log);
    trace.trace(9, "a.cpp", 10, "nine", -1);
    trace.trace(10, "a.cpp", 11, "ten", -1);
    trace.trace(0, "a.cpp", 12, QORStringRef("zero and more", 4));
    ASSERT_EQ(log.texts(), (Texts{"[] nine", "[] zero"}));
    EXPECT_EQ(log.records()[0].severity, 12u);
    EXPECT_EQ(log.records()[0].file, "a.cpp");
    EXPECT_EQ(log.records()[0].line, 10u);
    EXPECT_EQ(log.records()[0].component, "dxqor.test");
    EXPECT_EQ(log.records()[1].severity, qor_log_trace_0);
    trace.setLevel(2);
    trace.ftrace(3, "a.cpp", 13, "dropped %d", 3);
    trace.ftrace(2, "a.cpp", 14, "kept %d %s", 2, "x");
    trace.ftrace(2, "a.cpp", 15, "refused %n", nullptr);
    QOR_FTRACE(&trace, 1, "n=%d", 7);
    QOR_FTRACE(&trace, 3, "n=%d", 8);
    ASSERT_EQ(log.texts(), (Texts{"[] nine", "[] zero", "[] kept 2 x", "[] n=7"}));
    EXPECT_EQ(log.records()[2].severity, 5u);
    EXPECT_EQ(log.records()[3].file, __FILE__);
}

TEST_F(QORTraceTest, NoLogNoTraceNoComponent)
{
    QORTrace trace(9, nullptr, nullptr);
    EXPECT_STREQ(trace.getComponent(), "");
    EXPECT_FALSE(trace.isEnabled(0));
    trace.trace(0, "f", 1, "nowhere", -1);
    trace.ftrace(0, "f", 1, "nowhere %d", 1);
    QORTrace* none = nullptr;
    QOR_TRACE(none, 0, "nowhere", -1);
    QOR_FTRACE(none, 0, "nowhere %d", 1);
    QORTestLog log(true);
    trace.setLog(&log, false);
    trace.trace(0, "f", 1, "somewhere", -1);
    EXPECT_EQ(log.records().at(0).component, "");
}

TEST_F(QORTraceTest, ContextPrefixesArePerThread)
{
    QORTestLog log(true);
    QORTrace trace(5, "c", &log);
    QORTrace::setThreadIP("192.0.2.7");
    trace.trace(1, "f", 1, "ip only", -1);
    QORTrace::setThreadVH("www.example.com");
    trace.trace(1, "f", 1, "both", -1);
    QORTrace::setThreadIP("");
    trace.trace(1, "f", 1, "vhost only", -1);
    QORTrace::setThreadVH(nullptr);
    trace.trace(1, "f", 1, "none", -1);
    EXPECT_EQ(log.texts(), (Texts{"[192.0.2.7] ip only", "[www.example.com] [192.0.2.7] both",
                                  "[www.example.com] [] vhost only", "[] none"}));
    EXPECT_EQ(QORTrace::getThreadIP(), nullptr);
    EXPECT_EQ(QORTrace::getThreadVH(), nullptr);

    // Beyond the inline buffers of the context and of the line.
    std::string vh(600, 'v');
    std::string text(3000, 't');
    QORTrace::setThreadVH(vh.c_str());
    trace.trace(1, "f", 1, text.c_str(), -1);
    EXPECT_EQ(log.records().back().text, "[" + vh + "] [] " + text);

    // Another thread starts without a context and keeps its own.
    QORTrace::setThreadIP("10.0.0.1");
    QORTrace::setThreadVH("main.example");
    Texts seen;
    std::thread([&seen] {
        seen.push_back(QORTrace::getThreadIP() ? "ip" : "no ip");
        seen.push_back(QORTrace::getThreadVH() ? "vh" : "no vh");
        QORTrace::setThreadIP("10.0.0.2");
        QORTestLog log(true);
        QORTrace(1, "t", &log).trace(1, "f", 1, "from thread", -1);
        seen.push_back(log.records().at(0).text);
    }).join();
    EXPECT_EQ(seen, (Texts{"no ip", "no vh", "[10.0.0.2] from thread"}));
    EXPECT_STREQ(QORTrace::getThreadIP(), "10.0.0.1");
    EXPECT_STREQ(QORTrace::getThreadVH(), "main.example");
}

TEST_F(QORTraceTest, OwnedLogIsDeletedWhenReplacedOrWithTheTrace)
{
    int destroyed = 0;
    QORTestLog kept(true);
    {
        QORTrace trace(0, "c", nullptr);
        trace.setLog(new QORTestLog(true, &destroyed), true);
        trace.setLog(trace.getLog(), true);
        EXPECT_EQ(destroyed, 0);
        trace.setLog(new QORTestLog(true, &destroyed), true);
        EXPECT_EQ(destroyed, 1);
        trace.setLog(&kept, false);
        EXPECT_EQ(destroyed, 2);
        trace.setLog(new QORTestLog(true, &destroyed), true);
    }
    EXPECT_EQ(destroyed, 3);
}
