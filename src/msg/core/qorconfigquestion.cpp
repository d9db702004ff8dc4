// qorconfigquestion.cpp: writing and reading the configuration question's
// one element.
#include "msg/core/qorconfigquestion.h"

#include "msg/core/qorconfiganswerbase.h"
#include "msg/core/qormsgitemcursor.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

QORConfigQuestion::QORConfigQuestion()
    : m_type(kTypeNotSet)
{
}

QORConfigQuestion::QORConfigQuestion(qor_config_req_msg_type_e type)
    : m_type(type)
{
}

QORConfigQuestion::~QORConfigQuestion() {}

void QORConfigQuestion::deleteMe()
{
    delete this;
}

QORStatus QORConfigQuestion::marshal(QORSharedMemAllocator& alloc)
{
    return qor_msg_write_element(alloc, m_type);
}

QORStatus QORConfigQuestion::unmarshal(QORSharedMemIterator& it, void*)
{
    QORMsgItemReader r;
    QORStatus st = qor_msg_next_element(it, &r);
    if (st != qor_s_ok)
        return st;
    if (!r.read(m_type))
        return qor_s_msg_unmarshal_failed;
    return qor_s_ok;
}

int QORConfigQuestion::getType() const
{
    return qor_msg_config_question;
}
