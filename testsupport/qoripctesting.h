// qoripctesting.h: for tests and benchmarks that make the worker pool's SysV
// objects. QORTestIPCPath is a key path of its own (a file under
// $DXQOR_TEST_TMPDIR) whose objects are removed when it goes, and the
// watchdog bounds a test that could block: when it fires it removes the
// objects of every live path, kills the registered child processes and ends
// the process, so that neither a hang nor a stray object outlives a run.
#pragma once
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor_ipc_testing {

const int kMaxPaths = 16;
const int kMaxChildren = 64;
const size_t kPathSize = 256;

inline char g_paths[kMaxPaths][kPathSize];
inline volatile sig_atomic_t g_pathUsed[kMaxPaths];
inline volatile pid_t g_children[kMaxChildren];

// Removes the pool objects ('p', 'w', 'q', 'x') of path with bare system
// calls, so that a signal handler may run it; returns how many it found.
inline int removePoolObjects(const char* path)
{
    int found = 0;
    for (char id : {'w', 'p'}) {
        key_t key = ftok(path, id);
        int shm = key == (key_t)-1 ? -1 : shmget(key, 0, 0);
        if (shm != -1 && shmctl(shm, IPC_RMID, nullptr) == 0)
            ++found;
    }
    for (char id : {'q', 'x'}) {
        key_t key = ftok(path, id);
        int sem = key == (key_t)-1 ? -1 : semget(key, 0, 0);
        if (sem != -1 && semctl(sem, 0, IPC_RMID) == 0)
            ++found;
    }
    return found;
}

inline void onWatchdog(int)
{
    for (int i = 0; i < kMaxChildren; ++i)
        if (g_children[i] > 0)
            kill(g_children[i], SIGKILL);
    for (int i = 0; i < kMaxPaths; ++i)
        if (g_pathUsed[i])
            removePoolObjects(g_paths[i]);
    static const char msg[] = "ipc test stopped: objects removed, children killed\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
    _exit(3);
}

} // namespace qor_ipc_testing

// A key path unique to this process and tag. Its pool objects are removed
// when it is destroyed, and by the watchdog.
class QORTestIPCPath {
public:
    explicit QORTestIPCPath(const char* tag)
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        std::string dir = base && *base ? base : "/tmp";
        mkdir(dir.c_str(), 0700);
        // ftok keeps only part of the inode number, so a new file may share
        // keys with objects someone else uses: those files are passed over
        // (and kept until the end, so that the next file gets a new inode).
        static int serial = 0;
        std::string taken[8];
        for (int attempt = 0;; ++attempt) {
            m_path = dir + "/ipc-" + tag + "-" + std::to_string(getpid()) + "-" +
                     std::to_string(++serial);
            int fd = open(m_path.c_str(), O_CREAT | O_WRONLY, 0600);
            if (fd >= 0)
                close(fd);
            if (countPoolObjects() == 0 || attempt == 7)
                break;
            taken[attempt] = m_path;
        }
        for (const std::string& t : taken)
            if (!t.empty())
                unlink(t.c_str());
        using namespace qor_ipc_testing;
        for (int i = 0; i < kMaxPaths; ++i) {
            if (!g_pathUsed[i] && m_path.size() < kPathSize) {
                strcpy(g_paths[i], m_path.c_str());
                g_pathUsed[i] = 1;
                m_slot = i;
                break;
            }
        }
    }
    ~QORTestIPCPath()
    {
        qor_ipc_testing::removePoolObjects(m_path.c_str());
        if (m_slot >= 0)
            qor_ipc_testing::g_pathUsed[m_slot] = 0;
        unlink(m_path.c_str());
        // A server killed leaves its decision board beside the path.
        unlink((m_path + ".decisions").c_str());
    }
    QORTestIPCPath(const QORTestIPCPath&) = delete;
    QORTestIPCPath& operator=(const QORTestIPCPath&) = delete;

    const char* c_str() const { return m_path.c_str(); }
    // How many of the pool's four objects exist (they are left in place).
    int countPoolObjects() const
    {
        int n = 0;
        for (char id : {'w', 'p'}) {
            key_t key = ftok(m_path.c_str(), id);
            if (key != (key_t)-1 && shmget(key, 0, 0) != -1)
                ++n;
        }
        for (char id : {'q', 'x'}) {
            key_t key = ftok(m_path.c_str(), id);
            if (key != (key_t)-1 && semget(key, 0, 0) != -1)
                ++n;
        }
        return n;
    }

private:
    std::string m_path;
    int m_slot = -1;
};

// Arms (seconds > 0) or disarms (0) the watchdog of this process.
inline void qor_test_watchdog(unsigned seconds)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = qor_ipc_testing::onWatchdog;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(seconds);
}

// Interruption (SIGINT, SIGTERM, SIGHUP) cleans up as the watchdog does.
inline void qor_test_cleanup_on_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = qor_ipc_testing::onWatchdog;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

// Children the watchdog kills; unregister once waited for.
inline void qor_test_register_child(pid_t pid)
{
    for (int i = 0; i < qor_ipc_testing::kMaxChildren; ++i)
        if (qor_ipc_testing::g_children[i] <= 0) {
            qor_ipc_testing::g_children[i] = pid;
            return;
        }
}

inline void qor_test_unregister_child(pid_t pid)
{
    for (int i = 0; i < qor_ipc_testing::kMaxChildren; ++i)
        if (qor_ipc_testing::g_children[i] == pid)
            qor_ipc_testing::g_children[i] = 0;
}
