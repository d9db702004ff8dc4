// qorurcversionquestion.cpp: the cache version question.
#include "msg/core/qorurcversionquestion.h"

#include <cstring>

#include "msg/core/qormsgitemcursor.h"

QORURCVersionQuestion::~QORURCVersionQuestion() {}

void QORURCVersionQuestion::setVersion(const QOREpochVersion* version)
{
    m_version = *version;
    m_buffer.set(QORBuffer(reinterpret_cast<const unsigned char*>(&m_version),
                           QOR_EPOCH_VERSION_BUFLEN));
}

QORStatus QORURCVersionQuestion::getVersion(QOREpochVersion& version) const
{
    const QORBuffer& b = m_buffer.get();
    if (b.getLen() != QOR_EPOCH_VERSION_BUFLEN || b.getData() == nullptr)
        return qor_s_not_available;
    memcpy(&version, b.getData(), sizeof version);
    return qor_s_ok;
}

void QORURCVersionQuestion::deleteMe()
{
    delete this;
}

QORStatus QORURCVersionQuestion::unmarshal(QORSharedMemIterator& it, void*)
{
    QORProxyIFMsgBuffer read;
    QORStatus st = qor_msg_read_element(it, read);
    if (st != qor_s_ok)
        return st;
    if (read.get().getLen() != QOR_EPOCH_VERSION_BUFLEN)
        return qor_s_msg_unmarshal_failed;
    m_buffer.set(read.get());
    return qor_s_ok;
}

QORStatus QORURCVersionQuestion::marshal(QORSharedMemAllocator& alloc)
{
    return qor_msg_write_element(alloc, m_buffer);
}

int QORURCVersionQuestion::getType() const
{
    return qor_msg_urc_version_question;
}
