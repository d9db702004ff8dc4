// qorclntworkerbuffer.cpp: the plug-in's half of the question/answer
// handshake on a worker buffer.
#include "proxyif/ipc/qorclntworkerbuffer.h"

#include <cstring>

#include "proxyif/ipc/qoranswerwait.h"
#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

namespace {

// Each thread's copy of the last answer it read, kept and reused, so that
// the copy costs no allocation once it is large enough.
struct ThreadCopy {
    QORLocalSharedMem memory;
    unsigned int capacity = 0;
    bool taken = false;
};
thread_local ThreadCopy t_copy;

const unsigned int kMinCopy = 4096;

} // namespace

QORClntWorkerBuffer::~QORClntWorkerBuffer()
{
    if (m_holdsThreadCopy)
        t_copy.taken = false;
}

QORSharedMemAllocator* QORClntWorkerBuffer::getRequestAllocator()
{
    uint32_t start = requestStart();
    setHeaderField(offsetof(QORWorkerBufferHeader, requestStart), (int32_t)start);
    QORSharedMemAllocator* alloc =
        new (QORProxyIFAllocators::sharedMemAllocator()) QORSharedMemAllocator;
    if (alloc != nullptr)
        alloc->initialize(*m_segment, start, areaSize());
    return alloc;
}

QORStatus QORClntWorkerBuffer::writeRequest(int type, QORSharedMemAllocator& alloc)
{
    uint32_t start = requestStart();
    uint32_t length = alloc.usedLength();
    uint32_t resultStart = round4(start + length);
    setHeaderField(offsetof(QORWorkerBufferHeader, requestType), type);
    setHeaderField(offsetof(QORWorkerBufferHeader, requestLength), (int32_t)length);
    setHeaderField(offsetof(QORWorkerBufferHeader, resultType), 0);
    setHeaderField(offsetof(QORWorkerBufferHeader, resultLength), 0);
    setHeaderField(offsetof(QORWorkerBufferHeader, resultStart), (int32_t)resultStart);
    QOR_PIF_LOG("Wrote request --> Start Offset = %d, Length = %d\n, Result Start Offset = %d\n",
                (int)start, (int)length, (int)resultStart);
    return qor_s_ok;
}

QORStatus QORClntWorkerBuffer::postRequest()
{
    const sembuf zeroAndPost[2] = {
        {(unsigned short)m_resSemNum, 0, IPC_NOWAIT},
        {(unsigned short)m_reqSemNum, 1, 0},
    };
    QORStatus st = QORSysVSemHelper::doSemOps(m_semId, zeroAndPost, 2);
    if (st != qor_s_ipc_would_block)
        return st;
    // A stale post: drop it, then post. Nothing but the server's answer to
    // this question can post the result between the two.
    st = QORSysVSemHelper::setValue(m_semId, m_resSemNum, 0);
    if (st == qor_s_ok)
        st = QORSysVSemHelper::signal(m_semId, m_reqSemNum, 1);
    return st;
}

QORStatus QORClntWorkerBuffer::waitResult(unsigned int timeoutMs)
{
    QORAnswerWait how(m_othersAsking);
    if (how.watchNs() != 0) {
        // Only a 4-aligned header is watched; the semaphore decides anyway.
        const char* header = static_cast<const char*>(m_segment->getBaseAddress()) +
                             m_memStartOffset;
        if ((uintptr_t)header % alignof(int32_t) == 0)
            (void)how.watch(reinterpret_cast<const volatile int32_t*>(
                header + offsetof(QORWorkerBufferHeader, resultType)));
    }
    QORStatus st;
    if (timeoutMs == 0) {
        st = QORSysVSemHelper::wait(m_semId, m_resSemNum, 1);
    } else {
        st = QORSysVSemHelper::timedWait(m_semId, m_resSemNum, 1, timeoutMs);
        if (st == qor_s_ipc_would_block)
            st = qor_s_ipc_answer_timeout;
    }
    how.finish(st == qor_s_ok);
    return st;
}

QORStatus QORClntWorkerBuffer::readResult(int& type, QORSharedMemIterator** it)
{
    if (getHeaderField(offsetof(QORWorkerBufferHeader, workerNum)) != m_workerNum)
        return qor_s_ipc_bad_worker_buffer;
    // Read each field once: the server could still be writing them.
    int32_t resultType = getHeaderField(offsetof(QORWorkerBufferHeader, resultType));
    int32_t start = getHeaderField(offsetof(QORWorkerBufferHeader, resultStart));
    int32_t length = getHeaderField(offsetof(QORWorkerBufferHeader, resultLength));
    if (start < (int32_t)requestStart() || start % 4 != 0 || length < 0 ||
        (long long)start + length > (long long)bufferEnd())
        return qor_s_ipc_bad_parameter;
    // One copy of the whole result, then only the copy is read.
    QORLocalSharedMem* copy = &t_copy.memory;
    if (m_holdsThreadCopy || t_copy.taken) {
        copy = &m_ownCopy;
        (void)m_ownCopy.destroy();  // a copy of an earlier answer: never fails
        if (m_ownCopy.create(nullptr, 0, (unsigned)length + 1) != qor_s_ok)
            return qor_s_no_memory;
    } else if (t_copy.capacity < (unsigned)length + 1) {
        (void)t_copy.memory.destroy();  // only frees; never fails
        unsigned int want = (unsigned)length + 1 > kMinCopy ? (unsigned)length + 1 : kMinCopy;
        t_copy.capacity = 0;
        if (t_copy.memory.create(nullptr, 0, want) != qor_s_ok)
            return qor_s_no_memory;
        t_copy.capacity = want;
    }
    if (copy == &t_copy.memory) {
        t_copy.taken = true;
        m_holdsThreadCopy = true;
    }
    const char* from = static_cast<const char*>(m_segment->getBaseAddress()) + start;
    memcpy(copy->getBaseAddress(), from, (size_t)length);
    QORSharedMemIterator* reader =
        new (QORProxyIFAllocators::sharedMemIterator()) QORSharedMemIterator;
    if (reader == nullptr)
        return qor_s_no_memory;
    QORStatus st = reader->initializeCopy(*copy, (uint32_t)start, (uint32_t)length);
    if (st != qor_s_ok) {
        delete reader;
        return st;
    }
    type = resultType;
    *it = reader;
    return qor_s_ok;
}
