// qoripcowner.cpp: ownership checks on the channel's IPC objects.
#include "proxyif/ipc/qoripcowner.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/buffers/qorstring.h"
#include "core/file/qorstanza.h"
#include "core/system/qorinstallpath.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

namespace {

const char kConfigFile[] = "dxqor.conf";
const char kGlobalStanza[] = "dxweb-plugins";
const char kServerUserEntry[] = "server-user";

// A user name or a decimal uid.
bool lookUpUser(const char* value, uid_t* uid)
{
    if (value == nullptr || *value == 0)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long n = strtoul(value, &end, 10);
    if (*value >= '0' && *value <= '9' && *end == 0 && errno == 0 &&
        n < (unsigned long)QORIPCOwner::kUnchecked) {
        *uid = (uid_t)n;
        return true;
    }
    passwd pw;
    passwd* found = nullptr;
    char buf[1024];
    if (getpwnam_r(value, &pw, buf, sizeof buf, &found) != 0 || found == nullptr)
        return false;
    *uid = pw.pw_uid;
    return true;
}

} // namespace

QORStatus QORIPCOwner::configuredUid(const char* path, uid_t* uid, bool* found)
{
    *found = false;
    // Most installations have no such file; opening one reports its absence.
    struct stat info;
    if (stat(path, &info) != 0 && errno == ENOENT)
        return qor_s_ok;
    QORStatus st = qor_s_ok;
    qorStanzaFile* file = qorStzFileOpen(path, QOR_STZ_READ_ONLY, &st);
    if (file == nullptr)
        return qor_s_ok;
    if (qorStzMoveStanza(file, kGlobalStanza) &&
        qorStzMoveEntryInStanza(file, kServerUserEntry)) {
        if (lookUpUser(file->value, uid)) {
            *found = true;
        } else {
            QOR_PIF_LLOG(0, "Unknown %s \"%s\" in %s\n", kServerUserEntry,
                         file->value != nullptr ? file->value : "", path);
            st = qor_s_ipc_access;
        }
    }
    qorStzFileClose(file);
    return st;
}

QORStatus QORIPCOwner::serverUid(const char* serverName, uid_t* uid)
{
    const char* dir = nullptr;
    if (qor_install_path(qor_path_etc, &dir) == qor_s_ok) {
        QORLCPString path(dir);
        if (!path.append(kConfigFile, -1))
            return qor_s_no_memory;
        bool found = false;
        QORStatus st = configuredUid(path.c_str(), uid, &found);
        if (st != qor_s_ok || found)
            return st;
    }
    struct stat info;
    if (serverName == nullptr || stat(serverName, &info) != 0)
        return qor_s_ipc_no_segment;
    if ((info.st_mode & S_IWOTH) != 0) {
        QOR_PIF_LLOG(0, "Server name %s is writable by others (mode %o): "
                        "its IPC objects are not trusted\n",
                     serverName, (unsigned)(info.st_mode & 07777));
        return qor_s_ipc_access;
    }
    *uid = info.st_uid;
    return qor_s_ok;
}

QORStatus QORIPCOwner::checkPerm(const ipc_perm& perm, uid_t expected,
                                 const char* what)
{
    if (expected == kUnchecked)
        return qor_s_ok;
    if (perm.cuid == expected && perm.uid == expected && (perm.mode & 07) == 0)
        return qor_s_ok;
    QOR_PIF_LLOG(0, "Untrusted %s (key %#x): creator uid %u, owner uid %u, "
                    "mode %o; expected uid %u and no access for others\n",
                 what, (unsigned)perm.__key, (unsigned)perm.cuid,
                 (unsigned)perm.uid, (unsigned)(perm.mode & 0777),
                 (unsigned)expected);
    return qor_s_ipc_access;
}

QORStatus QORIPCOwner::checkSegment(int shmId, uid_t expected, unsigned int* size)
{
    shmid_ds info;
    if (shmctl(shmId, IPC_STAT, &info) != 0)
        return QORSysVSemHelper::mapError(errno);
    *size = (unsigned int)info.shm_segsz;
    return checkPerm(info.shm_perm, expected, "shared memory segment");
}

QORStatus QORIPCOwner::checkSemSet(int semId, uid_t expected, unsigned int* count)
{
    semid_ds info;
    if (semctl(semId, 0, IPC_STAT, &info) != 0)
        return QORSysVSemHelper::mapError(errno);
    *count = (unsigned int)info.sem_nsems;
    return checkPerm(info.sem_perm, expected, "semaphore set");
}

QORStatus QORIPCOwner::removeOwnStale(key_t key, bool semaphores)
{
    int id = semaphores ? semget(key, 0, 0) : shmget(key, 0, 0);
    if (id == -1)
        return QORSysVSemHelper::mapError(errno);
    ipc_perm perm;
    if (semaphores) {
        semid_ds info;
        if (semctl(id, 0, IPC_STAT, &info) != 0)
            return QORSysVSemHelper::mapError(errno);
        perm = info.sem_perm;
    } else {
        shmid_ds info;
        if (shmctl(id, IPC_STAT, &info) != 0)
            return QORSysVSemHelper::mapError(errno);
        perm = info.shm_perm;
    }
    uid_t self = geteuid();
    if (perm.uid != self || perm.cuid != self) {
        QOR_PIF_LLOG(0, "The %s of key %#x belongs to uid %u (created by uid %u), "
                        "not to this server (uid %u): not used\n",
                     semaphores ? "semaphore set" : "shared memory segment",
                     (unsigned)key, (unsigned)perm.uid, (unsigned)perm.cuid,
                     (unsigned)self);
        return qor_s_ipc_exists;
    }
    QOR_PIF_LLOG(0, "Removing the %s of key %#x left by an earlier server\n",
                 semaphores ? "semaphore set" : "shared memory segment",
                 (unsigned)key);
    int rc = semaphores ? semctl(id, 0, IPC_RMID) : shmctl(id, IPC_RMID, nullptr);
    if (rc != 0 && errno != EINVAL && errno != EIDRM)
        return QORSysVSemHelper::mapError(errno);
    return qor_s_ok;
}
