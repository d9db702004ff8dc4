// qorworkerbuffer.cpp: a worker buffer's description and header.
#include "proxyif/ipc/qorworkerbuffer.h"

#include "proxyif/ipc/qorproxyiflog.h"
#include "proxyif/ipc/qoripcstatus.h"

QORWorkerBuffer::~QORWorkerBuffer() = default;

QORStatus QORWorkerBuffer::initialize(worker_info volatile* record,
                                      QORSharedMem& workerSegment)
{
    m_record = record;
    m_segment = &workerSegment;
    m_workerNum = record->workerNum;
    m_memStartOffset = record->memStartOffset;
    m_memSize = record->memSize;
    m_semId = record->semId;
    m_reqSemNum = record->reqSemNum;
    m_resSemNum = record->resSemNum;
    // One look at the level for the whole description.
    if (QORProxyIFLog::enabled(7)) {
        QOR_PIF_LOG("Initialized worker buffer with the following attributes\n");
        QOR_PIF_LOG("shmId = %d\n", workerSegment.getId());
        QOR_PIF_LOG("memSize = %d\n", m_memSize);
        QOR_PIF_LOG("memStartOffset = %d\n", m_memStartOffset);
        QOR_PIF_LOG("semId = %d\n", m_semId);
        QOR_PIF_LOG("reqSemNum = %d\n", m_reqSemNum);
        QOR_PIF_LOG("resSemNum = %d\n", m_resSemNum);
        QOR_PIF_LOG("****************");
    }

    long long start = m_memStartOffset;
    long long aligned = (start + 3) & ~3LL;
    long long end = start + m_memSize;
    if (workerSegment.getBaseAddress() == nullptr || start < 0 ||
        m_memSize < 0 || aligned + (long long)sizeof(QORWorkerBufferHeader) > end ||
        end > (long long)workerSegment.getMappedSize())
        return qor_s_ipc_bad_worker_buffer;
    return qor_s_ok;
}
