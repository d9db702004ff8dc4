// qorworkerbuffer.h: QORWorkerBuffer, one worker's buffer in the worker
// segment, through which one question and its answer pass, as described by
// the worker's record in the pool manager segment. Both sides use the
// layout below; QORClntWorkerBuffer carries out the plug-in's half of the
// exchange.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/system/qorstatus.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorworkerpool.h"

// The header at the start of a worker buffer. Offsets count from the
// worker segment's base. The request area starts at the buffer's offset
// rounded up to a multiple of 4, plus 32; the result area follows the
// request, 4-aligned.
struct QORWorkerBufferHeader {
    int32_t workerNum;       // must equal the record's
    int32_t reserved;
    int32_t requestType;
    int32_t requestLength;
    int32_t requestStart;
    int32_t resultType;
    int32_t resultLength;
    int32_t resultStart;
};
static_assert(sizeof(QORWorkerBufferHeader) == 32, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, requestType) == 8, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, requestLength) == 12, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, requestStart) == 16, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, resultType) == 20, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, resultLength) == 24, "worker buffer layout");
static_assert(offsetof(QORWorkerBufferHeader, resultStart) == 28, "worker buffer layout");

class QORWorkerBuffer {
public:
    // n rounded up to a multiple of 4.
    static uint32_t round4(uint32_t n) { return (n + 3u) & ~3u; }

    QORWorkerBuffer() = default;
    QORWorkerBuffer(const QORWorkerBuffer&) = delete;
    QORWorkerBuffer& operator=(const QORWorkerBuffer&) = delete;
    virtual ~QORWorkerBuffer();

    // Keeps the record and the segment and takes one copy of the record's
    // description of the buffer, which every later step uses: the other
    // process may change the record meanwhile. A buffer that does not lie
    // inside what is mapped of the segment, or has no room for its header,
    // gives 0x35f02202.
    QORStatus initialize(worker_info volatile* record, QORSharedMem& workerSegment);

    worker_info volatile* getRecord() const { return m_record; }
    QORSharedMem* getSegment() const { return m_segment; }
    int getWorkerNum() const { return m_workerNum; }
    int getMemStartOffset() const { return m_memStartOffset; }
    int getMemSize() const { return m_memSize; }
    int getSemId() const { return m_semId; }
    int getReqSemNum() const { return m_reqSemNum; }
    int getResSemNum() const { return m_resSemNum; }

    // Where the request area starts and where the buffer ends, as offsets
    // from the segment base.
    uint32_t requestStart() const
    {
        return round4((uint32_t)m_memStartOffset) + (uint32_t)sizeof(QORWorkerBufferHeader);
    }
    uint32_t bufferEnd() const { return (uint32_t)m_memStartOffset + (uint32_t)m_memSize; }
    // Bytes from the request start to the end of the buffer.
    uint32_t areaSize() const { return bufferEnd() - requestStart(); }

    // A header field (offsetof(QORWorkerBufferHeader, ...)), read or
    // written exactly once, since the other process shares it. The header
    // may sit on any byte boundary.
    int32_t getHeaderField(size_t field) const { return headerField(field)->value; }
    void setHeaderField(size_t field, int32_t value) { headerField(field)->value = value; }

protected:
    // A header field where it lies, on whatever boundary.
    struct __attribute__((packed)) UnalignedField {
        int32_t value;
    };
    UnalignedField volatile* headerField(size_t field) const
    {
        return reinterpret_cast<UnalignedField volatile*>(
            static_cast<char*>(m_segment->getBaseAddress()) + m_memStartOffset + field);
    }

    worker_info volatile* m_record = nullptr;
    QORSharedMem* m_segment = nullptr;
    int m_workerNum = -1;
    int m_memStartOffset = 0;
    int m_memSize = 0;
    int m_semId = -1;
    int m_reqSemNum = 0;
    int m_resSemNum = 0;
};
