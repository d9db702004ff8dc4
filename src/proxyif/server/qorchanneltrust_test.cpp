// Who may own the channel: the plug-in refuses objects of another user or
// open to others, and records that point outside the worker set; the server
// never takes over another user's objects.
#include <climits>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/trace/qortracetesting.h"
#include "proxyif/framework/qorproxyiflog.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcowner.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"

namespace {

const uid_t kNobody = 65534;

class QORChannelTrustTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(120);
        QORProxyIFLog::init(&m_log);
    }
    void TearDown() override
    {
        m_client.shutdown();
        m_server.shutdown();
        QORProxyIFLog::shutdown();
        qor_test_watchdog(0);
    }
    bool logged(const std::string& text) const
    {
        for (const std::string& t : m_log.texts())
            if (t.find(text) != std::string::npos)
                return true;
        return false;
    }
    // The object of the pool made with id, as IPC_STAT/IPC_SET see it.
    void setMode(char id, unsigned mode)
    {
        key_t key = ftok(m_path.c_str(), id);
        if (id == 'p' || id == 'w') {
            int shm = shmget(key, 0, 0);
            shmid_ds info;
            ASSERT_EQ(shmctl(shm, IPC_STAT, &info), 0);
            info.shm_perm.mode = mode;
            ASSERT_EQ(shmctl(shm, IPC_SET, &info), 0);
        } else {
            int sem = semget(key, 0, 0);
            semid_ds info;
            ASSERT_EQ(semctl(sem, 0, IPC_STAT, &info), 0);
            info.sem_perm.mode = mode;
            ASSERT_EQ(semctl(sem, 0, IPC_SET, &info), 0);
        }
    }
    // As user nobody, in a child: makes the objects of ids at mode 0666, a
    // pool manager segment with a plausible one-worker header. Only where
    // this test runs as root; the caller skips otherwise.
    void squat(const char* ids)
    {
        key_t keys[4];
        for (int i = 0; ids[i] != 0; ++i)
            keys[i] = ftok(m_path.c_str(), ids[i]);
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            if (setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(2);
            for (int i = 0; ids[i] != 0; ++i) {
                if (ids[i] == 'q' || ids[i] == 'x') {
                    if (semget(keys[i], 2, IPC_CREAT | IPC_EXCL | 0666) == -1)
                        _exit(3);
                    continue;
                }
                unsigned size = ids[i] == 'p' ? QORWorkerPool::poolMgrSize(1) : 4096;
                int shm = shmget(keys[i], size, IPC_CREAT | IPC_EXCL | 0666);
                void* base = shm == -1 ? (void*)-1 : shmat(shm, nullptr, 0);
                if (base == (void*)-1)
                    _exit(4);
                if (ids[i] == 'p')
                    static_cast<QORPoolHeader*>(base)->numWorkers = 1;
            }
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    uid_t ownerOf(char id) const
    {
        key_t key = ftok(m_path.c_str(), id);
        shmid_ds info;
        int shm = shmget(key, 0, 0);
        return shm != -1 && shmctl(shm, IPC_STAT, &info) == 0 ? info.shm_perm.uid
                                                               : (uid_t)-1;
    }

    QORTraceTestLog m_log;
    QORTestIPCPath m_path{"trust"};
    QORSrvWorkerPool m_server;
    QORClntWorkerPool m_client;
};

#define SKIP_UNLESS_ROOT()                                                  \
    if (geteuid() != 0)                                                     \
    GTEST_SKIP() << "needs root to make objects as a second user (nobody)"

// An object open to others is refused, as is a key path others may write.
TEST_F(QORChannelTrustTest, OpenObjectsAreRefused)
{
    struct Case {
        char id;  // 0: the key path itself
        unsigned mode;
        const char* logLine;
    } cases[] = {
        {'p', 0666, "mode 666"},
        {'w', 0604, "mode 604"},
        {'q', 0662, "mode 662"},
        {'x', 0661, "mode 661"},
        {0, 0666, "writable by others"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id ? std::string(1, c.id) : std::string("path"));
        ASSERT_EQ(m_server.start(m_path.c_str(), 2, 512, nullptr), qor_s_ok);
        if (c.id != 0)
            setMode(c.id, c.mode);
        else
            ASSERT_EQ(chmod(m_path.c_str(), c.mode), 0);
        QORClntWorkerPool client;
        EXPECT_EQ(client.initialize(m_path.c_str()), qor_s_ipc_access);
        EXPECT_TRUE(logged(c.logLine));
        client.shutdown();
        ASSERT_EQ(chmod(m_path.c_str(), 0600), 0);
        ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    }
}

// Records are taken only when they name the worker set and numbers inside
// it; a record time of any value neither overflows nor keeps a lost worker.
TEST_F(QORChannelTrustTest, WorkerRecordsAreChecked)
{
    struct Case {
        const char* what;
        int32_t worker_info::*field;
        int32_t value;  // INT_MIN + 1: the worker set's ID plus one
        QORStatus expected;
    } cases[] = {
        {"other set", &worker_info::semId, INT_MIN + 1, qor_s_ipc_invalid_id},
        {"request number past the set", &worker_info::reqSemNum, 4, qor_s_ipc_bad_worker_buffer},
        {"negative result number", &worker_info::resSemNum, -1, qor_s_ipc_bad_worker_buffer},
        {"same number twice", &worker_info::resSemNum, 0, qor_s_ipc_bad_worker_buffer},
        {"in use since the earliest time", &worker_info::time, INT_MIN, qor_s_ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(m_server.start(m_path.c_str(), 2, 512, nullptr), qor_s_ok);
        QORClntWorkerPool client;
        ASSERT_EQ(client.initialize(m_path.c_str()), qor_s_ok);
        worker_info volatile* w = nullptr;
        ASSERT_EQ(m_server.getWorkerInfo(0, &w), qor_s_ok);
        w->*c.field = c.value == INT_MIN + 1 ? m_server.getWorkerSemId() + 1 : c.value;
        if (c.field == &worker_info::time)
            w->inUse = 1;
        QORClntWorkerBuffer* b = nullptr;
        EXPECT_EQ(client.getFreeWorker(&b), c.expected);
        if (b != nullptr) {
            EXPECT_EQ(b->getWorkerNum(), 0);
            client.replaceWorker(b);
        }
        client.shutdown();
        ASSERT_EQ(m_server.shutdown(), qor_s_ok);
    }
}

TEST_F(QORChannelTrustTest, ServerUserComesFromTheConfiguration)
{
    QORTestDir dir;
    struct Case {
        const char* text;
        QORStatus status;
        bool found;
        uid_t uid;
    } cases[] = {
        {"[dxweb-plugins]\nserver-user = 4242\n", qor_s_ok, true, 4242},
        {"[dxweb-plugins]\nserver-user = nobody\n", qor_s_ok, true, kNobody},
        {"[dxweb-plugins]\nserver-user = no-such-user-here\n", qor_s_ipc_access, false, 0},
        {"[dxweb-plugins]\nvirtual-host = a\n", qor_s_ok, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string path = dir.file("dxqor.conf");
        std::ofstream(path) << c.text;
        uid_t uid = 0;
        bool found = true;
        EXPECT_EQ(QORIPCOwner::configuredUid(path.c_str(), &uid, &found), c.status);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(uid, c.found ? c.uid : 0u);
    }
}

// Another user made all four objects while the server was down: the
// plug-in reads nothing of them.
TEST_F(QORChannelTrustTest, PluginRefusesAnotherUsersObjects)
{
    SKIP_UNLESS_ROOT();
    squat("pwqx");
    EXPECT_EQ(m_client.initialize(m_path.c_str()), qor_s_ipc_access);
    EXPECT_TRUE(logged("owner uid 65534"));
    EXPECT_EQ(m_path.countPoolObjects(), 4);
}

// Another user made the two segments before the server started: the server
// fails, naming them, and neither removes nor uses them.
TEST_F(QORChannelTrustTest, ServerRefusesAnotherUsersSegments)
{
    SKIP_UNLESS_ROOT();
    squat("pw");
    EXPECT_EQ(m_server.start(m_path.c_str(), 1, 512, nullptr), qor_s_ipc_exists);
    EXPECT_TRUE(logged("belongs to uid 65534"));
    EXPECT_EQ(ownerOf('p'), kNobody);
    EXPECT_EQ(ownerOf('w'), kNobody);
}

} // namespace
