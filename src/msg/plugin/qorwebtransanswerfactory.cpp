// qorwebtransanswerfactory.cpp: making web transaction answer readers.
#include "msg/plugin/qorwebtransanswerfactory.h"

#include "msg/plugin/qorwebtransanswerunmarshaller.h"

QORWebTransAnswerFactory::~QORWebTransAnswerFactory() {}

int QORWebTransAnswerFactory::getType()
{
    return qor_msg_web_trans_answer;
}

QORStatus QORWebTransAnswerFactory::createMsg(QORProxyIFMessage** out)
{
    QORWebTransAnswerUnmarshaller* msg = QORWebTransAnswerUnmarshaller::create();
    if (msg == nullptr)
        return qor_s_no_memory;
    *out = msg;
    return qor_s_ok;
}
