// qorbenchrounds.h: what the channel and core benchmarks share. A figure
// taken on a machine shared with other work means little alone, so each is
// measured in rounds against the floor of any exchange between two
// processes (a bare semaphore ping-pong), the two interleaved in one
// process, and printed as a ratio with its median and range over the
// rounds; both with every process free to run anywhere and with all of
// them pinned to one CPU.
#pragma once
#include <sys/types.h>
#include <functional>
#include <vector>

// Runs n operations; false when one failed.
typedef std::function<bool(long n)> QORBenchOp;

// Nanoseconds per operation over n operations; negative when one failed.
double qor_bench_ns_per_op(const QORBenchOp& op, long n);
// An n for which op runs for about targetMs milliseconds; 0 when it failed.
long qor_bench_calibrate(const QORBenchOp& op, double targetMs);
// Runs op(n) on each of threads threads at once and gives the operations
// per second of all together; negative when one failed.
double qor_bench_rate(const QORBenchOp& op, long n, int threads);
// The best of chunks such runs of n / chunks each.
double qor_bench_best_rate(const QORBenchOp& op, long n, int threads, int chunks);

// Pins every thread of process pid (0: this process) to cpu, or, with cpu
// -1, lets them run on every CPU again. False when one could not be moved.
bool qor_bench_pin(pid_t pid, int cpu);

// Prints "label: median M (range A-B, R rounds)" with unit after each
// number; sorts values.
void qor_bench_print(const char* label, std::vector<double>& values, const char* unit);

// The floor: a child process that answers each post of one semaphore by
// posting another, and run(n) making n round trips with it.
class QORBenchPingPong {
public:
    QORBenchPingPong() = default;
    ~QORBenchPingPong() { stop(); }
    QORBenchPingPong(const QORBenchPingPong&) = delete;
    QORBenchPingPong& operator=(const QORBenchPingPong&) = delete;

    bool start();
    // Removes the semaphores and reaps the child.
    void stop();
    bool run(long n);
    pid_t pid() const { return m_child; }
    // The set: semaphore 0 is posted to the child, 1 by it.
    int semId() const { return m_sem; }

private:
    int m_sem = -1;
    pid_t m_child = -1;
};

// Chunks per round: rounds alternate short chunks of the operation and the
// floor and keep the fastest of each.
extern const int qor_bench_chunks;

// One measured operation against the floor, rounds times, first with every
// process free and then with all on CPU 0: prints the ratio of each
// placement. pids are the other processes the operation talks to, pinned
// with this one and the ping-pong's child. False when a run failed.
bool qor_bench_ratio_rounds(const char* label, const QORBenchOp& op,
                            const std::vector<pid_t>& pids, int rounds);

// Rounds of op against base, both as they run now (pin first): each round
// alternates chunks of both and keeps the fastest of each. Appends op/base
// and the nanoseconds of each per operation. False when a run failed.
bool qor_bench_alternate(const QORBenchOp& op, const QORBenchOp& base, int rounds,
                         std::vector<double>* ratios, std::vector<double>* opNs,
                         std::vector<double>* baseNs);

// The median of values (sorted here); 0 for none.
double qor_bench_median(std::vector<double>& values);
