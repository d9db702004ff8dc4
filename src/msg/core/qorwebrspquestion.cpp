// qorwebrspquestion.cpp: the web response question.
#include "msg/core/qorwebrspquestion.h"

#include "msg/core/qormsgitemcursor.h"

QORWebRspQuestion::~QORWebRspQuestion() {}

void QORWebRspQuestion::setHTTPBuffer(const QORBuffer& buffer)
{
    m_httpBuffer.set(buffer);
}

QORStatus QORWebRspQuestion::getHTTPBuffer(QORBuffer* buffer) const
{
    buffer->set(m_httpBuffer.get().getData(), m_httpBuffer.get().getLen());
    return qor_s_ok;
}

void QORWebRspQuestion::setVHostID(const QORStringRef& id)
{
    m_vhostID.set(id);
}

QORStatus QORWebRspQuestion::getVHostID(QORStringRef* id) const
{
    *id = m_vhostID.get();
    return qor_s_ok;
}

void QORWebRspQuestion::setSessionID(const QORStringRef& id)
{
    m_sessionID.set(id);
}

QORStatus QORWebRspQuestion::getSessionID(QORStringRef* id) const
{
    *id = m_sessionID.get();
    return qor_s_ok;
}

void QORWebRspQuestion::setIsSecure(int secure)
{
    m_isSecure.set(secure);
}

QORStatus QORWebRspQuestion::isSecure(int* secure) const
{
    *secure = m_isSecure.get();
    return qor_s_ok;
}

void QORWebRspQuestion::deleteMe()
{
    delete this;
}

QORStatus QORWebRspQuestion::unmarshal(QORSharedMemIterator& it, void*)
{
    QORStatus st = qor_msg_read_element(it, m_httpBuffer);
    if (st == qor_s_ok)
        st = qor_msg_read_element(it, m_vhostID);
    if (st == qor_s_ok)
        st = qor_msg_read_element(it, m_sessionID);
    if (st == qor_s_ok)
        st = qor_msg_read_element(it, m_isSecure);
    return st;
}

QORStatus QORWebRspQuestion::marshal(QORSharedMemAllocator& alloc)
{
    QORStatus st = qor_msg_write_element(alloc, m_httpBuffer);
    if (st == qor_s_ok)
        st = qor_msg_write_element(alloc, m_vhostID);
    if (st == qor_s_ok)
        st = qor_msg_write_element(alloc, m_sessionID);
    if (st == qor_s_ok)
        st = qor_msg_write_element(alloc, m_isSecure);
    return st;
}

int QORWebRspQuestion::getType() const
{
    return qor_msg_web_rsp_question;
}
