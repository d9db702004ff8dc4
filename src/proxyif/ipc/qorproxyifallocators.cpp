// qorproxyifallocators.cpp: the installed channel allocators.
#include "proxyif/ipc/qorproxyifallocators.h"

#include <atomic>

namespace {

std::atomic<QORAllocator*> s_sharedMemAllocator{nullptr};
std::atomic<QORAllocator*> s_sharedMemIterator{nullptr};
std::atomic<QORAllocator*> s_clntWorkerBuffer{nullptr};

} // namespace

QORAllocator* QORProxyIFAllocators::sharedMemAllocator()
{
    return s_sharedMemAllocator.load(std::memory_order_acquire);
}

QORAllocator* QORProxyIFAllocators::sharedMemIterator()
{
    return s_sharedMemIterator.load(std::memory_order_acquire);
}

QORAllocator* QORProxyIFAllocators::clntWorkerBuffer()
{
    return s_clntWorkerBuffer.load(std::memory_order_acquire);
}

void QORProxyIFAllocators::install(QORAllocator* sharedMemAllocator,
                                   QORAllocator* sharedMemIterator,
                                   QORAllocator* clntWorkerBuffer)
{
    s_sharedMemAllocator.store(sharedMemAllocator, std::memory_order_release);
    s_sharedMemIterator.store(sharedMemIterator, std::memory_order_release);
    s_clntWorkerBuffer.store(clntWorkerBuffer, std::memory_order_release);
}
