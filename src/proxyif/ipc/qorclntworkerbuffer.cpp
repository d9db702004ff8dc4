// qorclntworkerbuffer.cpp: the plug-in's half of the question/answer
// handshake on a worker buffer.
#include "proxyif/ipc/qorclntworkerbuffer.h"

#include "proxyif/framework/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorproxyifallocators.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorsysvsemhelper.h"

QORClntWorkerBuffer::~QORClntWorkerBuffer() = default;

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
    if (timeoutMs == 0)
        return QORSysVSemHelper::wait(m_semId, m_resSemNum, 1);
    QORStatus st = QORSysVSemHelper::timedWait(m_semId, m_resSemNum, 1, timeoutMs);
    return st == qor_s_ipc_would_block ? qor_s_ipc_answer_timeout : st;
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
    QORSharedMemIterator* reader =
        new (QORProxyIFAllocators::sharedMemIterator()) QORSharedMemIterator;
    if (reader == nullptr)
        return qor_s_no_memory;
    QORStatus st = reader->initialize(*m_segment, (uint32_t)start, (uint32_t)length);
    if (st != qor_s_ok) {
        delete reader;
        return st;
    }
    type = resultType;
    *it = reader;
    return qor_s_ok;
}
