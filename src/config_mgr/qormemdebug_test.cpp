// Tests of the memory-debugging configuration: which memory types get page
// guards and statistics from the "debug" stanza, how "memory-off" vetoes,
// the reports of granted modes, and that caching allocators follow it.
#include "config_mgr/qormemdebug.h"

#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "config_mgr/qorconfigstatus.h"
#include "core/memory/qorblockallocator.h"
#include "core/memory/qorcachingallocator.h"
#include "core/memory/qormemtypeflags.h"
#include "core/svc/qorsvc.h"
#include "core/svc/qorsvcroute.h"
#include "core/system/qorreport.h"
#include "core/trace/qortraceregistry.h"

namespace {

// Memory types and their names.
const unsigned kShmemAllocator = 0x35f02f85;   // plugin.if.disp.shmem-allocator
const unsigned kErrorMessage = 0x35f02f88;     // plugin.if.disp.error-message
const unsigned kRspParser = 0x35f02f96;        // plugin.core.rsp-parser
const unsigned kConfigRspParser = 0x35f02f97;  // plugin.core.config-rsp-parser
const unsigned kUrc = 0x35f02fa9;              // plugin.urc
const unsigned kProxyType = 0x35f02f80;        // proxy.memory-type.80

const unsigned kGuard = QOR_ALLOC_PAGE_GUARD;
const unsigned kStats = QOR_ALLOC_STATS;

struct Reported {
    QORStatus id;
    int subcomponent;
    std::string type;
    std::string text;
};

std::vector<Reported> g_reported;

void captureSink(const char*, int, int subcomponent, QORStatus id, va_list args)
{
    Reported r{id, subcomponent, "", ""};
    if (id == 0x35f02f9b) {
        r.type = va_arg(args, const char*);
        r.text = va_arg(args, const char*);
    }
    g_reported.push_back(r);
}

class QORMemDebugTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        std::string root = base && *base ? base : "/tmp";
        mkdir(root.c_str(), 0700);
        std::string tmpl = root + "/memdebugXXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        ASSERT_NE(nullptr, mkdtemp(buf.data()));
        m_dir = buf.data();
        m_path = m_dir + "/test.conf";
        g_reported.clear();
        m_previousSink = qor_report_set_sink(captureSink);
    }
    void TearDown() override
    {
        QORMemDebug::shutdown();
        m_mgr.shutdown();
        qor_report_set_sink(m_previousSink);
        unlink(m_path.c_str());
        unlink(m_log.c_str());
        rmdir(m_dir.c_str());
    }

    // Writes the configuration file and runs QORMemDebug over it.
    QORStatus configure(const char* text)
    {
        FILE* f = fopen(m_path.c_str(), "w");
        if (f == nullptr)
            return qor_s_system_error;
        fputs(text, f);
        fclose(f);
        QORStatus st = m_mgr.initialize(m_path.c_str());
        if (st != qor_s_ok)
            return st;
        return QORMemDebug::initialize(&m_mgr);
    }

    int reportsOf(const std::string& type, const std::string& text) const
    {
        int n = 0;
        for (const Reported& r : g_reported)
            if (r.id == 0x35f02f9b && r.type == type && r.text == text &&
                r.subcomponent == qor_svc_memory_types)
                n++;
        return n;
    }

    QORConfigMgr m_mgr;
    std::string m_dir;
    std::string m_path;
    std::string m_log;
    qor_report_sink_t m_previousSink = nullptr;
};

} // namespace

TEST_F(QORMemDebugTest, NoFlagsBeforeInitializeOrAfterShutdown)
{
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(0u, qor_memtype_flags(kShmemAllocator));
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin\nmemory-stats = true\n"));
    EXPECT_EQ(kGuard | kStats, qor_memtype_flags(kShmemAllocator));
    QORMemDebug::shutdown();
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(0u, qor_memtype_flags(kShmemAllocator));
}

TEST_F(QORMemDebugTest, NameCoversTheTypesBelowItInTheDottedHierarchy)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if\n"));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kErrorMessage));
    EXPECT_EQ(0u, QORMemDebug::flags(kRspParser));
    EXPECT_EQ(0u, QORMemDebug::flags(kUrc));
    EXPECT_EQ(0u, QORMemDebug::flags(kProxyType));
    // The provider the allocators ask is installed.
    EXPECT_EQ(kGuard, qor_memtype_flags(kShmemAllocator));
    EXPECT_EQ(0u, qor_memtype_flags(kRspParser));
}

TEST_F(QORMemDebugTest, OnlyWholeComponentsMatch)
{
    // "plugin.co" is not a component of "plugin.core..."; a full name and
    // a name longer than the type's do not cover other types.
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.co, plugin.ur\n"
                                  "memory-on = plugin.core.rsp-parser.x\n"
                                  "memory-on = plugin.core.config-rsp-parser\n"));
    EXPECT_EQ(0u, QORMemDebug::flags(kRspParser));
    EXPECT_EQ(0u, QORMemDebug::flags(kUrc));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kConfigRspParser));
}

TEST_F(QORMemDebugTest, ValuesFromEveryLineAndCommaSeparated)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.urc, plugin.if.disp.error-message\n"
                                  "memory-on = plugin.core.rsp-parser \n"));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kUrc));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kErrorMessage));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kRspParser));
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(0u, QORMemDebug::flags(kConfigRspParser));
}

TEST_F(QORMemDebugTest, MemoryOffVetoesTheTypesItNames)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin, plugin.core.rsp-parser\n"
                                  "memory-off = plugin.if.disp.error-message, plugin.core\n"
                                  "memory-stats = true\n"));
    EXPECT_EQ(kGuard | kStats, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(kGuard | kStats, QORMemDebug::flags(kUrc));
    // Named by memory-off, itself or through a parent: statistics only,
    // even where memory-on names the type itself.
    EXPECT_EQ(kStats, QORMemDebug::flags(kErrorMessage));
    EXPECT_EQ(kStats, QORMemDebug::flags(kConfigRspParser));
    EXPECT_EQ(kStats, QORMemDebug::flags(kRspParser));
}

TEST_F(QORMemDebugTest, StatisticsAloneForEveryTypeAndNoGuard)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-stats = true\n"));
    for (unsigned type : {kShmemAllocator, kErrorMessage, kRspParser, kUrc, kProxyType})
        EXPECT_EQ(kStats, QORMemDebug::flags(type)) << std::hex << type;
    // Even a type without a name keeps statistics.
    EXPECT_EQ(kStats, QORMemDebug::flags(0x35f02ff7));
}

TEST_F(QORMemDebugTest, EmptyOrMissingStanzaGivesNoFlags)
{
    ASSERT_EQ(qor_s_ok, configure("[other]\nmemory-on = plugin\n"));
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-stats = false\n"));
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    EXPECT_TRUE(g_reported.empty());
}

TEST_F(QORMemDebugTest, GrantedModesAreReportedOncePerType)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if\nmemory-stats = true\n"));
    QORMemDebug::flags(kShmemAllocator);
    QORMemDebug::flags(kShmemAllocator);
    QORMemDebug::flags(kRspParser);
    EXPECT_EQ(1, reportsOf("plugin.if.disp.shmem-allocator", "Memory Debugging Enabled"));
    EXPECT_EQ(1, reportsOf("plugin.if.disp.shmem-allocator", "Memory Statistics Enabled"));
    EXPECT_EQ(0, reportsOf("plugin.core.rsp-parser", "Memory Debugging Enabled"));
    EXPECT_EQ(1, reportsOf("plugin.core.rsp-parser", "Memory Statistics Enabled"));
    EXPECT_EQ(3u, g_reported.size());
    // A new configuration announces again.
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if\n"));
    QORMemDebug::flags(kShmemAllocator);
    EXPECT_EQ(2, reportsOf("plugin.if.disp.shmem-allocator", "Memory Debugging Enabled"));
    EXPECT_EQ(4u, g_reported.size());
}

TEST_F(QORMemDebugTest, RefusedValueKeepsTheEarlierConfiguration)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.urc\n"));
    EXPECT_EQ(qor_s_config_bad_value, configure("[debug]\nmemory-on = plugin.if\nmemory-stats = maybe\n"));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kUrc));
    EXPECT_EQ(0u, QORMemDebug::flags(kShmemAllocator));
    EXPECT_EQ(qor_s_config_bad_value, configure("[debug]\nmemory-stats-period = soon\n"));
    EXPECT_EQ(kGuard, QORMemDebug::flags(kUrc));
}

TEST_F(QORMemDebugTest, RegistersItsSchemaAndTraceComponent)
{
    QORTraceRegistry::initialize();
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin\n"));
    EXPECT_NE(nullptr, QORTraceRegistry::get("dxqor.memory"));
    ASSERT_EQ(1, m_mgr.schemas());
    QORConfigSchema* schema = nullptr;
    ASSERT_EQ(qor_s_ok, m_mgr.findSchema(0, &schema));
    EXPECT_STREQ("QORMemDebug", schema->getName());
    QORTraceRegistry::shutdown();
}

// The period reaches the statistics reporter: with 1 second an allocator's
// statistics appear within seconds, where the default would take minutes.
TEST_F(QORMemDebugTest, StatisticsPeriodReachesTheReporter)
{
    m_log = m_dir + "/stats.log";
    QORStatus st;
    char* routes = dx_svc_routes_show("pic", &st);
    dx_svc_debug_routing(("pic:TEXTFILE:" + m_log).c_str(), &st);
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-stats = true\nmemory-stats-period = 1\n"));
    std::string text;
    {
        QORCachingAllocator allocator;
        ASSERT_EQ(qor_s_ok, allocator.initialize(kUrc, 0, "memdebug", 1, 16));
        ASSERT_NE(nullptr, QORAllocator::allocate(&allocator, 10));
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10) &&
               text.find("bytes outstanding") == std::string::npos) {
            usleep(50000);
            dx_svc_flush();
            FILE* f = fopen(m_log.c_str(), "r");
            text.clear();
            char line[512];
            while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
                text += line;
            if (f != nullptr)
                fclose(f);
        }
    }
    qor_allocator_stats_shutdown();
    qor_allocator_set_stats_period(300);
    if (routes != nullptr)
        dx_svc_debug_routing((std::string("pic:") + routes).c_str(), &st);
    free(routes);
    EXPECT_NE(std::string::npos, text.find("plugin.urc.memdebug: blocks allocated:   1"));
}

// A caching allocator of a configured type is page-guarded: writing just
// past its data kills the process.
TEST_F(QORMemDebugTest, CachingAllocatorOfConfiguredTypeIsPageGuarded)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if.disp\n"));
    QORCachingAllocator guarded;
    ASSERT_EQ(qor_s_ok, guarded.initialize(kErrorMessage, 0, nullptr, 2, 64));
    char* p = static_cast<char*>(QORAllocator::allocate(&guarded, 64));
    ASSERT_NE(nullptr, p);
    p[63] = 1;   // the last byte is the caller's
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p + 64) % sysconf(_SC_PAGESIZE));
    EXPECT_DEATH({ p[64] = 1; }, "");
}
