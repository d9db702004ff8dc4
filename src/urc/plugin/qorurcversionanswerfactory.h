// qorurcversionanswerfactory.h: QORURCVersionAnswerFactory, registered with
// the dispatcher so that a cache version answer (type 7) is read by a
// QORURCVersionAnswerUnmarshaller.
#pragma once
#include "proxyif/framework/qorproxyifmsgfactory.h"

class QORURCVersionAnswerFactory : public QORProxyIFMsgFactory {
public:
    QORURCVersionAnswerFactory() = default;
    ~QORURCVersionAnswerFactory() override;

    int getType() override;  // qor_msg_urc_version_answer
    // A new unmarshaller from the class-wide allocator; 0x35f0200c (out left
    // alone) when there is no memory.
    QORStatus createMsg(QORProxyIFMessage** out) override;
};
