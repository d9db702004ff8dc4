// qorerrormessage.cpp: the error answer and its factory.
#include "proxyif/framework/qorerrormessage.h"

#include <atomic>

#include "msg/core/qormsgitemcursor.h"

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
    QORMsgItemReader r;
    QORStatus st = qor_msg_next_element(it, &r);
    if (st != qor_s_ok)
        return st;
    QORProxyIFMsgInt status;
    if (!r.read(status))
        return qor_s_msg_unmarshal_failed;
    m_status = status.get();
    return qor_s_ok;
}

QORStatus QORErrorMessage::marshal(QORSharedMemAllocator& alloc)
{
    return qor_msg_write_element(alloc, QORProxyIFMsgInt(m_status));
}

QORStatus QORErrorMessageFactory::createMsg(QORProxyIFMessage** out)
{
    QORErrorMessage* msg = QORErrorMessage::create(qor_s_ok);
    *out = msg;
    return msg != nullptr ? qor_s_ok : qor_s_no_memory;
}
