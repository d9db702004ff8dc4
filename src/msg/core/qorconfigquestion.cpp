// qorconfigquestion.cpp: writing and reading the configuration question's
// one element.
#include "msg/core/qorconfigquestion.h"

#include "msg/core/qorconfiganswerbase.h"
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
    int size = m_type.marshal(nullptr, 0);
    void* data = nullptr;
    QORStatus st = alloc.allocate(static_cast<unsigned int>(size), &data);
    if (st != qor_s_ok)
        return st;
    m_type.marshal(static_cast<unsigned char*>(data), size);
    return qor_s_ok;
}

QORStatus QORConfigQuestion::unmarshal(QORSharedMemIterator& it, void*)
{
    if (!it.hasMoreElements())
        return qor_s_msg_unmarshal_failed;
    unsigned int length = 0;
    void* data = nullptr;
    QORStatus st = it.getNextElement(&length, &data);
    if (st != qor_s_ok)
        return st;
    if (length > 0x7fffffffu ||
        m_type.unmarshal(static_cast<const unsigned char*>(data),
                         static_cast<int>(length)) == 0)
        return qor_s_msg_unmarshal_failed;
    return qor_s_ok;
}

int QORConfigQuestion::getType() const
{
    return qor_msg_config_question;
}
