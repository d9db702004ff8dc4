// qorsysvsemhelper.h: QORSysVSemHelper, the operations on SysV semaphore
// sets that the worker pool and worker buffers use, and the translation of
// every failed shared-memory or semaphore call into a status.
#pragma once
#include <cerrno>
#include <sys/sem.h>
#include "core/system/qorstatus.h"
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

class QORSysVSemHelper {
public:
    // The status for a failed IPC call's errno:
    //   ENOENT 0x35f0220b   EINTR 0x35f0220f   EAGAIN 0x35f0220e
    //   ENOMEM 0x35f0220c   EACCES 0x35f02217  EEXIST 0x35f02209
    //   EINVAL 0x35f02210   EMFILE 0x35f02221  ENOSPC 0x35f0220d
    //   EIDRM 0x35f0220a    ERANGE 0x35f02607 (a value would pass its cap)
    //   anything else 0x35f02211
    static QORStatus mapError(int err);

    // A set ID of -1 stands for no set: setValue, destroySemSet and
    // doSemOps then succeed without a system call.
    static QORStatus setValue(int semId, unsigned int semNum, int value);
    static QORStatus getValue(int semId, unsigned int semNum, int* value);
    static QORStatus destroySemSet(int semId);
    // One semop with all of ops, atomic as a group. Inline: a question
    // makes several.
    static QORStatus doSemOps(int semId, const sembuf* ops, unsigned int count)
    {
        if (semId == -1)
            return qor_s_ok;
        syncOps(semId, ops, count, true);
        if (semop(semId, const_cast<sembuf*>(ops), count) == -1)
            return mapError(errno);
        syncOps(semId, ops, count, false);
        return qor_s_ok;
    }
    // The same, waiting no later than deadline (CLOCK_MONOTONIC): 0x35f0220e
    // once it has passed. An interruption gives 0x35f0220f, as doSemOps.
    static QORStatus doSemOpsUntil(int semId, const sembuf* ops, unsigned int count,
                                   const timespec& deadline);
    // The CLOCK_MONOTONIC time ms milliseconds from now.
    static timespec deadlineIn(unsigned int ms);
    // Adds count to semaphore semNum. Inline: every answer posts one.
    static QORStatus signal(int semId, unsigned int semNum, int count)
    {
        sembuf op = {(unsigned short)semNum, (short)count, 0};
        syncOps(semId, &op, 1, true);
        if (semop(semId, &op, 1) == -1)
            return mapError(errno);
        return qor_s_ok;
    }
    // Takes count from semaphore semNum, blocking without a time limit. An
    // interrupting signal is a cancellation point, then the wait goes on.
    static QORStatus wait(int semId, unsigned int semNum, int count);
    // As wait, for at most timeoutMs milliseconds: 0x35f0220e when the time
    // ran out. For the plug-in's bounded wait for an answer.
    static QORStatus timedWait(int semId, unsigned int semNum, int count,
                               unsigned int timeoutMs);

    // ThreadSanitizer does not know that the kernel orders the operations
    // on a semaphore, so threads of one process that hand shared records
    // over with semaphores (a server's workers, a plug-in's request threads)
    // look racy to it. Under it every operation is a release before and an
    // acquire after, on a stand-in address for each semaphore it names
    // (semaphores that share one synchronise more than they need to).
    // Elsewhere this is empty.
    static void syncOps(int semId, const sembuf* ops, unsigned int count, bool before)
    {
#if defined(__SANITIZE_THREAD__)
        static char stands[4096];
        for (unsigned int i = 0; i < count; i++) {
            char* at = &stands[((unsigned)semId * 31u + ops[i].sem_num) % sizeof stands];
            if (before)
                __tsan_release(at);
            else
                __tsan_acquire(at);
        }
#else
        (void)semId, (void)ops, (void)count, (void)before;
#endif
    }
};
