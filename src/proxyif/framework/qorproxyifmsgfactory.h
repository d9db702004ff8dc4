// qorproxyifmsgfactory.h: QORProxyIFMsgFactory, what builds the answer object
// for one message type. The dispatcher keeps the registered factories and
// picks one by the type the authorization server wrote into the result.
#pragma once
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"

class QORProxyIFMsgFactory {
public:
    virtual ~QORProxyIFMsgFactory() = default;
    // The message type whose answers this factory builds; the same on
    // every call.
    virtual int getType() = 0;
    // A new, empty message; the caller releases it with deleteMe().
    virtual QORStatus createMsg(QORProxyIFMessage** out) = 0;
};
