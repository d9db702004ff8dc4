// qorclntworkerbuffer.h: QORClntWorkerBuffer, the plug-in's side of one
// exchange on a worker buffer: write the question, wake the worker, wait for
// and read its answer. The client worker pool hands one to a thread for the
// length of a dispatch; objects come from the channel's allocator for them
// (qorproxyifallocators.h).
#pragma once
#include "core/memory/qorallocator.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorworkerbuffer.h"

class QORSharedMemAllocator;
class QORSharedMemIterator;

class QORClntWorkerBuffer : public QORAllocated, public QORWorkerBuffer {
public:
    QORClntWorkerBuffer() = default;
    ~QORClntWorkerBuffer() override;

    // Writes the request start into the header and returns a writer over
    // the request area, from the channel's allocator of writers; null when
    // there is no memory. The caller deletes it.
    QORSharedMemAllocator* getRequestAllocator();
    // Completes the header for a question of type written through alloc:
    // request type and length, no result yet, the result start behind the
    // request.
    QORStatus writeRequest(int type, QORSharedMemAllocator& alloc);
    // Wakes the worker, with the result semaphore cleared first so that a
    // post left from an earlier question (a late answer, a reset) is never
    // taken for this question's answer. One system call when the result
    // semaphore is 0 (checked and posted atomically), three otherwise.
    QORStatus postRequest();
    // Waits for the answer: without a time limit for 0, else for at most
    // timeoutMs milliseconds (0x35f02222 when the time ran out).
    QORStatus waitResult(unsigned int timeoutMs = 0);
    // Whether other workers of the pool were taken when this one was (by
    // this process or others): the server is busy, so the answer is waited
    // for asleep. Set by the pool under its lock.
    void setOthersAsking(bool others) { m_othersAsking = others; }
    bool othersAsking() const { return m_othersAsking; }
    // Whether the server reset the worker (read without the pool lock).
    bool wasReset() const { return m_record != nullptr && m_record->reset != 0; }
    // The answer's type and a reader over its element chain (from the
    // channel's allocator of readers; the caller deletes it). The server's
    // header is checked before anything is read: a worker number other than
    // the record's gives 0x35f02202; a result start or length that puts the
    // result outside this buffer's area (or a start that is not 4-aligned)
    // gives 0x35f02203, the status of every out-of-bounds access to a
    // segment. No memory for the reader or the copy gives 0x35f0200c.
    //
    // The reader reads a private copy of the result area, taken once here:
    // the server cannot change what is validated and used afterwards. The
    // copy, and every view into it, lasts until this buffer is deleted.
    QORStatus readResult(int& type, QORSharedMemIterator** it);

private:
    // The copy when the thread's reusable one is taken (an answer read
    // while another is still held on the same thread).
    QORLocalSharedMem m_ownCopy;
    bool m_holdsThreadCopy = false;
    bool m_othersAsking = false;
};
