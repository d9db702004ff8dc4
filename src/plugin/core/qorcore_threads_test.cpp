// Many web-server threads on one core while the server's answers move the
// cache version on and the virtual-host list is replaced over and over.
#include "plugin/core/qorcore.h"

#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "plugin/core/qorpluginvirtualhost.h"
#include "qortestcorerig.h"

namespace {

const int kThreads = 16;
const int kRequestsPerThread = 1000;

QORTestAuthScript threadScript()
{
    QORTestAuthScript s = qor_test_auth_script("www", "/web", {{"GET", "r"}}, "open");
    s.branches = {{"/web", {{"/web/pub", "*"}, {"/web/docs", "r"}}}};
    s.headers = {{true, true, "X-Checked", "yes"}};
    return s;
}

// What each kind of request must end in, whatever else happens meanwhile.
struct Kind {
    const char* vhost;
    const char* uri;
    qor_proxy_rsp_code_e result;
};

const Kind kKinds[] = {
    {"open", "/x", qor_continue_uninteresting},               // host shortcut
    {"www", "/pub/a/b/c/d.gif", qor_continue_uninteresting},  // cache
    {"www", "/docs/a.html", qor_continue_uninteresting},      // cache, with grants
    {"www", "/private/a", qor_continue},                      // server
};

} // namespace

TEST(QORCoreThreadsTest, SixteenThreadsDecideEveryRequestWhileConfigurationChanges)
{
    qor_test_watchdog(300);
    QORTestCoreRig rig("qorcore_threads_test", "[dxweb-plugins]\nvirtual-host = www\n",
                       threadScript());
    // The server's answers name a new cache version every fifth request.
    rig.seen().sendURCVersion = true;
    rig.seen().bumpURCEvery = 5;
    ASSERT_EQ(rig.start(), qor_s_ok);
    QORCore& core = rig.core;

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, failed{0}, decided{0}, replaced{0};
    // Replaces the host list (and refetches everything else) again and again.
    std::thread reconfigure([&] {
        while (!done) {
            core.prepareForRetry();
            replaced++;
        }
    });
    std::vector<std::thread> web;
    for (int t = 0; t < kThreads; t++) {
        web.emplace_back([&, t] {
            for (int i = 0; i < kRequestsPerThread; i++) {
                const Kind& kind = kKinds[(t + i) % 4];
                int result = rig.decide(kind.vhost, kind.uri);
                if (result == -1)
                    failed++;
                else if (result != kind.result)
                    wrong++;
                else
                    decided++;
            }
        });
    }
    for (std::thread& w : web)
        w.join();
    done = true;
    reconfigure.join();

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(decided, kThreads * kRequestsPerThread);
    EXPECT_GT(replaced, 0);
    // A quarter of the requests reached the server, each answered once.
    EXPECT_EQ(rig.seen().questions[qor_msg_web_req_question],
              kThreads * kRequestsPerThread / 4);
    EXPECT_GT(rig.seen().databasesSent, 1);
    EXPECT_EQ(rig.log.count("ERROR"), 0);

    EXPECT_EQ(core.shutdown(), qor_s_ok);
    rig.server.stop();
    EXPECT_EQ(rig.poolObjects(), 0);
    qor_test_watchdog(0);
}
