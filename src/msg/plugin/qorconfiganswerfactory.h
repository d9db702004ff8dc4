// qorconfiganswerfactory.h: QORConfigAnswerFactory, registered with the
// dispatcher so that a configuration answer (type 4) is read by a
// QORConfigAnswerUnmarshaller.
#pragma once
#include "proxyif/framework/qorproxyifmsgfactory.h"

class QORConfigAnswerFactory : public QORProxyIFMsgFactory {
public:
    QORConfigAnswerFactory() = default;
    ~QORConfigAnswerFactory() override;

    int getType() override;  // qor_msg_config_answer
    // A new unmarshaller from the class-wide allocator; 0x35f0200c (out left
    // alone) when there is no memory.
    QORStatus createMsg(QORProxyIFMessage** out) override;
};
