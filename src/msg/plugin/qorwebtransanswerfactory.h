// qorwebtransanswerfactory.h: QORWebTransAnswerFactory, registered with the
// dispatcher so that a web transaction answer (type 3) is read and applied
// by a QORWebTransAnswerUnmarshaller.
#pragma once
#include "proxyif/framework/qorproxyifmsgfactory.h"

class QORWebTransAnswerFactory : public QORProxyIFMsgFactory {
public:
    QORWebTransAnswerFactory() = default;
    ~QORWebTransAnswerFactory() override;

    int getType() override;  // qor_msg_web_trans_answer
    // A new unmarshaller from the class-wide allocator; 0x35f0200c (out left
    // alone) when there is no memory.
    QORStatus createMsg(QORProxyIFMessage** out) override;
};
