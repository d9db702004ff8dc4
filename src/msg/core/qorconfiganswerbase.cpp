// qorconfiganswerbase.cpp: what every configuration answer shares.
#include "msg/core/qorconfiganswerbase.h"

const char kQORConfigDefaultPermsName[] = "<default>";

QORConfigAnswerBase::~QORConfigAnswerBase() {}

void QORConfigAnswerBase::deleteMe()
{
    delete this;
}

QORStatus QORConfigAnswerBase::unmarshal(QORSharedMemIterator&, void*)
{
    return qor_s_ok;
}

QORStatus QORConfigAnswerBase::marshal(QORSharedMemAllocator&)
{
    return qor_s_ok;
}

int QORConfigAnswerBase::getType() const
{
    return qor_msg_config_answer;
}
