#include "config_mgr/qormemdebug.h"

#include <unistd.h>
#include <string>
#include <gtest/gtest.h>
#include "qortestdir.h"
#include "config_mgr/qorconfigstatus.h"
#include "core/memory/qorcachingallocator.h"
#include "core/memory/qormemtypeflags.h"
#include "core/svc/qorsvcroute.h"
#include "qortestreports.h"

namespace {

// Memory types: plugin.if.disp.shmem-allocator, plugin.if.disp.error-message,
// plugin.core.rsp-parser, plugin.core.config-rsp-parser, plugin.urc,
// proxy.memory-type.80 and an id without a text.
const unsigned kTypes[] = {0x35f02f85, 0x35f02f88, 0x35f02f96, 0x35f02f97,
                           0x35f02fa9, 0x35f02f80, 0x35f02ff7};
const unsigned G = QOR_ALLOC_PAGE_GUARD;
const unsigned S = QOR_ALLOC_STATS;

struct Case {
    const char* config;
    unsigned flags[7];   // for kTypes, in order
};

const Case kCases[] = {
    {"[debug]\nmemory-on = plugin.if\n", {G, G, 0, 0, 0, 0, 0}},
    // Whole components only; a longer name covers nothing above it.
    {"[debug]\nmemory-on = plugin.co, plugin.ur\nmemory-on = plugin.core.rsp-parser.x\n"
     "memory-on = plugin.core.config-rsp-parser\n",
     {0, 0, 0, G, 0, 0, 0}},
    // Every line counts, each split at commas, blanks trimmed.
    {"[debug]\nmemory-on = plugin.urc, plugin.if.disp.error-message\n"
     "memory-on = plugin.core.rsp-parser \n",
     {0, G, G, 0, G, 0, 0}},
    // memory-off vetoes a type it names, itself or through a parent.
    {"[debug]\nmemory-on = plugin, plugin.core.rsp-parser\n"
     "memory-off = plugin.if.disp.error-message, plugin.core\nmemory-stats = true\n",
     {G | S, S, S, S, G | S, S, S}},
    {"[debug]\nmemory-stats = true\n", {S, S, S, S, S, S, S}},
    {"[other]\nmemory-on = plugin\n", {0, 0, 0, 0, 0, 0, 0}},
};

class QORMemDebugTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_scratch.ok()); }
    void TearDown() override
    {
        QORMemDebug::shutdown();
        (void)m_mgr.shutdown();
    }

    QORStatus configure(const char* text)
    {
        EXPECT_TRUE(m_scratch.write("memdebug.conf", text));
        QORStatus st = m_mgr.initialize(m_path.c_str());
        return st != qor_s_ok ? st : QORMemDebug::initialize(&m_mgr);
    }

    int reports(const std::string& text) const
    {
        int n = 0;
        for (const QORTestReport& r : m_reports.all())
            n += r.id == 0x35f02f9b && r.subcomponent == qor_svc_memory_types &&
                 r.args[0] + ": " + r.args[1] == text;
        return n;
    }

    QORConfigMgr m_mgr;
    QORTestDir m_scratch{"memdebug"};
    std::string m_path = m_scratch.file("memdebug.conf");
    // Message 0x35f02f9b has the type and the mode.
    QORTestReports m_reports{[](QORStatus id) { return id == 0x35f02f9b ? 2 : 0; }};
};

} // namespace

// Nothing before the first configuration or after shutdown; the provider
// the allocators ask is installed.
TEST_F(QORMemDebugTest, FlagsOfEachTypeFollowTheStanza)
{
    EXPECT_EQ(0u, QORMemDebug::flags(kTypes[0]));
    for (const Case& c : kCases) {
        ASSERT_EQ(qor_s_ok, configure(c.config)) << c.config;
        for (size_t i = 0; i < sizeof kTypes / sizeof kTypes[0]; i++) {
            EXPECT_EQ(c.flags[i], QORMemDebug::flags(kTypes[i])) << c.config << std::hex << kTypes[i];
            EXPECT_EQ(c.flags[i], qor_memtype_flags(kTypes[i]));
        }
    }
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin\nmemory-stats = true\n"));
    QORMemDebug::shutdown();
    EXPECT_EQ(0u, QORMemDebug::flags(kTypes[0]));
    EXPECT_EQ(0u, qor_memtype_flags(kTypes[0]));
}

TEST_F(QORMemDebugTest, GrantedModesAreReportedOncePerType)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if\nmemory-stats = true\n"));
    QORMemDebug::flags(0x35f02f85);
    QORMemDebug::flags(0x35f02f85);
    QORMemDebug::flags(0x35f02f96);
    EXPECT_EQ(1, reports("plugin.if.disp.shmem-allocator: Memory Debugging Enabled"));
    EXPECT_EQ(1, reports("plugin.if.disp.shmem-allocator: Memory Statistics Enabled"));
    EXPECT_EQ(1, reports("plugin.core.rsp-parser: Memory Statistics Enabled"));
    EXPECT_EQ(3u, m_reports.all().size());
    // A new configuration announces again.
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if\n"));
    QORMemDebug::flags(0x35f02f85);
    EXPECT_EQ(2, reports("plugin.if.disp.shmem-allocator: Memory Debugging Enabled"));
    EXPECT_EQ(4u, m_reports.all().size());
}

TEST_F(QORMemDebugTest, RefusedValueKeepsTheEarlierConfiguration)
{
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.urc\n"));
    EXPECT_EQ(qor_s_config_bad_value, configure("[debug]\nmemory-on = plugin.if\nmemory-stats = maybe\n"));
    EXPECT_EQ(qor_s_config_bad_value, configure("[debug]\nmemory-stats-period = soon\n"));
    EXPECT_EQ(G, QORMemDebug::flags(0x35f02fa9));
    EXPECT_EQ(0u, QORMemDebug::flags(0x35f02f85));
}

// With a period of 1 s an allocator's statistics appear within seconds,
// where the default period would take minutes.
TEST_F(QORMemDebugTest, StatisticsPeriodReachesTheReporter)
{
    std::string log = m_path + ".log";
    QORStatus st;
    char* routes = dx_svc_routes_show("pic", &st);
    dx_svc_debug_routing(("pic:TEXTFILE:" + log).c_str(), &st);
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-stats = true\nmemory-stats-period = 1\n"));
    const char* const line = "plugin.urc.memdebug: blocks allocated:   1";
    {
        QORCachingAllocator allocator;
        ASSERT_EQ(qor_s_ok, allocator.initialize(0x35f02fa9, 0, "memdebug", 1, 16));
        ASSERT_NE(nullptr, QORAllocator::allocate(&allocator, 10));
        EXPECT_TRUE(qor_test_wait_until([&] {
            dx_svc_flush();
            return qor_test_read_file(log).find(line) != std::string::npos;
        }));
    }
    // Read again once the reporter has stopped: nothing is half written.
    qor_allocator_stats_shutdown();
    qor_allocator_set_stats_period(300);
    dx_svc_flush();
    std::string text = qor_test_read_file(log);
    dx_svc_debug_routing((std::string("pic:") + (routes ? routes : "")).c_str(), &st);
    free(routes);
    EXPECT_NE(std::string::npos, text.find(line)) << text;
}

// A caching allocator of a configured type is page-guarded: its data ends
// at a page boundary, and writing past it kills the process.
TEST_F(QORMemDebugTest, CachingAllocatorOfConfiguredTypeIsPageGuarded)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(qor_s_ok, configure("[debug]\nmemory-on = plugin.if.disp\n"));
    QORCachingAllocator guarded;
    ASSERT_EQ(qor_s_ok, guarded.initialize(0x35f02f88, 0, nullptr, 2, 64));
    char* p = static_cast<char*>(QORAllocator::allocate(&guarded, 64));
    ASSERT_NE(nullptr, p);
    p[63] = 1;
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p + 64) % sysconf(_SC_PAGESIZE));
    EXPECT_DEATH({ p[64] = 1; }, "");
}
