// qortsansem.cpp: in ThreadSanitizer builds only, tells the race detector
// what SysV semaphores order. The channel to the authorization server hands
// worker records and buffers from thread to thread through semop (the pool
// lock, the pool semaphore, a worker's request and result semaphores), which
// the detector does not know as synchronisation; without this every such
// hand-over would be reported as a race.
//
// The test programs define semop and semtimedop themselves, so that the
// library's calls come here: each operation releases the semaphore's
// synchronisation point before the call and acquires it after a successful
// one, which orders any two operations on the same semaphore as the kernel
// does.
#if defined(__SANITIZE_THREAD__)
#include <dlfcn.h>
#include <sys/sem.h>
#include <time.h>
#include <cstddef>

extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

namespace {

const unsigned kPoints = 4096;
char g_points[kPoints];

void* pointOf(int semId, unsigned short semNum)
{
    unsigned h = static_cast<unsigned>(semId) * 2654435761u + semNum * 40503u;
    return &g_points[h % kPoints];
}

typedef int (*semtimedop_fn)(int, struct sembuf*, size_t, const struct timespec*);

semtimedop_fn realSemtimedop()
{
    static semtimedop_fn real =
        reinterpret_cast<semtimedop_fn>(dlsym(RTLD_NEXT, "semtimedop"));
    return real;
}

int orderedSemop(int semId, struct sembuf* ops, size_t count, const struct timespec* timeout)
{
    for (size_t i = 0; i < count; i++)
        __tsan_release(pointOf(semId, ops[i].sem_num));
    int rc = realSemtimedop()(semId, ops, count, timeout);
    if (rc == 0)
        for (size_t i = 0; i < count; i++)
            __tsan_acquire(pointOf(semId, ops[i].sem_num));
    return rc;
}

} // namespace

extern "C" int semop(int semId, struct sembuf* ops, size_t count)
{
    return orderedSemop(semId, ops, count, nullptr);
}

extern "C" int semtimedop(int semId, struct sembuf* ops, size_t count,
                          const struct timespec* timeout)
{
    return orderedSemop(semId, ops, count, timeout);
}
#endif
