#include "core/shutdown/qorshutdown.h"

#include <gtest/gtest.h>

#include "core/svc/qorsvcroute.h"
#include "core/system/qorinstallpath.h"
#include "core/trace/qordebugroutinetrace.h"
#include "qortestlog.h"

namespace {

// The entry line of a routine nested in another.
std::string innerEntry()
{
    QORTestLog log(true);
    QORTrace trace(9, "c", &log);
    QORDebugRoutineTrace outer(&trace, 1, "o");
    QORDebugRoutineTrace inner(&trace, 1, "i");
    return log.records().at(1).text;
}

std::string etcUnder(const char* root)
{
    setenv("DXQOR_ROOT", root, 1);
    const char* p = "";
    EXPECT_EQ(qor_s_ok, qor_install_path(qor_path_etc, &p));
    return p;
}

std::string routes(const char* name)
{
    QORStatus st;
    char* s = dx_svc_routes_show(name, &st);
    std::string r = s ? s : "";
    free(s);
    return r;
}

} // namespace

// In a child process, since what it releases is the whole process's; the
// child lists what was not as expected.
TEST(QORShutdownDeathTest, ReleasesLibraryStateAndRunsTwice)
{
    EXPECT_EQ(innerEntry(), "[] API ENTRY:     i");
    EXPECT_EXIT(
        {
            std::string wrong;
            QORStatus st;
            qormsg_init("qorshutdown_test", 0);
            dx_svc_routing("NOTICE:STDOUT:", &st);
            qor_install_path_reset();
            etcUnder("/tmp/a");
            QORTrace::setThreadIP("192.0.2.1");
            if (QORTrace::getThreadIP() == nullptr || routes("NOTICE") != "STDOUT:")
                wrong += "setup ";
            qor_shutdown();
            QORTrace::setThreadIP("192.0.2.2");
            if (QORTrace::getThreadIP() != nullptr)
                wrong += "context ";
            if (innerEntry() != "[] API ENTRY: i")
                wrong += "indent ";
            if (routes("NOTICE") != "DISCARD:")
                wrong += "routes ";
            if (etcUnder("/tmp/b") != "/tmp/b/opt/dxqor/etc/")
                wrong += "paths ";
            qor_shutdown();
            fprintf(stderr, "wrong: %s\n", wrong.c_str());
            exit(wrong.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "wrong: \n");
}
