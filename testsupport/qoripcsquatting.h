// qoripcsquatting.h: for tests of who may own the worker pool's SysV
// objects: making them as another user (the squatter), changing their mode
// and reading their owner, all by key from the pool's key path; and
// QORIPCLogTest, a fixture whose tests run under the IPC watchdog with the
// interface's log recorded.
#pragma once
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include "qortestlog.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qorworkerpool.h"
#include "qoripctesting.h"

class QORIPCLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(120);
        QORProxyIFLog::init(&m_log);
    }
    void TearDown() override
    {
        QORProxyIFLog::shutdown();
        qor_test_watchdog(0);
    }
    // Whether a line of the interface's log holds text.
    bool logged(const std::string& text) const
    {
        for (const std::string& t : m_log.texts())
            if (t.find(text) != std::string::npos)
                return true;
        return false;
    }

    QORTestLog m_log;
};

// Sets the mode of the pool object id ('p', 'w', 'q' or 'x') of path.
inline bool qor_test_set_ipc_mode(const char* path, char id, unsigned mode)
{
    key_t key = ftok(path, id);
    if (id == 'p' || id == 'w') {
        shmid_ds info;
        int shm = shmget(key, 0, 0);
        if (shm == -1 || shmctl(shm, IPC_STAT, &info) != 0)
            return false;
        info.shm_perm.mode = mode;
        return shmctl(shm, IPC_SET, &info) == 0;
    }
    semid_ds info;
    int sem = semget(key, 0, 0);
    if (sem == -1 || semctl(sem, 0, IPC_STAT, &info) != 0)
        return false;
    info.sem_perm.mode = mode;
    return semctl(sem, 0, IPC_SET, &info) == 0;
}

// The owner of segment id of path; (uid_t)-1 when there is none.
inline uid_t qor_test_segment_owner(const char* path, char id)
{
    shmid_ds info;
    int shm = shmget(ftok(path, id), 0, 0);
    return shm != -1 && shmctl(shm, IPC_STAT, &info) == 0 ? info.shm_perm.uid : (uid_t)-1;
}

// In a child running as uid (needs root): makes the pool objects named in
// ids at mode 0666, a pool manager segment with a plausible one-worker
// header, as a local user lying in wait for the server would. Their
// removal is the caller's (the key path's removal does it).
inline bool qor_test_squat(const char* path, const char* ids, uid_t uid)
{
    key_t keys[4];
    size_t count = strlen(ids) < 4 ? strlen(ids) : 4;
    for (size_t i = 0; i < count; ++i)
        keys[i] = ftok(path, ids[i]);
    pid_t child = fork();
    if (child == -1)
        return false;
    if (child == 0) {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(2);
        for (size_t i = 0; i < count; ++i) {
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
    return waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
