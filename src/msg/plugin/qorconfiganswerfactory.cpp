// qorconfiganswerfactory.cpp: making configuration answer readers.
#include "msg/plugin/qorconfiganswerfactory.h"

#include "msg/plugin/qorconfiganswerunmarshaller.h"

QORConfigAnswerFactory::~QORConfigAnswerFactory() {}

int QORConfigAnswerFactory::getType()
{
    return qor_msg_config_answer;
}

QORStatus QORConfigAnswerFactory::createMsg(QORProxyIFMessage** out)
{
    QORConfigAnswerUnmarshaller* msg = QORConfigAnswerUnmarshaller::create();
    if (msg == nullptr)
        return qor_s_no_memory;
    *out = msg;
    return qor_s_ok;
}
