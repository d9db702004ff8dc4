// qortestthreads.h: the number of threads of the test process, for tests
// that check that a component starts exactly the threads it should and
// stops them. Read from /proc, where an exited thread can stay visible a
// little after it was joined (notably under an emulator), so tests wait
// for a count rather than read it once.
#pragma once
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Threads of this process now, -1 when /proc cannot be read.
inline int qor_test_thread_count()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    int count = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "Threads:", 8) == 0)
            count = atoi(line + 8);
    fclose(f);
    return count;
}

// The count once it has stayed the same for 200 ms (at most 5 s): threads
// that earlier tests joined have gone by then.
inline int qor_test_settled_thread_count()
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int last = qor_test_thread_count();
    int same = 0;
    while (same < 4 && std::chrono::steady_clock::now() < end) {
        usleep(50000);
        int now = qor_test_thread_count();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

// Whether the count reaches expected within seconds.
inline bool qor_test_threads_reach(int expected, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (qor_test_thread_count() != expected) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        usleep(20000);
    }
    return true;
}
