// qorsrvworkerpool.h: QORSrvWorkerPool, the authorization server's side of
// the worker pool. It creates the four IPC objects for a number of workers
// of a given buffer size, runs one thread per worker that answers the
// questions the plug-in posts through a QORSrvQuestionHandler, and can
// reset or clean a worker, recreate every object (as a restarted server
// does) and remove everything.
#pragma once
#include <atomic>
#include <pthread.h>
#include "proxyif/ipc/qorworkerpool.h"
#include "proxyif/server/qorsrvquestionhandler.h"

class QORWorkerBuffer;

class QORSrvWorkerPool : public QORWorkerPool {
public:
    // How long a worker thread whose semaphore set failed waits before it
    // looks again whether it is to stop.
    static const unsigned int kPollMs = 200;
    // How often the pool frees workers that their holders left (see
    // reclaimWorkers), unless setReclaimInterval says otherwise.
    static const unsigned int kReclaimMs = 1000;

    QORSrvWorkerPool();
    // Stops the threads and removes the objects, as shutdown.
    ~QORSrvWorkerPool() override;

    // Removes what a previous server of that name left, creates the objects
    // for numWorkers workers of bufferSize bytes (header included; rounded
    // up to a multiple of 4) and starts the workers. The handler must
    // outlive the pool. Without a handler no worker runs: the caller answers
    // on the buffers itself. 0x35f02203 for a bad argument or a second start.
    QORStatus start(const char* serverName, int numWorkers,
                    unsigned int bufferSize, QORSrvQuestionHandler* handler);

    // Under the pool lock: sets the worker's reset flag and time and posts
    // its result, so that the plug-in thread waiting on it retries. An
    // answer the worker's thread is still working on is dropped.
    QORStatus resetWorker(int worker);
    // Under the pool lock: the worker becomes CLEANED (never taken again
    // until freed) and its record's time is set.
    QORStatus cleanWorker(int worker);
    // Under the pool lock: the worker becomes FREE.
    QORStatus freeWorker(int worker);
    // Under the pool lock: frees every worker left by its holder, that is
    // TAKEN by a process that no longer exists, or ABANDONED by a holder
    // that stopped waiting for its answer, once no answer to it is being
    // worked on. Both its semaphores are cleared, so that nothing of the
    // old question reaches the next. The pool semaphore is not signalled:
    // the kernel gave a dead holder's count back, and an abandoning holder
    // gave it back itself. Returns the number of workers freed, or -1 when
    // the lock could not be taken.
    int reclaimWorkers();
    // Milliseconds between two reclaimWorkers runs of a pool with worker
    // threads; 0 for none. Takes effect at the next start or restart.
    void setReclaimInterval(unsigned int ms) { m_reclaimMs = ms; }

    // Stops the workers, removes every object and makes them again, empty,
    // as a restarted server does.
    QORStatus restart();
    // Stops the workers and removes every object. Safe to call again.
    QORStatus shutdown();

    // Questions answered so far, by all workers or by one.
    unsigned long answered() const { return m_answered.load(); }
    unsigned long answered(int worker) const
    {
        return worker >= 0 && worker < m_numWorkers && m_workers != nullptr
                   ? m_workers[worker].answered.load()
                   : 0;
    }

    // For monitoring, from any thread. REQUIRES: no start or shutdown runs
    // meanwhile. Whether the worker threads run (started, not stopped).
    bool serving() const { return m_serving.load(std::memory_order_relaxed); }
    // Worker threads answering a question now.
    int busyWorkers() const;
    // Plug-in threads (in any process) waiting for a free worker; -1 when
    // the pool semaphore cannot be asked.
    int waitingClients() const;

private:
    struct Worker {
        QORSrvWorkerPool* pool;
        int index;
        pthread_t thread;
        bool running;
        // Moved on by a reset, so that a late answer is not written.
        std::atomic<unsigned int> generation;
        std::atomic<unsigned long> answered;
        // True while the worker's thread answers a question.
        std::atomic<bool> busy;
    };

    QORStatus createObjects();
    QORStatus removeObjects();
    QORStatus startThreads();
    void stopThreads();
    static void* workerMain(void* arg);
    static void* reclaimMain(void* arg);
    void serve(Worker& worker);
    void answer(Worker& worker, QORWorkerBuffer& buffer);
    // Runs op on worker's state and record under the pool lock.
    template <class F>
    QORStatus underLock(int worker, F op);

    QORSrvQuestionHandler* m_handler = nullptr;
    unsigned int m_bufferSize = 0;
    Worker* m_workers = nullptr;
    bool m_started = false;
    std::atomic<bool> m_stop{false};
    unsigned int m_reclaimMs = kReclaimMs;
    bool m_reclaiming = false;
    pthread_t m_reclaimThread;
    // The reclaim thread sleeps on these, so that a stop wakes it at once.
    pthread_mutex_t m_stopMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_stopCond;
    bool m_stopCondReady = false;
    std::atomic<unsigned long> m_answered{0};
    std::atomic<bool> m_serving{false};
};
