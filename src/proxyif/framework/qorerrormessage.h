// qorerrormessage.h: QORErrorMessage (message type 0), the answer by which
// the authorization server reports that it failed: one element of 4 bytes
// holding the failure status. Its factory is registered by the dispatcher.
// Objects come from a process-wide caching allocator that the dispatcher
// installs (the heap until then).
#pragma once
#include "core/memory/qorallocator.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "proxyif/framework/qorproxyifmsgfactory.h"

class QORErrorMessage : public QORProxyIFMessage, public QORAllocated {
public:
    // A message from the installed allocator; null when memory failed.
    static QORErrorMessage* create(QORStatus status = qor_s_ok);
    // The allocator create() uses (null: the heap).
    static void setAllocator(QORAllocator* allocator);
    static QORAllocator* getAllocator();

    explicit QORErrorMessage(QORStatus status = qor_s_ok)
        : m_status(static_cast<int32_t>(status))
    {
    }

    void deleteMe() override;
    // Reads the status element: 0x35f02205 when there is none or it holds
    // fewer than 4 bytes.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override { return qor_msg_error; }

    QORStatus getStatus() const { return static_cast<QORStatus>(m_status); }
    void setStatus(QORStatus status) { m_status = static_cast<int32_t>(status); }

private:
    int32_t m_status;
};

class QORErrorMessageFactory : public QORProxyIFMsgFactory {
public:
    int getType() override { return qor_msg_error; }
    // A QORErrorMessage with status 0; 0x35f0200c when memory failed.
    QORStatus createMsg(QORProxyIFMessage** out) override;
};
