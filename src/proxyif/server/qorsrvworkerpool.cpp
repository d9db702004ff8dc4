// qorsrvworkerpool.cpp: the server side of the worker pool.
#include "proxyif/server/qorsrvworkerpool.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/sem.h>
#include <unistd.h>

#include "core/threads/qorthread.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorsysvsemhelper.h"
#include "proxyif/ipc/qorworkerbuffer.h"

QORSrvQuestionHandler::~QORSrvQuestionHandler() = default;

QORSrvWorkerPool::QORSrvWorkerPool()
{
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0)
        return;
    if (pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
        pthread_cond_init(&m_stopCond, &attributes) == 0)
        m_stopCondReady = true;
    pthread_condattr_destroy(&attributes);
}

QORSrvWorkerPool::~QORSrvWorkerPool()
{
    (void)shutdown(); // a destructor has no one to tell
    if (m_stopCondReady)
        pthread_cond_destroy(&m_stopCond);
}

QORStatus QORSrvWorkerPool::start(const char* serverName, int numWorkers,
                                  unsigned int bufferSize,
                                  QORSrvQuestionHandler* handler)
{
    bufferSize = QORWorkerBuffer::round4(bufferSize);
    if (m_started || serverName == nullptr ||
        numWorkers <= 0 || bufferSize < sizeof(QORWorkerBufferHeader) ||
        (unsigned long long)numWorkers * bufferSize > 0x7FFFFFFFull ||
        !m_serverName.set(serverName, -1))
        return qor_s_ipc_bad_parameter;
    m_workers = new (std::nothrow) Worker[numWorkers];
    if (m_workers == nullptr)
        return qor_s_no_memory;
    for (int i = 0; i < numWorkers; ++i) {
        m_workers[i].pool = this;
        m_workers[i].index = i;
        m_workers[i].running = false;
        m_workers[i].generation = 0;
        m_workers[i].answered = 0;
        m_workers[i].busy = false;
    }
    m_handler = handler;
    m_numWorkers = numWorkers;
    m_bufferSize = bufferSize;
    m_poolMgrShmSize = poolMgrSize(numWorkers);
    m_workerShmSize = (unsigned int)numWorkers * bufferSize;
    m_started = true;
    cleanupPool(serverName);
    QORStatus st = createObjects();
    if (st == qor_s_ok)
        st = startThreads();
    if (st != qor_s_ok)
        (void)shutdown(); // st is what the caller hears
    return st;
}

// The pool manager and worker segments are filled in before the semaphore
// sets are made, the pool set last: a plug-in that finds the pool set
// finds everything else complete.
QORStatus QORSrvWorkerPool::createObjects()
{
    bool created;
    QORStatus st = initPoolMgrShm(true, false, &created);
    if (st != qor_s_ok)
        return st;
    QORPoolHeader volatile* h = m_header;
    h->version[0] = 1;
    h->version[1] = 0;
    size_t n = strlen(m_serverName.c_str());
    if (n >= sizeof h->serverName)
        n = sizeof h->serverName - 1;
    for (size_t i = 0; i < sizeof h->serverName; ++i)
        h->serverName[i] = i < n ? m_serverName.c_str()[i] : 0;
    h->lockHeld = 0;
    h->numWorkers = m_numWorkers;

    st = initWorkerShm(true, false, &created);
    if (st != qor_s_ok)
        return st;
    st = initWorkerSemaphores(true, false);
    if (st != qor_s_ok)
        return st;
    char* base = static_cast<char*>(m_workerShm.getBaseAddress());
    for (int i = 0; i < m_numWorkers; ++i) {
        worker_info volatile* w = m_workerInfo + i;
        w->workerNum = i;
        w->inUse = 0;
        w->reset = 0;
        w->time = 0;
        w->holderPid = 0;
        w->memStartOffset = (int32_t)(i * m_bufferSize);
        w->memSize = (int32_t)m_bufferSize;
        w->semId = m_workerSemId;
        w->reqSemNum = 2 * i;
        w->resSemNum = 2 * i + 1;
        int32_t num = i;
        memcpy(base + i * m_bufferSize, &num, sizeof num);
        m_stateList[i] = qor_worker_free;
    }
    st = initPoolSemaphores(true, false);
    if (st != qor_s_ok)
        return st;
    h->semId = m_poolSemId;
    h->lockNum = m_lockSemNum;
    h->semNum = m_poolSemNum;
    return qor_s_ok;
}

// The pool set goes first, so that plug-ins stop taking workers at once.
QORStatus QORSrvWorkerPool::removeObjects()
{
    QORStatus first = destroyPoolSemaphores();
    QORStatus st = destroyWorkerSemaphores();
    if (first == qor_s_ok)
        first = st;
    st = destroyWorkerShm();
    if (first == qor_s_ok)
        first = st;
    st = destroyPoolMgrShm();
    if (first == qor_s_ok)
        first = st;
    return first;
}

QORStatus QORSrvWorkerPool::startThreads()
{
    m_stop = false;
    if (m_handler == nullptr)
        return qor_s_ok;
    for (int i = 0; i < m_numWorkers; ++i) {
        int rc = qorthread_create(&m_workers[i].thread, nullptr, workerMain,
                                  &m_workers[i]);
        if (rc != 0) {
            stopThreads();
            return qor_s_thread_init_failed;
        }
        m_workers[i].running = true;
    }
    if (m_reclaimMs > 0 && m_stopCondReady) {
        if (qorthread_create(&m_reclaimThread, nullptr, reclaimMain, this) != 0) {
            stopThreads();
            return qor_s_thread_init_failed;
        }
        m_reclaiming = true;
    }
    m_serving = true;
    return qor_s_ok;
}

int QORSrvWorkerPool::busyWorkers() const
{
    int n = 0;
    for (int i = 0; m_workers != nullptr && i < m_numWorkers; ++i)
        n += m_workers[i].busy.load(std::memory_order_relaxed) ? 1 : 0;
    return n;
}

int QORSrvWorkerPool::waitingClients() const
{
    int semId = getPoolSemId();
    return semId == -1 ? -1 : semctl(semId, m_poolSemNum, GETNCNT);
}

void QORSrvWorkerPool::stopThreads()
{
    m_serving = false;
    {
        QORMutexLock lock(m_stopMutex);
        m_stop = true;
        if (m_stopCondReady)
            pthread_cond_broadcast(&m_stopCond);
    }
    if (m_reclaiming) {
        pthread_join(m_reclaimThread, nullptr);
        m_reclaiming = false;
    }
    // Wake the waiting workers now rather than at their next poll.
    for (int i = 0; i < m_numWorkers; ++i)
        if (m_workers[i].running)
            (void)QORSysVSemHelper::signal(m_workerSemId, 2 * i, 1); // they poll m_stop too
    for (int i = 0; i < m_numWorkers; ++i) {
        if (m_workers[i].running) {
            pthread_join(m_workers[i].thread, nullptr);
            m_workers[i].running = false;
        }
    }
}

void* QORSrvWorkerPool::workerMain(void* arg)
{
    Worker* w = static_cast<Worker*>(arg);
    w->pool->serve(*w);
    return nullptr;
}

void* QORSrvWorkerPool::reclaimMain(void* arg)
{
    QORSrvWorkerPool* pool = static_cast<QORSrvWorkerPool*>(arg);
    QORMutexLock lock(pool->m_stopMutex);
    while (!pool->m_stop) {
        timespec deadline = QORSysVSemHelper::deadlineIn(pool->m_reclaimMs);
        if (pthread_cond_timedwait(&pool->m_stopCond, &pool->m_stopMutex, &deadline) !=
                ETIMEDOUT ||
            pool->m_stop)
            continue;
        int freed = pool->reclaimWorkers();
        if (freed > 0)
            QOR_PIF_LLOG(0, "Reclaimed %d workers left by their holders\n", freed);
    }
    return nullptr;
}

void QORSrvWorkerPool::serve(Worker& worker)
{
    // stopThreads posts every request semaphore, so a plain wait (cheaper
    // than a timed one on the path of every question) ends in time.
    int semId = m_workerSemId;
    // This pool wrote the record, and rewrites it only after stopping the
    // threads: described once, the buffer serves every question. One that
    // does not fit the segment answers none.
    QORWorkerBuffer buffer;
    bool usable = buffer.initialize(m_workerInfo + worker.index, m_workerShm) == qor_s_ok;
    while (!m_stop) {
        QORStatus st = QORSysVSemHelper::wait(semId, 2 * worker.index, 1);
        if (m_stop)
            break;
        if (st == qor_s_ok) {
            if (!usable)
                continue;
            worker.busy = true;
            answer(worker, buffer);
            worker.busy = false;
        } else
            usleep(kPollMs * 1000);
    }
}

void QORSrvWorkerPool::answer(Worker& worker, QORWorkerBuffer& buffer)
{
    unsigned int generation = worker.generation;
    int32_t type = buffer.getHeaderField(offsetof(QORWorkerBufferHeader, requestType));
    int32_t length = buffer.getHeaderField(offsetof(QORWorkerBufferHeader, requestLength));
    int32_t resultStart = buffer.getHeaderField(offsetof(QORWorkerBufferHeader, resultStart));
    uint32_t start = buffer.requestStart();
    uint32_t end = buffer.bufferEnd();

    QORStatus st = qor_s_ok;
    if (length < 0 || (uint32_t)length > buffer.areaSize())
        st = qor_s_ipc_bad_parameter;
    // The answer goes where the plug-in said, when that lies behind the
    // question inside the buffer.
    uint32_t questionEnd = st == qor_s_ok ? start + (uint32_t)length : start;
    if (resultStart < 0 || (uint32_t)resultStart < questionEnd ||
        (uint32_t)resultStart > end || resultStart % 4 != 0)
        resultStart = (int32_t)QORWorkerBuffer::round4(questionEnd);
    if ((uint32_t)resultStart > end)
        resultStart = (int32_t)end;

    QORSharedMemIterator question;
    QORSharedMemAllocator reply;
    reply.initialize(m_workerShm, (uint32_t)resultStart, end - (uint32_t)resultStart);
    int answerType = 0;
    if (st == qor_s_ok)
        st = question.initialize(m_workerShm, start, (uint32_t)length);
    if (st == qor_s_ok)
        st = m_handler->handle(type, question, reply, &answerType);
    if (st != qor_s_ok) {
        reply.reset();
        answerType = 0;
        void* data;
        if (reply.allocate(sizeof(int32_t), &data) == qor_s_ok) {
            int32_t status = (int32_t)st;
            memcpy(data, &status, sizeof status);
        }
    }
    if (worker.generation != generation)
        return;
    buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultType), answerType);
    buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength),
                          (int32_t)reply.usedLength());
    buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultStart), resultStart);
    ++m_answered;
    ++worker.answered;
    // A client that misses the post gives up on its own wait.
    (void)QORSysVSemHelper::signal(m_workerSemId, 2 * worker.index + 1, 1);
}

template <class F>
QORStatus QORSrvWorkerPool::underLock(int worker, F op)
{
    if (!m_started || worker < 0 || worker >= m_numWorkers || m_header == nullptr)
        return qor_s_ipc_bad_parameter;
    QORStatus st = takePoolLock();
    if (st != qor_s_ok)
        return st;
    op(m_workerInfo + worker);
    return unlockPoolManager();
}

QORStatus QORSrvWorkerPool::resetWorker(int worker)
{
    QORStatus st = underLock(worker, [this, worker](worker_info volatile* w) {
        ++m_workers[worker].generation;
        w->reset = 1;
        w->time = (int32_t)time(nullptr);
    });
    if (st != qor_s_ok)
        return st;
    return QORSysVSemHelper::signal(m_workerSemId, 2 * worker + 1, 1);
}

QORStatus QORSrvWorkerPool::cleanWorker(int worker)
{
    return underLock(worker, [this, worker](worker_info volatile* w) {
        m_stateList[worker] = qor_worker_cleaned;
        w->time = (int32_t)time(nullptr);
    });
}

QORStatus QORSrvWorkerPool::freeWorker(int worker)
{
    return underLock(worker, [this, worker](worker_info volatile*) {
        m_stateList[worker] = qor_worker_free;
    });
}

int QORSrvWorkerPool::reclaimWorkers()
{
    if (!m_started || m_header == nullptr)
        return -1;
    if (takePoolLock() != qor_s_ok)
        return -1;
    int freed = 0;
    int32_t now = (int32_t)time(nullptr);
    for (int i = 0; i < m_numWorkers; ++i) {
        worker_info volatile* w = m_workerInfo + i;
        int state = m_stateList[i];
        int32_t pid = w->holderPid;
        bool gone = state == qor_worker_taken && pid > 0 && kill(pid, 0) == -1 &&
                    errno == ESRCH;
        if ((!gone && state != qor_worker_abandoned) || m_workers[i].busy)
            continue;
        // An answer begun after this is not written.
        ++m_workers[i].generation;
        // A set that cannot be written is gone, and the pool with it.
        (void)QORSysVSemHelper::setValue(m_workerSemId, 2 * i, 0);
        (void)QORSysVSemHelper::setValue(m_workerSemId, 2 * i + 1, 0);
        QOR_PIF_LLOG(0, "Freeing worker %d, %s by process %d\n", i,
                     gone ? "held" : "abandoned", (int)pid);
        w->inUse = 0;
        w->reset = 0;
        w->holderPid = 0;
        w->time = now;
        m_stateList[i] = qor_worker_free;
        ++freed;
    }
    return unlockPoolManager() == qor_s_ok ? freed : -1;
}

QORStatus QORSrvWorkerPool::restart()
{
    if (!m_started)
        return qor_s_ipc_bad_parameter;
    stopThreads();
    (void)removeObjects(); // best effort: the new objects are made afresh
    QORStatus st = createObjects();
    if (st == qor_s_ok)
        st = startThreads();
    return st;
}

QORStatus QORSrvWorkerPool::shutdown()
{
    if (!m_started)
        return qor_s_ok;
    stopThreads();
    QORStatus st = removeObjects();
    delete[] m_workers;
    m_workers = nullptr;
    m_handler = nullptr;
    m_started = false;
    return st;
}
