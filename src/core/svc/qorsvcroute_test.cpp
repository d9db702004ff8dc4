#include "core/svc/qorsvcroute.h"

#include <pwd.h>
#include <sys/wait.h>
#include <sstream>
#include <thread>
#include <tuple>
#include "core/svc/qorsvctesting.h"

namespace {

const uint32_t kNoArgs = 0x35f0200c;   // XLTIC0012E, no arguments
const uint32_t kSyscall = 0x35f02037;  // XLTIC0055E "%s ... %s ... %d"

void emit(int severity, uint32_t id = kNoArgs)
{
    dx_svc_printf_withfile(dx_svc_pic_handle, "route_test.cpp", 1, "",
                           qor_svc_common, dx_svc_g_attr_table[severity], id);
}

class SvcRouteTest : public SvcTest {};

TEST_F(SvcRouteTest, AllSeveritiesShareOneFileArchivedByGenerations)
{
    std::string log = path("all.log");
    route("*:TEXTFILE.3.1000:" + log);
    for (int i = 0; i < 2500; i++)
        emit(i % dx_svc_c_sev_count);
    std::string cur = readFile(log), one = readFile(log + ".1"), two = readFile(log + ".2");
    EXPECT_EQ(count(one, "XLTIC0012E"), 1000u);
    EXPECT_EQ(count(two, "XLTIC0012E"), 1000u);
    EXPECT_EQ(count(cur, "XLTIC0012E"), 500u);
    EXPECT_NE(access((log + ".3").c_str(), F_OK), 0);
    for (const char* sev : dx_svc_g_code_table)
        EXPECT_EQ(count(one, std::string(" ") + sev + " pic "), 200u) << sev;
    // With .1 and .2 taken, the next archive replaces .1.
    for (int i = 0; i < 600; i++)
        emit(0, kSyscall);
    EXPECT_EQ(count(readFile(log + ".1"), "XLTIC0012E"), 500u);
    EXPECT_EQ(count(readFile(log + ".1"), "XLTIC0055E"), 500u);
    EXPECT_EQ(readFile(log + ".2"), two);
    EXPECT_EQ(count(readFile(log), "XLTIC0055E"), 100u);
    EXPECT_NE(access((log + ".3").c_str(), F_OK), 0);
}

// Opening a route with generations archives the file found there; more
// than ninety-nine generations are capped.
TEST_F(SvcRouteTest, OpeningArchivesTheOldFileAndGenerationsAreCapped)
{
    std::string log = path("old.log"), cap = path("cap.log");
    ASSERT_TRUE(m_scratch.write("old.log", "previous run\n"));
    route("ERROR:TEXTFILE.2.10:" + log);
    route("WARNING:TEXTFILE.150.1:" + cap);
    emit(1);
    EXPECT_EQ(readFile(log + ".1"), "previous run\n");
    EXPECT_EQ(count(readFile(log), "XLTIC0012E"), 1u);
    for (int i = 0; i < 101; i++)
        emit(2);
    EXPECT_EQ(access((cap + ".98").c_str(), F_OK), 0);
    EXPECT_NE(access((cap + ".99").c_str(), F_OK), 0);
}

TEST_F(SvcRouteTest, MalformedSpecificationsChangeNoRoute)
{
    std::string log = path("keep.log");
    route("*:UTF8FILE:" + log);
    const std::vector<std::string> bad = {
        "ERROR", "ERROR STDERR:", "BOGUS:STDERR:", "*:", "*:;;", "ERROR:STDERR", ":STDERR:",
        "ERROR::x", "ERROR:TEXTFILE:", "ERROR:GOESTO:", "ERROR:TEXTFILE.3:" + log,
        "ERROR:TEXTFILE.a.1:" + log, "ERROR:STDERR:;TEXTFILE:" + log + ":0644:no-such-user-qq",
        "ERROR:TEXTFILE:" + log + ":0644::no-such-group-qq", "ERROR:TEXTFILE:" + log + ":0689",
        "*:STDERR:;TEXTFILE:x:0600:root:root:extra"};
    for (const std::string& spec : bad) {
        QORStatus st = 0;
        dx_svc_routing(spec.c_str(), &st);
        EXPECT_EQ(st, dx_svc_s_bad_routespec) << spec;
    }
    for (const char* sev : dx_svc_g_code_table)
        EXPECT_EQ(shown(sev), "UTF8FILE:" + log) << sev;
}

TEST_F(SvcRouteTest, WithoutConfigurationWarningsGoToStderrAndNoticesNowhere)
{
    SvcCapture out(1);
    SvcCapture err(2);
    for (int i = 0; i < dx_svc_c_sev_count; i++)
        emit(i);
    std::string e = err.text();
    for (const char* sev : {" FATAL pic ", " ERROR pic ", " WARNING pic "})
        EXPECT_EQ(count(e, sev), 1u) << sev;
    EXPECT_EQ(count(e, "NOTICE"), 0u);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(shown("NOTICE"), "DISCARD:");
    EXPECT_EQ(shown("WARNING"), "STDERR:");
}

TEST_F(SvcRouteTest, EnvironmentGivesDefaultRoutes)
{
    std::string log = path("env.log");
    setenv("SVC_NOTICE", ("UTF8FILE:" + log).c_str(), 1);
    setenv("SVC_WARNING", "no colon here", 1);
    SvcCapture err(2);
    emit(3);
    emit(2);
    EXPECT_EQ(count(readFile(log), " NOTICE pic "), 1u);
    EXPECT_EQ(count(err.text(), " WARNING pic "), 1u);
    EXPECT_EQ(shown("WARNING"), "STDERR:");
}

TEST_F(SvcRouteTest, EachSeverityReachesOnlyItsOwnRoutes)
{
    for (int i = 0; i < dx_svc_c_sev_count; i++)
        route(std::string(dx_svc_g_code_table[i]) + ":TEXTFILE:" + path(dx_svc_g_code_table[i]));
    for (int i = 0; i < dx_svc_c_sev_count; i++)
        for (int n = 0; n <= i; n++)
            emit(i);
    for (int i = 0; i < dx_svc_c_sev_count; i++) {
        std::string text = readFile(path(dx_svc_g_code_table[i]));
        EXPECT_EQ(count(text, "XLTIC0012E"), (size_t)i + 1);
        EXPECT_EQ(count(text, std::string(" ") + dx_svc_g_code_table[i] + " pic "), i + 1u);
    }
}

TEST_F(SvcRouteTest, GoesToFollowsSeveritiesAndComponentsAndStopsAtLoops)
{
    std::string errors = path("errors.log"), debug = path("debug.log");
    route("ERROR:GOESTO:WARNING;TEXTFILE:" + errors);
    route("WARNING:GOESTO:ERROR;GOESTO:pic");
    route("NOTICE:GOESTO:pic");
    QORStatus st;
    dx_svc_debug_routing(("pic:UTF8FILE:" + debug).c_str(), &st);
    ASSERT_EQ(st, 0u);
    emit(2);
    emit(1);
    emit(3);
    std::string e = readFile(errors), d = readFile(debug);
    for (const char* sev : {" WARNING pic ", " ERROR pic "})
        EXPECT_EQ(count(e, sev), 1u) << sev;
    for (const char* sev : {" WARNING pic ", " ERROR pic ", " NOTICE pic "})
        EXPECT_EQ(count(d, sev), 1u) << sev;
}

// An unopenable file drops its own route only; dropping the last route
// falls back to the default.
TEST_F(SvcRouteTest, UnopenableFileDropsItsRouteOnly)
{
    std::string good = path("good.log");
    std::string bad = path("missing-dir/x.log");
    route("ERROR:TEXTFILE:" + bad + ";UTF8FILE:" + good + ";TEXTFILE:" + bad);
    route("FATAL:TEXTFILE:" + path("no/such/dir"));
    SvcCapture err(2);
    emit(1);
    emit(1);
    EXPECT_EQ(count(readFile(good), "XLTIC0012E"), 2u);
    EXPECT_EQ(shown("ERROR"), "UTF8FILE:" + good);
    emit(0);
    emit(0);
    EXPECT_EQ(count(err.text(), " FATAL pic "), 1u);
}

TEST_F(SvcRouteTest, UnknownKeywordsAreKeptForALoaderAndWriteNothing)
{
    route("ERROR:;;SNMPTRAP.2.5:host1:0640;;DISCARD:;");
    EXPECT_EQ(shown("ERROR"), "SNMPTRAP.2.5:host1:0640;DISCARD:");
    SvcCapture out(1);
    SvcCapture err(2);
    emit(1);
    EXPECT_EQ(err.text() + out.text(), "");
}

TEST_F(SvcRouteTest, FileRouteAppliesModeOwnerAndCloseOnExec)
{
    std::string log = path("owned.log"), loose = path("loose.log");
    route("ERROR:TEXTFILE:" + log + ":0600:nobody:nogroup");
    route("WARNING:TEXTFILE:" + loose + ":01777");
    emit(1);
    emit(2);
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    struct passwd* nobody = getpwnam("nobody");
    if (nobody && geteuid() == 0) {
        EXPECT_EQ(st.st_uid, nobody->pw_uid);
    }
    // A mode above 0777 leaves the permissions alone.
    mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(stat(loose.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

    int found = 0;
    for (int fd = 3; fd < 1024; fd++) {
        char buf[4096];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
        std::string target(buf, n > 0 ? n : 0);
        if (target == log || target == loose) {
            found++;
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << target;
        }
    }
    EXPECT_EQ(found, 2);
}

// A route file planted as a link to another file, or found in place, never
// gets that file's content replaced or its owner or mode changed.
TEST_F(SvcRouteTest, RouteFilesAreNeverReachedThroughLinks)
{
    const struct {
        int link;  // 0 none (the file itself), 1 symbolic, 2 hard
        const char* spec;
    } cases[] = {
        {1, "TEXTFILE:%s:0666:nobody:nogroup"}, {1, "TEXTFILE.0.5:%s:0666"},
        {2, "TEXTFILE:%s:0666"}, {2, "TEXTFILE.0.5:%s:0666"},
        {0, "TEXTFILE:%s:0666:nobody:nogroup"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE(i);
        std::string log = path("planted" + std::to_string(i)), victim = log + ".v";
        ASSERT_TRUE(m_scratch.write("planted" + std::to_string(i) + ".v", "secret\n"));
        ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
        if (cases[i].link == 0)
            victim = log;
        ASSERT_EQ(cases[i].link == 1 ? symlink(victim.c_str(), log.c_str())
                  : cases[i].link == 2 ? link(victim.c_str(), log.c_str())
                                       : rename((log + ".v").c_str(), log.c_str()), 0);
        char spec[512];
        snprintf(spec, sizeof spec, cases[i].spec, log.c_str());
        route(std::string("ERROR:") + spec);
        emit(1);
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(st.st_uid, geteuid());
        std::string text = readFile(victim);
        EXPECT_EQ(text.rfind("secret\n", 0), 0u) << text;
        EXPECT_EQ(count(text, "XLTIC0012E"), cases[i].link == 0 ? 1u : 0u);
    }
}

TEST_F(SvcRouteTest, SetLevelsAnnouncesEveryChangeToCallbacks)
{
    typedef std::tuple<int, uint32_t, unsigned> Heard;   // row, message, level
    static std::vector<Heard> heard;
    heard.clear();
    auto cb = [](dx_svc_handle_t h, int row, uint32_t msgid, unsigned level) {
        EXPECT_EQ(h, dx_svc_pic_handle);
        heard.emplace_back(row, msgid, level);
    };
    QORStatus st;
    dx_svc_register_handle(dx_svc_pic_handle, &st);
    ASSERT_EQ(st, 0u);
    dx_svc_register_callbacks(cb, &st);
    dx_svc_register_callbacks(cb, &st);

    dx_svc_debug_set_levels("pic:Memory Types.1, HTTP Parser.3", &st);
    EXPECT_EQ(st, 0u);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], Heard(qor_svc_http_parser, 0x35f02fc1u, 3u));
    EXPECT_EQ(std::get<1>(heard[1]), 0x35f02fcfu);
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_memory_types), 1u);

    heard.clear();
    dx_svc_debug_set_levels("pic:*.2,dxqor.urc.7", &st);
    EXPECT_EQ(heard.size(), (size_t)qor_svc_pic_count);
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_urc), 7u);
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_common), 2u);

    heard.clear();
    dx_svc_debug_set_levels_nocb("pic:Common.5", &st);
    EXPECT_TRUE(heard.empty());
    EXPECT_TRUE(dx_svc_debug_enabled(dx_svc_pic_handle, qor_svc_common, 5));
    EXPECT_FALSE(dx_svc_debug_enabled(dx_svc_pic_handle, qor_svc_common, 6));

    for (const char* spec : {"pic:Common.9,No Such Row.1", "pic:Common.10",
                             "pic:Common", "nosuch:*.1", "pic"}) {
        dx_svc_debug_set_levels(spec, &st);
        EXPECT_EQ(st, dx_svc_s_bad_routespec) << spec;
    }
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pic_handle, qor_svc_common), 5u);

    dx_svc_unregister_callbacks(cb, &st);
    dx_svc_debug_set_levels("pco:*.4", &st);
    EXPECT_EQ(st, 0u);
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(dx_svc_debug_get_level(dx_svc_pco_handle, 5), 4u);
}

TEST_F(SvcRouteTest, DebugRecordsFollowLevelsAndComponentRoutes)
{
    std::string log = path("pic.log");
    setenv("SVC_pic_DBG", ("UTF8FILE:" + log).c_str(), 1);
    QORStatus st;
    dx_svc_debug_set_levels_nocb("pic:HTTP Parser.4", &st);
    dx_svc__debug_withfile(dx_svc_pic_handle, "a.cpp", 1, qor_svc_http_parser, 4, "kept %d", 4);
    dx_svc__debug_withfile(dx_svc_pic_handle, "a.cpp", 2, qor_svc_http_parser, 5, "dropped %d", 5);
    dx_svc__debug_utf8(dx_svc_pic_handle, "a.cpp", 3, qor_svc_common, 1, "dropped too");
    dx_svc__debug_withfile(dx_svc_pic_handle, "a.cpp", 4, 99, 1, "bad row");
    std::string text = readFile(log);
    EXPECT_EQ(count(text, "kept 4"), 1u);
    EXPECT_EQ(count(text, "dropped"), 0u);
    EXPECT_EQ(count(text, "bad row"), 0u);
}

TEST_F(SvcRouteTest, DebugRoutingOfALaterComponentIsStoredUntilItRegisters)
{
    std::string log = path("zz.log");
    QORStatus st;
    dx_svc_debug_routing(("zzq:UTF8FILE:" + log).c_str(), &st);
    ASSERT_EQ(st, 0u);
    EXPECT_EQ(shown("zzq"), "UTF8FILE:" + log);
    dx_svc_debug_routing("zzq:TEXTFILE", &st);
    EXPECT_EQ(st, dx_svc_s_bad_routespec);
    static dx_svc_subcomp_t table[] = {{"Only", nullptr, 0x35f02fc0, 0},
                                       {nullptr, nullptr, 0, 0}};
    static dx_svc_handle_s handle = {"zzq", table, 0, nullptr, nullptr, 0};
    dx_svc_register_handle(&handle, &st);
    ASSERT_EQ(st, 0u);
    EXPECT_EQ(dx_svc_find_handle("zzq"), &handle);
    EXPECT_STREQ(table[0].sc_descr, "dxqor.general");
    dx_svc_debug_set_levels_nocb("zzq:Only.3", &st);
    dx_svc__debug_withfile(&handle, "z.cpp", 9, 0, 3, "from %s", "zzq");
    EXPECT_EQ(count(readFile(log), "DEBUG3 zzq Only z.cpp 9"), 1u);
    EXPECT_EQ(count(readFile(log), "from zzq"), 1u);
}

TEST_F(SvcRouteTest, ManyThreadsWriteWholeRecords)
{
    std::string log = path("threads.log");
    QORStatus st;
    dx_svc_debug_routing(("pic:TEXTFILE.0.0:" + log).c_str(), &st);
    dx_svc_debug_set_levels_nocb("pic:Thread.9", &st);
    const int threads = 8, each = 400;
    std::string payload(300, 'x');
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t, &payload] {
            for (int i = 0; i < each; i++)
                dx_svc__debug_withfile(dx_svc_pic_handle, "t.cpp", t, qor_svc_thread, 9,
                                       "T%d-%d %s end", t, i, payload.c_str());
        });
    for (std::thread& th : pool)
        th.join();
    std::string text = readFile(log);
    ASSERT_EQ(text.back(), '\n');
    std::istringstream in(text);
    std::vector<int> next(threads, 0);
    std::string prefix, body;
    int records = 0;
    // Each record is a prefix line and a body line, never torn apart.
    while (std::getline(in, prefix) && std::getline(in, body)) {
        int t, i;
        ASSERT_EQ(sscanf(body.c_str(), "T%d-%d", &t, &i), 2) << body;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(body, "T" + std::to_string(t) + "-" + std::to_string(i) + " " + payload + " end");
        std::string expected = " DEBUG9 pic Thread t.cpp " + std::to_string(t) + " 0x";
        EXPECT_NE(prefix.find(expected), std::string::npos) << prefix;
        records++;
    }
    EXPECT_EQ(records, threads * each);
}

TEST_F(SvcRouteTest, ForkedChildWritesToItsReopenedFileRoute)
{
    std::string log = path("fork.log");
    route("ERROR:TEXTFILE:" + log);
    emit(1, kSyscall);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dx_svc_printf_withfile(dx_svc_pic_handle, "child.cpp", 2, "%s%s%d", qor_svc_common,
                               dx_svc_c_sev_error, kSyscall, "child", "text", 7);
        _exit(0);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    emit(1);
    std::string text = readFile(log);
    EXPECT_EQ(count(text, "XLTIC0055E"), 2u);
    EXPECT_EQ(count(text, "The child system routine failed: system error: text (system error "
                          "code: 7)."), 1u);
    EXPECT_EQ(count(text, "XLTIC0012E"), 1u);
    EXPECT_LT(text.find("child.cpp"), text.find("XLTIC0012E"));
}

} // namespace
