// qorwebreqquestionreader.cpp: the server's reading of a web request
// question.
#include "msg/server/qorwebreqquestionreader.h"

QORWebReqQuestionReader::~QORWebReqQuestionReader() {}

QORStatus QORWebReqQuestionReader::unmarshal(QORSharedMemIterator& it, void*)
{
    return readElements(it, &m_httpMessage);
}

QORStatus QORWebReqQuestionReader::getHTTPMessage(QORBuffer* message) const
{
    if (!hasFlag(kHTTPMessage))
        return qor_s_not_available;
    message->set(m_httpMessage.getData(), m_httpMessage.getLen());
    return qor_s_ok;
}
