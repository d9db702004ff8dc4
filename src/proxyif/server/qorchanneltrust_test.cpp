// The plug-in refuses objects of another user or open to others, and records
// pointing outside the worker set; the server never takes over another's.
#include <climits>
#include <sys/stat.h>

#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripcsquatting.h"
#include "qortestinstallroot.h"

namespace {

class QORChannelTrustTest : public QORIPCLogTest {
protected:
    void TearDown() override
    {
        (void)m_server.shutdown();  // teardown; usually shut down by the test already
        QORIPCLogTest::TearDown();
    }
    QORTestIPCPath m_path{"trust"};
    QORSrvWorkerPool m_server;
};

TEST_F(QORChannelTrustTest, OpenOrForeignObjectsAreRefused)
{
    struct Case {
        char id;            // object made open; 0: the key path
        unsigned mode;
        const char* conf;   // dxqor.conf, or null
        const char* logLine;
    } cases[] = {
        {'p', 0666, nullptr, "mode 666"},
        {'w', 0604, nullptr, "mode 604"},
        {'q', 0662, nullptr, "mode 662"},
        {'x', 0661, nullptr, "mode 661"},
        {0, 0666, nullptr, "writable by others"},
        {0, 0600, "[dxweb-plugins]\nserver-user = 4242\n", "expected uid 4242"},
        {0, 0600, "[dxweb-plugins]\nserver-user = no-such-user-qq\n", "Unknown server-user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        std::unique_ptr<QORTestInstallRoot> root;
        if (c.conf != nullptr)
            root.reset(new QORTestInstallRoot("trust", c.conf));
        ASSERT_EQ(m_server.start(m_path.c_str(), 2, 512, nullptr), qor_s_ok);
        ASSERT_TRUE(c.id == 0 || qor_test_set_ipc_mode(m_path.c_str(), c.id, c.mode));
        ASSERT_EQ(chmod(m_path.c_str(), c.id ? 0600 : c.mode), 0);
        QORClntWorkerPool client;
        EXPECT_EQ(client.initialize(m_path.c_str()), qor_s_ipc_access);
        EXPECT_TRUE(logged(c.logLine));
        EXPECT_EQ(client.shutdown(), qor_s_ok);
        ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    }
}

// Records are taken only when they name the worker set and numbers inside
// it; a record time of any value neither overflows nor keeps a lost worker.
TEST_F(QORChannelTrustTest, WorkerRecordsAreChecked)
{
    struct Case {
        int32_t worker_info::*field;
        int32_t value;  // INT_MIN + 1: the worker set's ID plus one
        QORStatus expected;
    } cases[] = {
        {&worker_info::semId, INT_MIN + 1, qor_s_ipc_invalid_id},
        {&worker_info::reqSemNum, 4, qor_s_ipc_bad_worker_buffer},
        {&worker_info::resSemNum, -1, qor_s_ipc_bad_worker_buffer},
        {&worker_info::resSemNum, 0, qor_s_ipc_bad_worker_buffer},
        {&worker_info::time, INT_MIN, qor_s_ok},  // in use since long ago
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(m_server.start(m_path.c_str(), 2, 512, nullptr), qor_s_ok);
        QORClntWorkerPool client;
        ASSERT_EQ(client.initialize(m_path.c_str()), qor_s_ok);
        worker_info volatile* w = nullptr;
        ASSERT_EQ(m_server.getWorkerInfo(0, &w), qor_s_ok);
        w->*c.field = c.value == INT_MIN + 1 ? m_server.getWorkerSemId() + 1 : c.value;
        w->inUse = c.field == &worker_info::time;
        QORClntWorkerBuffer* b = nullptr;
        EXPECT_EQ(client.getFreeWorker(&b), c.expected);
        if (b != nullptr) {
            EXPECT_EQ(b->getWorkerNum(), 0);
            EXPECT_EQ(client.replaceWorker(b), qor_s_ok);
        }
        EXPECT_EQ(client.shutdown(), qor_s_ok);
        ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    }
}

// Another user made the objects while the server was down: the plug-in reads
// nothing of them; the server fails naming them, neither removing nor using.
TEST_F(QORChannelTrustTest, AnotherUsersObjectsAreNeitherUsedNorRemoved)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make objects as a second user (nobody)";
    ASSERT_TRUE(qor_test_squat(m_path.c_str(), "pwqx", 65534));
    QORClntWorkerPool client;
    EXPECT_EQ(client.initialize(m_path.c_str()), qor_s_ipc_access);
    EXPECT_TRUE(logged("owner uid 65534"));
    EXPECT_EQ(m_server.start(m_path.c_str(), 1, 512, nullptr), qor_s_ipc_exists);
    EXPECT_TRUE(logged("belongs to uid 65534"));
    EXPECT_EQ(m_path.countPoolObjects(), 4);
    EXPECT_EQ(qor_test_segment_owner(m_path.c_str(), 'w'), 65534u);
}

} // namespace
