// qorsysvsharedmem.cpp: SysV shared-memory segments.
#include "proxyif/ipc/qorsysvsharedmem.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "proxyif/ipc/qoripcowner.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

QORSysVSharedMem::~QORSysVSharedMem() = default;

key_t QORSysVSharedMem::nameToKey(const char* name, char id)
{
    if (name == nullptr)
        return (key_t)-1;
    return ftok(name, id);
}

unsigned int QORSysVSharedMem::roundUpToPageSize(unsigned int n)
{
    unsigned int page = (unsigned int)getpagesize();
    unsigned int r = n % page;
    if (r == 0 || n > ~0u - (page - r))
        return n;
    return n + page - r;
}

QORStatus QORSysVSharedMem::create(const char* name, char id, unsigned int size)
{
    key_t key = nameToKey(name, id);
    if (key == (key_t)-1)
        return qor_s_ipc_key_failed;
    int segmentId = shmget(key, roundUpToPageSize(size), IPC_CREAT | IPC_EXCL | 0660);
    if (segmentId == -1)
        return QORSysVSemHelper::mapError(errno);
    QORStatus st = attach(segmentId);
    if (st != qor_s_ok) {
        // Nobody knows of the new segment yet: do not leave it behind.
        shmctl(segmentId, IPC_RMID, nullptr);
        return st;
    }
    m_size = size;
    return qor_s_ok;
}

QORStatus QORSysVSharedMem::attach(const char* name, char id)
{
    key_t key = nameToKey(name, id);
    if (key == (key_t)-1)
        return qor_s_ipc_key_failed;
    int segmentId = shmget(key, 0, 0660);
    if (segmentId == -1)
        return QORSysVSemHelper::mapError(errno);
    QORStatus st = attach(segmentId);
    // Removed since shmget (a server restarting): as if not made yet.
    return qor_ipc_object_gone(st) ? qor_s_ipc_no_segment : st;
}

QORStatus QORSysVSharedMem::attach(int segmentId)
{
    // Checked before shmat: not one byte of an untrusted segment is read.
    unsigned int checkedSize = 0;
    QORStatus st = QORIPCOwner::checkSegment(segmentId, m_owner, &checkedSize);
    if (st != qor_s_ok)
        return st;
    void* base = shmat(segmentId, nullptr, 0);
    if (base == (void*)-1) {
        int err = errno;
        QOR_PIF_LOG("Attach failed...\n");
        return QORSysVSemHelper::mapError(err);
    }
    if (m_base != nullptr)
        shmdt(m_base);
    m_base = base;
    m_segmentId = segmentId;
    m_mappedSize = checkedSize;
    return qor_s_ok;
}

QORStatus QORSysVSharedMem::detach()
{
    if (shmdt(m_base) == -1)
        return QORSysVSemHelper::mapError(errno);
    m_base = nullptr;
    m_mappedSize = 0;
    return qor_s_ok;
}

QORStatus QORSysVSharedMem::destroy()
{
    if (shmctl(m_segmentId, IPC_RMID, nullptr) == -1)
        return QORSysVSemHelper::mapError(errno);
    return qor_s_ok;
}
