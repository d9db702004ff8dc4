// qorerrormessage.cpp: the error answer and its factory.
#include "proxyif/framework/qorerrormessage.h"

#include <atomic>

#include "msg/core/qorproxyifmsgdata.h"
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

QORStatus QORErrorMessage::unmarshal(QORSharedMemIterator& it, void*)
{
    if (!it.hasMoreElements())
        return qor_s_msg_unmarshal_failed;
    unsigned int length = 0;
    void* data = nullptr;
    QORStatus st = it.getNextElement(&length, &data);
    if (st != qor_s_ok)
        return st;
    QORProxyIFMsgInt status;
    if (length > 0x7FFFFFFFu ||
        status.unmarshal(static_cast<const unsigned char*>(data),
                         static_cast<int>(length)) == 0)
        return qor_s_msg_unmarshal_failed;
    m_status = status.get();
    return qor_s_ok;
}

QORStatus QORErrorMessage::marshal(QORSharedMemAllocator& alloc)
{
    QORProxyIFMsgInt status(m_status);
    int size = status.marshal(nullptr, 0);
    void* data = nullptr;
    QORStatus st = alloc.allocate(static_cast<unsigned int>(size), &data);
    if (st != qor_s_ok)
        return st;
    status.marshal(static_cast<unsigned char*>(data), size);
    return qor_s_ok;
}

QORStatus QORErrorMessageFactory::createMsg(QORProxyIFMessage** out)
{
    QORErrorMessage* msg = QORErrorMessage::create(qor_s_ok);
    *out = msg;
    return msg != nullptr ? qor_s_ok : qor_s_no_memory;
}
