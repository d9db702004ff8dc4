// qorbenchrounds.cpp: rounds, ratios, pinning and the ping-pong floor.
#include "qorbenchrounds.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

double nowNs()
{
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool pinThread(pid_t tid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) {
        CPU_SET(cpu, &set);
    } else {
        long n = sysconf(_SC_NPROCESSORS_CONF);
        for (long i = 0; i < n && i < CPU_SETSIZE; i++)
            CPU_SET(i, &set);
    }
    return sched_setaffinity(tid, sizeof set, &set) == 0;
}

} // namespace

const int qor_bench_chunks = 8;

double qor_bench_ns_per_op(const QORBenchOp& op, long n)
{
    double start = nowNs();
    if (!op(n))
        return -1;
    return (nowNs() - start) / static_cast<double>(n);
}

long qor_bench_calibrate(const QORBenchOp& op, double targetMs)
{
    long n = 100;
    for (;;) {
        double ns = qor_bench_ns_per_op(op, n);
        if (ns < 0)
            return 0;
        if (ns * n >= targetMs * 1e6 / 4 || n > (1L << 28))
            return std::max(100L, static_cast<long>(targetMs * 1e6 / ns));
        n *= 4;
    }
}

double qor_bench_rate(const QORBenchOp& op, long n, int threads)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false}, failed{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; i++) {
        workers.emplace_back([&] {
            ready++;
            while (!go)
                std::this_thread::yield();
            if (!op(n))
                failed = true;
        });
    }
    while (ready < threads)
        std::this_thread::yield();
    double start = nowNs();
    go = true;
    for (std::thread& t : workers)
        t.join();
    double elapsed = nowNs() - start;
    return failed ? -1 : static_cast<double>(n) * threads / (elapsed * 1e-9);
}

double qor_bench_best_rate(const QORBenchOp& op, long n, int threads, int chunks)
{
    double best = 0;
    for (int c = 0; c < chunks; c++) {
        double rate = qor_bench_rate(op, n / chunks + 1, threads);
        if (rate < 0)
            return rate;
        best = rate > best ? rate : best;
    }
    return best;
}

bool qor_bench_pin(pid_t pid, int cpu)
{
    std::string dir = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool ok = true;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ok = pinThread(static_cast<pid_t>(atoi(e->d_name)), cpu) && ok;
    }
    closedir(d);
    return ok;
}

void qor_bench_print(const char* label, std::vector<double>& values, const char* unit)
{
    if (values.empty()) {
        printf("%s: no rounds\n", label);
        return;
    }
    double median = qor_bench_median(values);
    printf("%s: median %.2f%s (range %.2f-%.2f%s, %zu rounds)\n", label, median, unit,
           values.front(), values.back(), unit, values.size());
    fflush(stdout);
}

bool QORBenchPingPong::start()
{
    m_sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
    if (m_sem == -1)
        return false;
    m_child = fork();
    if (m_child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct sembuf wait = {0, -1, 0}, post = {1, 1, 0};
        // Ends when the set is removed under it.
        while (semop(m_sem, &wait, 1) == 0 && semop(m_sem, &post, 1) == 0) {
        }
        _exit(0);
    }
    return m_child > 0;
}

void QORBenchPingPong::stop()
{
    if (m_sem != -1)
        semctl(m_sem, 0, IPC_RMID);
    m_sem = -1;
    if (m_child > 0) {
        kill(m_child, SIGKILL);
        waitpid(m_child, nullptr, 0);
    }
    m_child = -1;
}

bool QORBenchPingPong::run(long n)
{
    struct sembuf post = {0, 1, 0}, wait = {1, -1, 0};
    for (long i = 0; i < n; i++) {
        if (semop(m_sem, &post, 1) != 0 || semop(m_sem, &wait, 1) != 0)
            return false;
    }
    return true;
}

bool qor_bench_alternate(const QORBenchOp& op, const QORBenchOp& base, int rounds,
                         std::vector<double>* ratios, std::vector<double>* opNs,
                         std::vector<double>* baseNs)
{
    // Each round alternates short chunks of both and keeps the fastest
    // chunk of each: on a machine shared with other work, a slow chunk is
    // one that was preempted, not one that measures the code.
    long baseN = qor_bench_calibrate(base, 100) / qor_bench_chunks + 1;
    long opN = qor_bench_calibrate(op, 100) / qor_bench_chunks + 1;
    if (baseN <= 0 || opN <= 0)
        return false;
    for (int r = 0; r < rounds; r++) {
        double b = 0, o = 0;
        for (int c = 0; c < qor_bench_chunks; c++) {
            double bc = qor_bench_ns_per_op(base, baseN);
            double oc = qor_bench_ns_per_op(op, opN);
            if (bc <= 0 || oc <= 0)
                return false;
            b = c == 0 || bc < b ? bc : b;
            o = c == 0 || oc < o ? oc : o;
        }
        ratios->push_back(o / b);
        opNs->push_back(o / 1000);
        baseNs->push_back(b / 1000);
    }
    return true;
}

double qor_bench_median(std::vector<double>& values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool qor_bench_ratio_rounds(const char* label, const QORBenchOp& op,
                            const std::vector<pid_t>& pids, int rounds)
{
    QORBenchPingPong floor;
    if (!floor.start())
        return false;
    QORBenchOp bare = [&](long n) { return floor.run(n); };
    bool ok = true;
    const int placements[] = {-1, 0};
    for (int cpu : placements) {
        std::vector<pid_t> all(pids);
        all.push_back(0);
        all.push_back(floor.pid());
        for (pid_t p : all)
            ok = qor_bench_pin(p, cpu) && ok;
        std::vector<double> ratios, opNs, bareNs;
        ok = qor_bench_alternate(op, bare, rounds, &ratios, &opNs, &bareNs) && ok;
        std::string where = cpu < 0 ? " (unpinned)" : " (all on one CPU)";
        std::string line = std::string(label) + " / bare ping-pong" + where;
        qor_bench_print(line.c_str(), ratios, "x");
        qor_bench_print(("  " + std::string(label) + where).c_str(), opNs, " us");
        qor_bench_print(("  bare ping-pong" + where).c_str(), bareNs, " us");
    }
    for (pid_t p : pids)
        qor_bench_pin(p, -1);
    qor_bench_pin(0, -1);
    floor.stop();
    return ok;
}
