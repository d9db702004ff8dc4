// qorsysvsemhelper.cpp: semaphore operations and the IPC errno table.
#include "proxyif/ipc/qorsysvsemhelper.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "proxyif/ipc/qoripcstatus.h"

QORStatus QORSysVSemHelper::mapError(int err)
{
    switch (err) {
    case ENOENT: return qor_s_ipc_no_segment;
    case EINTR:  return qor_s_ipc_interrupted;
    case EAGAIN: return qor_s_ipc_would_block;
    case ENOMEM: return qor_s_ipc_no_memory;
    case EACCES: return qor_s_ipc_access;
    case EEXIST: return qor_s_ipc_exists;
    case EINVAL: return qor_s_ipc_invalid_id;
    case EMFILE: return qor_s_ipc_too_many_segments;
    case ENOSPC: return qor_s_ipc_limit;
    case EIDRM:  return qor_s_ipc_removed;
    case ERANGE: return qor_s_out_of_range;
    default:     return qor_s_ipc_internal;
    }
}

QORStatus QORSysVSemHelper::setValue(int semId, unsigned int semNum, int value)
{
    if (semId == -1)
        return qor_s_ok;
    const sembuf op = {(unsigned short)semNum, 0, 0};
    syncOps(semId, &op, 1, true);
    if (semctl(semId, semNum, SETVAL, value) == -1)
        return mapError(errno);
    return qor_s_ok;
}

QORStatus QORSysVSemHelper::getValue(int semId, unsigned int semNum, int* value)
{
    int v = semctl(semId, semNum, GETVAL);
    if (v == -1)
        return mapError(errno);
    const sembuf op = {(unsigned short)semNum, 0, 0};
    syncOps(semId, &op, 1, false);
    *value = v;
    return qor_s_ok;
}

QORStatus QORSysVSemHelper::destroySemSet(int semId)
{
    if (semId == -1)
        return qor_s_ok;
    if (semctl(semId, 0, IPC_RMID) == -1)
        return mapError(errno);
    return qor_s_ok;
}

QORStatus QORSysVSemHelper::wait(int semId, unsigned int semNum, int count)
{
    sembuf op = {(unsigned short)semNum, (short)-count, 0};
    syncOps(semId, &op, 1, true);
    while (semop(semId, &op, 1) == -1) {
        if (errno != EINTR)
            return mapError(errno);
        pthread_testcancel();
    }
    syncOps(semId, &op, 1, false);
    return qor_s_ok;
}

timespec QORSysVSemHelper::deadlineIn(unsigned int ms)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

QORStatus QORSysVSemHelper::doSemOpsUntil(int semId, const sembuf* ops,
                                          unsigned int count,
                                          const timespec& deadline)
{
    timespec now, left;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec--;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0)
        return qor_s_ipc_would_block;
    syncOps(semId, ops, count, true);
    if (semtimedop(semId, const_cast<sembuf*>(ops), count, &left) == -1)
        return mapError(errno);
    syncOps(semId, ops, count, false);
    return qor_s_ok;
}

QORStatus QORSysVSemHelper::timedWait(int semId, unsigned int semNum,
                                      int count, unsigned int timeoutMs)
{
    sembuf op = {(unsigned short)semNum, (short)-count, 0};
    timespec deadline = deadlineIn(timeoutMs);
    for (;;) {
        QORStatus st = doSemOpsUntil(semId, &op, 1, deadline);
        if (st != qor_s_ipc_interrupted)
            return st;
        pthread_testcancel();
    }
}
