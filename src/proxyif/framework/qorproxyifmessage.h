// qorproxyifmessage.h: QORProxyIFMessage, the abstract question or answer
// that passes between the plug-in and the authorization server as a chain of
// elements in a worker buffer, and the message type numbers written into the
// buffer's header. The dispatcher picks the factory for an answer by its type.
#pragma once
#include "core/system/qorstatus.h"

// A message whose elements are missing or do not hold what it expects.
enum : QORStatusCode {
    qor_s_msg_unmarshal_failed = QOR_MSG_ID(0x205), // XLTIC0517E
};

class QORSharedMemIterator;
class QORSharedMemAllocator;

// The value in a worker buffer's request or result type field.
enum qor_proxy_msg_type_e {
    qor_msg_error = 0,                 // QORErrorMessage, either direction
    qor_msg_web_req_question = 1,      // plug-in to server
    qor_msg_config_question = 2,       // plug-in to server
    qor_msg_web_trans_answer = 3,      // server to plug-in
    qor_msg_config_answer = 4,         // server to plug-in
    qor_msg_web_rsp_question = 5,      // plug-in to server
    qor_msg_urc_version_question = 6,  // plug-in to server
    qor_msg_urc_version_answer = 7,    // server to plug-in
};

class QORProxyIFMessage {
public:
    virtual ~QORProxyIFMessage() = default;
    // Releases the object through the allocator that created it (messages of
    // several classes come from per-class caching allocators).
    virtual void deleteMe() = 0;
    // Reads the message's elements from it; context is message-specific
    // (a web transaction answer applies itself to the QORTransaction* given).
    virtual QORStatus unmarshal(QORSharedMemIterator& it, void* context) = 0;
    // Appends the message's elements; the first failure is returned at once,
    // leaving the elements written so far.
    virtual QORStatus marshal(QORSharedMemAllocator& alloc) = 0;
    virtual int getType() const = 0;
};
