// qorurcversionanswerfactory.cpp: making cache version answer readers.
#include "urc/plugin/qorurcversionanswerfactory.h"

#include "urc/plugin/qorurcversionanswerunmarshaller.h"

QORURCVersionAnswerFactory::~QORURCVersionAnswerFactory() {}

int QORURCVersionAnswerFactory::getType()
{
    return qor_msg_urc_version_answer;
}

QORStatus QORURCVersionAnswerFactory::createMsg(QORProxyIFMessage** out)
{
    QORURCVersionAnswerUnmarshaller* msg = QORURCVersionAnswerUnmarshaller::create();
    if (msg == nullptr)
        return qor_s_no_memory;
    *out = msg;
    return qor_s_ok;
}
