#include "core/trace/qortraceregistry.h"

#include <gtest/gtest.h>
#include <cstring>

#include "core/svc/qorsvcroute.h"
#include "core/trace/qorsvclog.h"
#include "qortestdir.h"
#include "qortestlog.h"

namespace {

void setLevels(const char* spec)
{
    QORStatus st = 1;
    dx_svc_debug_set_levels(spec, &st);
    ASSERT_EQ(st, 0u) << spec;
}

// Each test starts and ends without a registry, with the product's rows at
// level 0 and their debug records discarded.
class QORTraceRegistryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(qormsg_init("qortrace_test", 0), 1); }
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        while (QORTraceRegistry::instance() != nullptr)
            QORTraceRegistry::shutdown();
        QORStatus st;
        dx_svc_debug_set_levels_nocb("pic:*.0", &st);
        dx_svc_debug_routing("pic:DISCARD:", &st);
    }
};

} // namespace

// Without a registry every operation is harmless; with one, initialize and
// shutdown count references.
TEST_F(QORTraceRegistryTest, AbsentRegistryIsHarmlessAndReferencesAreCounted)
{
    QORTestLog log(true);
    EXPECT_EQ(QORTraceRegistry::add("x", 1, &log), nullptr);
    EXPECT_EQ(QORTraceRegistry::get("x"), nullptr);
    QORTraceRegistry::remove("x");
    QORTraceRegistry::instance()->setLevel(3);
    QORTraceRegistry::setLevel("x", 3);
    QORTraceRegistry::registerSvc(dx_svc_pic_handle);
    QORTraceRegistry::_debugSetLevelsNotify(dx_svc_pic_handle, 1, 0x35f02fc1, 2);
    QORTraceRegistry::shutdown();
    EXPECT_EQ(QORTraceRegistry::refCount(), 0);
    QORTraceRegistry::initialize();
    QORTraceRegistry* first = QORTraceRegistry::instance();
    ASSERT_NE(first, nullptr);
    QORTraceRegistry::initialize();
    EXPECT_EQ(QORTraceRegistry::instance(), first);
    EXPECT_EQ(QORTraceRegistry::refCount(), 2);
    QORTraceRegistry::shutdown();
    EXPECT_EQ(QORTraceRegistry::instance(), first);
    QORTraceRegistry::shutdown();
    EXPECT_EQ(QORTraceRegistry::instance(), nullptr);
    QORTraceRegistry::shutdown();
    QORTraceRegistry::initialize();
    EXPECT_EQ(QORTraceRegistry::refCount(), 1);
}

TEST_F(QORTraceRegistryTest, AddGetRemoveAndLevels)
{
    QORTraceRegistry::initialize();
    int destroyed = 0;
    QORTestLog* log = new QORTestLog(true, &destroyed);
    QORTestLog other(true);
    QORTrace* a = QORTraceRegistry::add("my.comp", 3, log);
    ASSERT_NE(a, nullptr);
    a->setLog(log, true);
    // The same name again (from an unterminated view): the first trace,
    // with its first level and log.
    EXPECT_EQ(QORTraceRegistry::add(QORStringRef("my.compXX", 7), 7, &other), a);
    EXPECT_EQ(a->getLevel(), 3u);
    EXPECT_EQ(a->getLog(), log);
    EXPECT_EQ(QORTraceRegistry::get("my.comp"), a);
    EXPECT_EQ(QORTraceRegistry::get("my.com"), nullptr);
    QORTrace* b = QORTraceRegistry::add("other.comp", 1, nullptr);
    QORTraceRegistry::setLevel("my.comp", 8);
    EXPECT_EQ(a->getLevel(), 8u);
    EXPECT_EQ(b->getLevel(), 1u);
    QORTraceRegistry::setLevel(5);
    EXPECT_EQ(b->getLevel(), 5u);
    EXPECT_EQ(QORTraceRegistry::get("dxqor.http")->getLevel(), 5u);
    QORTraceRegistry::remove("other.comp");
    EXPECT_EQ(QORTraceRegistry::get("other.comp"), nullptr);
    // The registry deletes its traces, and they the logs they own.
    QORTraceRegistry::shutdown();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(QORTraceRegistryTest, ProductSubComponentsBecomeTracesThatFollowLevelChanges)
{
    setLevels("pic:Thread.6");
    QORTraceRegistry::initialize();
    // Named as the rows' catalogue texts ("dxqor.http").
    for (int i = 0; i < qor_svc_pic_count; i++) {
        const char* name = dx_svc_pic_handle->table[i].sc_descr;
        ASSERT_EQ(strncmp(name, "dxqor.", 6), 0) << name;
        QORTrace* t = QORTraceRegistry::get(name);
        ASSERT_NE(t, nullptr) << name;
        QORSvcLog* log = dynamic_cast<QORSvcLog*>(t->getLog());
        ASSERT_NE(log, nullptr) << name;
        EXPECT_TRUE(t->ownsLog());
        EXPECT_EQ(log->handle(), dx_svc_pic_handle);
        EXPECT_EQ(log->subcomponent(), i);
        EXPECT_EQ(t->getLevel(), i == qor_svc_thread ? 6u : 0u) << i;
    }
    EXPECT_EQ(QORTraceRegistry::get("dxqor.untranslated"), nullptr);
    QORTrace* http = QORTraceRegistry::get("dxqor.http");
    QORTrace* urc = QORTraceRegistry::get("dxqor.urc");
    ASSERT_TRUE(http && urc);
    setLevels("pic:HTTP Parser.4");
    EXPECT_EQ(http->getLevel(), 4u);
    EXPECT_EQ(urc->getLevel(), 0u);
    setLevels("pic:*.2");
    EXPECT_EQ(http->getLevel(), 2u);
    EXPECT_EQ(urc->getLevel(), 2u);
    QORStatus st;
    dx_svc_debug_set_levels_nocb("pic:HTTP Parser.9", &st);
    EXPECT_EQ(http->getLevel(), 2u);
}

TEST_F(QORTraceRegistryTest, TraceLinesBecomeDebugRecords)
{
    QORTestDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("debug.log");
    QORStatus st = 1;
    dx_svc_debug_routing(("pic:TEXTFILE:" + path).c_str(), &st);
    ASSERT_EQ(st, 0u);
    QORTraceRegistry::initialize();
    setLevels("pic:HTTP Parser.3");
    QORTrace* http = QORTraceRegistry::get("dxqor.http");
    ASSERT_NE(http, nullptr);
    http->trace(2, "h.cpp", 77, "parsed GET", -1);
    http->trace(4, "h.cpp", 78, "too fine", -1);
    // Straight to the sink: only trace severities the row admits pass.
    QORLog* log = http->getLog();
    log->log(qor_log_error, "h.cpp", 79, "dxqor.http", "an error", -1);
    log->log(qor_log_trace_0 + 5, "h.cpp", 80, "dxqor.http", "level five", -1);
    dx_svc_flush();
    std::string content = qor_test_read_file(path);
    for (const char* present : {"DEBUG2", "h.cpp 77", "[] parsed GET"})
        EXPECT_NE(content.find(present), std::string::npos) << content;
    for (const char* absent : {"too fine", "an error", "level five"})
        EXPECT_EQ(content.find(absent), std::string::npos) << content;
}
