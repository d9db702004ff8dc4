// qorproxyifallocators.cpp: installing the channel allocators.
#include "proxyif/ipc/qorproxyifallocators.h"

void QORProxyIFAllocators::install(QORAllocator* sharedMemAllocator,
                                   QORAllocator* sharedMemIterator,
                                   QORAllocator* clntWorkerBuffer)
{
    s_sharedMemAllocator.store(sharedMemAllocator, std::memory_order_release);
    s_sharedMemIterator.store(sharedMemIterator, std::memory_order_release);
    s_clntWorkerBuffer.store(clntWorkerBuffer, std::memory_order_release);
}
