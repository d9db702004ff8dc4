// qorproxyifallocators.h: the process-wide caching allocators that the
// objects of the shared-memory channel come from: element writers
// (QORSharedMemAllocator), element readers (QORSharedMemIterator) and client
// worker buffers (QORClntWorkerBuffer). The dispatcher creates them with its
// first initialize and installs them here, and uninstalls them before its
// last shutdown destroys them. Until then, and in processes without a
// dispatcher (the server side, tests), each accessor gives null, which the
// placement `new (allocator) T` reads as the heap.
//
// An object goes back to the allocator it came from (the word before it
// records it), so objects made before an install may be deleted after it.
// Every object must be deleted before the dispatcher's last shutdown.
#pragma once
#include <atomic>
#include "core/memory/qorallocator.h"

class QORProxyIFAllocators {
public:
    static QORAllocator* sharedMemAllocator()
    {
        return s_sharedMemAllocator.load(std::memory_order_acquire);
    }
    static QORAllocator* sharedMemIterator()
    {
        return s_sharedMemIterator.load(std::memory_order_acquire);
    }
    static QORAllocator* clntWorkerBuffer()
    {
        return s_clntWorkerBuffer.load(std::memory_order_acquire);
    }

    // Installs the three allocators (null: the heap again). Thread-safe;
    // the dispatcher calls it while no dispatch is running.
    static void install(QORAllocator* sharedMemAllocator,
                        QORAllocator* sharedMemIterator,
                        QORAllocator* clntWorkerBuffer);

private:
    static inline std::atomic<QORAllocator*> s_sharedMemAllocator{nullptr};
    static inline std::atomic<QORAllocator*> s_sharedMemIterator{nullptr};
    static inline std::atomic<QORAllocator*> s_clntWorkerBuffer{nullptr};
};
