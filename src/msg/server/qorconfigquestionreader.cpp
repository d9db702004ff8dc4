// qorconfigquestionreader.cpp: reading a configuration question on the
// server side.
#include "msg/server/qorconfigquestionreader.h"

QORStatus QORConfigQuestionReader::read(QORSharedMemIterator& it,
                                        QORConfigQuestion::qor_config_req_msg_type_e* type)
{
    QORConfigQuestion question;
    QORStatus st = question.unmarshal(it, nullptr);
    if (st != qor_s_ok)
        return st;
    if (!QORConfigQuestion::isKnownType(question.getRequestType()))
        return qor_s_msg_unmarshal_failed;
    *type = static_cast<QORConfigQuestion::qor_config_req_msg_type_e>(question.getRequestType());
    return qor_s_ok;
}
