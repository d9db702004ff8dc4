// qorerrormessage.cpp: the error answer and its factory.
#include "proxyif/framework/qorerrormessage.h"

#include <atomic>
#include <cstring>

#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

std::atomic<QORAllocator*> s_allocator{nullptr};

} // namespace

QORErrorMessage* QORErrorMessage::create(QORStatus status)
{
    return new (getAllocator()) QORErrorMessage(status);
}

void QORErrorMessage::setAllocator(QORAllocator* allocator)
{
    s_allocator.store(allocator, std::memory_order_release);
}

QORAllocator* QORErrorMessage::getAllocator()
{
    return s_allocator.load(std::memory_order_acquire);
}

void QORErrorMessage::deleteMe()
{
    delete this;
}

// The status element is one native 32-bit integer, read and written here
// directly: the interface sits below the message items.
QORStatus QORErrorMessage::unmarshal(QORSharedMemIterator& it, void*)
{
    if (!it.hasMoreElements())
        return qor_s_msg_unmarshal_failed;
    unsigned int length = 0;
    void* data = nullptr;
    QORStatus st = it.getNextElement(&length, &data);
    if (st != qor_s_ok)
        return st;
    if (data == nullptr || length < sizeof m_status)
        return qor_s_msg_unmarshal_failed;
    memcpy(&m_status, data, sizeof m_status);
    return qor_s_ok;
}

QORStatus QORErrorMessage::marshal(QORSharedMemAllocator& alloc)
{
    void* data = nullptr;
    QORStatus st = alloc.allocate(sizeof m_status, &data);
    if (st != qor_s_ok)
        return st;
    memcpy(data, &m_status, sizeof m_status);
    return qor_s_ok;
}

QORStatus QORErrorMessageFactory::createMsg(QORProxyIFMessage** out)
{
    QORErrorMessage* msg = QORErrorMessage::create(qor_s_ok);
    *out = msg;
    return msg != nullptr ? qor_s_ok : qor_s_no_memory;
}
