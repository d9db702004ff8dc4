// qorproxyifdispatcher.cpp: the dispatcher and the channel's class-wide
// caching allocators.
#include "proxyif/framework/qorproxyifdispatcher.h"

#include <cstddef>
#include <new>

#include "core/memory/qorblockallocator.h"
#include "core/memory/qorcachingallocator.h"
#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"
#include "proxyif/framework/qorerrormessage.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qorclntworkerbuffer.h"
#include "proxyif/ipc/qorclntworkerpool.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

// The caching allocators, shared by every dispatcher of the process and
// counted by them: the first initialize creates them, the last shutdown
// destroys them.
enum { kShmAllocators, kShmIterators, kWorkerBuffers, kErrorMessages, kKinds };

struct AllocatorKind {
    unsigned memoryType;
    unsigned blockSize;
};

// Room for one object plus the allocator word QORAllocated keeps before it.
const unsigned kObjectHeader = alignof(max_align_t);
const AllocatorKind kAllocatorKinds[kKinds] = {
    {0x35f02f85, sizeof(QORSharedMemAllocator) + kObjectHeader},
    {0x35f02f86, sizeof(QORSharedMemIterator) + kObjectHeader},
    {0x35f02f87, sizeof(QORClntWorkerBuffer) + kObjectHeader},
    {0x35f02f88, sizeof(QORErrorMessage) + kObjectHeader},
};
const unsigned kInitialBlocks = 100;

pthread_mutex_t s_allocatorMutex = PTHREAD_MUTEX_INITIALIZER;
QORCachingAllocator* s_allocators[kKinds];
int s_allocatorRefs = 0;

void installAllocators()
{
    QORProxyIFAllocators::install(s_allocators[kShmAllocators],
                                  s_allocators[kShmIterators],
                                  s_allocators[kWorkerBuffers]);
    QORErrorMessage::setAllocator(s_allocators[kErrorMessages]);
}

void destroyAllocators()
{
    for (QORCachingAllocator*& a : s_allocators) {
        delete a;
        a = nullptr;
    }
}

QORStatus acquireAllocators()
{
    QORMutexLock lock(s_allocatorMutex);
    if (s_allocatorRefs > 0) {
        s_allocatorRefs++;
        return qor_s_ok;
    }
    for (int i = 0; i < kKinds; i++) {
        s_allocators[i] = new (std::nothrow) QORCachingAllocator;
        QORStatus st = s_allocators[i] == nullptr
                           ? qor_s_no_memory
                           : s_allocators[i]->initialize(
                                 kAllocatorKinds[i].memoryType,
                                 QOR_ALLOC_GROW | QOR_ALLOC_CHECK_EMPTY, nullptr,
                                 kInitialBlocks, kAllocatorKinds[i].blockSize);
        if (st != qor_s_ok) {
            destroyAllocators();
            return st;
        }
        // Each question takes and gives back an object of every kind but
        // the worker buffers: a thread mostly reuses its own.
        s_allocators[i]->enableThreadCache(kAllocatorKinds[i].blockSize);
    }
    installAllocators();
    s_allocatorRefs = 1;
    return qor_s_ok;
}

void releaseAllocators()
{
    QORMutexLock lock(s_allocatorMutex);
    QOR_ASSERT(s_allocatorRefs > 0);
    if (--s_allocatorRefs > 0)
        return;
    QORProxyIFAllocators::install(nullptr, nullptr, nullptr);
    QORErrorMessage::setAllocator(nullptr);
    destroyAllocators();
    // The interface traces no more in this process.
    QORProxyIFLog::shutdown();
}

// A worker this thread holds. Given back when the exchange ended; left to
// the server (abandoned) when its answer may still come: the wait ran out,
// or the thread was cancelled in it.
struct HeldWorker {
    explicit HeldWorker(QORClntWorkerPool& p) : pool(p) {}
    ~HeldWorker()
    {
        if (buffer == nullptr)
            return;
        QORStatus st = pool.abandonWorker(buffer);
        if (st != qor_s_ok)
            QOR_PIF_LOG("Abandoning the worker failed: %#x\n", st);
    }
    HeldWorker(const HeldWorker&) = delete;
    HeldWorker& operator=(const HeldWorker&) = delete;
    void replace()
    {
        QORStatus st = pool.replaceWorker(buffer);
        buffer = nullptr;
        if (st != qor_s_ok)
            QOR_PIF_LOG("Giving the worker back failed: %#x\n", st);
    }

    QORClntWorkerPool& pool;
    QORClntWorkerBuffer* buffer = nullptr;
};

} // namespace

QORProxyIFDispatcher::~QORProxyIFDispatcher()
{
    shutdown();
}

QORStatus QORProxyIFDispatcher::initialize(QORLog* log, const char* serverName,
                                           const QORChannelLimits& limits)
{
    if (m_initialized) {
        shutdown();
        return qor_s_pif_already_initialized;
    }
    m_initialized = true;
    QORProxyIFLog::init(log);
    QORStatus st = acquireAllocators();
    if (st == qor_s_ok) {
        m_holdsAllocators = true;
        m_pool = new (std::nothrow) QORClntWorkerPool;
        st = m_pool == nullptr ? qor_s_no_memory : m_pool->initialize(serverName, limits);
    }
    if (st == qor_s_ok) {
        QORErrorMessageFactory* errors = new (std::nothrow) QORErrorMessageFactory;
        st = errors == nullptr ? qor_s_no_memory : registerProxyMsgFactory(errors);
        if (st != qor_s_ok)
            delete errors;
    }
    if (st != qor_s_ok) {
        QOR_PIF_LLOG(0, "Dispatcher initialization failed: %#x\n", (unsigned)st);
        shutdown();
    }
    return st;
}

const QORChannelLimits& QORProxyIFDispatcher::limits() const
{
    static const QORChannelLimits none;
    return m_pool != nullptr ? m_pool->limits() : none;
}

unsigned int QORProxyIFDispatcher::questionRoom() const
{
    return m_pool != nullptr ? m_pool->questionRoom() : 0;
}

QORStatus QORProxyIFDispatcher::registerProxyMsgFactory(QORProxyIFMsgFactory* factory)
{
    if (!m_initialized)
        return qor_s_pif_not_initialized;
    if (m_factoryCount == m_factoryCapacity) {
        int capacity = m_factoryCapacity + kFactoryGrowBy;
        Factory* grown = static_cast<Factory*>(
            QORAllocator::reallocate(
                nullptr, m_factories,
                static_cast<unsigned>(m_factoryCapacity) * sizeof *grown,
                static_cast<unsigned>(capacity) * sizeof *grown));
        if (grown == nullptr)
            return qor_s_no_memory;
        m_factories = grown;
        m_factoryCapacity = capacity;
    }
    m_factories[m_factoryCount++] = {factory->getType(), factory};
    return qor_s_ok;
}

QORProxyIFMsgFactory* QORProxyIFDispatcher::lookupFactory(int type) const
{
    for (int i = 0; i < m_factoryCount; i++)
        if (m_factories[i].type == type)
            return m_factories[i].factory;
    return nullptr;
}

QORStatus QORProxyIFDispatcher::exchange(QORClntWorkerBuffer& worker,
                                         QORProxyIFMessage& question,
                                         QORProxyIFMessage** answer,
                                         void* context)
{
    QORSharedMemAllocator* request = worker.getRequestAllocator();
    if (request == nullptr)
        return qor_s_ipc_bad_worker_buffer;
    QORStatus st = question.marshal(*request);
    if (st != qor_s_ok && request->full()) {
        QOR_PIF_LLOG(0, "The question does not fit the worker buffer of %u bytes\n",
                     worker.areaSize());
        st = qor_s_ipc_question_too_large;
    }
    if (st == qor_s_ok)
        st = worker.writeRequest(question.getType(), *request);
    if (st == qor_s_ok)
        st = worker.postRequest();
    delete request;
    if (st != qor_s_ok)
        return st;

    st = worker.waitResult(m_pool->limits().answerWaitSeconds * 1000u);
    if (st == qor_s_ipc_answer_timeout)
        QOR_PIF_LLOG(0, "No answer on worker %d within %u seconds\n", worker.getWorkerNum(),
                     m_pool->limits().answerWaitSeconds);
    if (st != qor_s_ok)
        return st;
    if (worker.wasReset())
        return qor_s_ipc_worker_reset;
    int type = -1;
    QORSharedMemIterator* result = nullptr;
    st = worker.readResult(type, &result);
    if (st != qor_s_ok) {
        delete result;
        return st;
    }
    QORProxyIFMsgFactory* factory = lookupFactory(type);
    if (factory == nullptr) {
        QOR_PIF_LOG("No factory for answer type %d\n", type);
        st = qor_s_pif_no_factory;
    } else {
        st = factory->createMsg(answer);
        if (st == qor_s_ok && *answer == nullptr)
            st = qor_s_no_memory;
        if (st == qor_s_ok)
            st = (*answer)->unmarshal(*result, context);
        if (st != qor_s_ok && *answer != nullptr) {
            (*answer)->deleteMe();
            *answer = nullptr;
        }
    }
    delete result;
    return st;
}

QORStatus QORProxyIFDispatcher::dispatch(QORProxyIFMessage& question,
                                         QORProxyIFMessage** answer,
                                         void* context, bool* shouldRetry)
{
    QOR_ASSERT(shouldRetry != nullptr && answer != nullptr);
    *shouldRetry = false;
    *answer = nullptr;
    if (!m_initialized)
        return qor_s_pif_not_initialized;

    bool refresher = false;
    QORStatus st;
    {
        HeldWorker held(*m_pool);
        st = m_pool->getFreeWorker(&held.buffer);
        if (st == qor_s_ok) {
            st = exchange(*held.buffer, question, answer, context);
            if (qor_ipc_object_gone(st))
                refresher = m_pool->refresher();
            if (st != qor_s_ipc_answer_timeout)
                held.replace();
        } else if (qor_ipc_object_gone(st)) {
            refresher = m_pool->refresher();
        }
    }
    if (qor_ipc_object_gone(st)) {
        // The server recreated its objects: one thread looks them up again,
        // the others wait for it; either way the question is worth resending
        // once that worked.
        QORStatus rs = refresher ? m_pool->refresh() : m_pool->waitRefresh();
        if (rs == qor_s_ok)
            *shouldRetry = true;
        return rs == qor_s_ipc_refresh_timeout ? rs : qor_s_ipc_removed;
    }
    if (st == qor_s_ipc_worker_reset) {
        *shouldRetry = true;
        return qor_s_ok;
    }
    if (st != qor_s_ok)
        QOR_PIF_LOG("Dispatch failed: %#x\n", st);
    return st;
}

void QORProxyIFDispatcher::shutdown()
{
    if (!m_initialized)
        return;
    m_initialized = false;
    for (int i = 0; i < m_factoryCount; i++)
        delete m_factories[i].factory;
    QORAllocator::deallocate(nullptr, m_factories);
    m_factories = nullptr;
    m_factoryCount = 0;
    m_factoryCapacity = 0;
    if (m_pool != nullptr) {
        (void)m_pool->shutdown(); // the pool goes either way
        delete m_pool;
        m_pool = nullptr;
    }
    if (m_holdsAllocators) {
        m_holdsAllocators = false;
        releaseAllocators();
    }
}
