// qorwebreqcertquestion.cpp: the client certificate part of a web request
// question.
#include "msg/core/qorwebreqcertquestion.h"

#include "msg/core/qormsgitemcursor.h"

namespace {

const int kKnownFlags = QORWebReqCertQuestion::kIssuerDN | QORWebReqCertQuestion::kSubjectDN |
                        QORWebReqCertQuestion::kSerialNumber;

} // namespace

QORWebReqCertQuestion::~QORWebReqCertQuestion() {}

void QORWebReqCertQuestion::setIssuerDN(const QORStringRef& dn)
{
    m_issuerDN.set(dn);
    m_flags.set(m_flags.get() | kIssuerDN);
}

void QORWebReqCertQuestion::setSubjectDN(const QORStringRef& dn)
{
    m_subjectDN.set(dn);
    m_flags.set(m_flags.get() | kSubjectDN);
}

void QORWebReqCertQuestion::setSerialNumber(const QORStringRef& serial)
{
    m_serialNumber.set(serial);
    m_flags.set(m_flags.get() | kSerialNumber);
}

QORStatus QORWebReqCertQuestion::getIssuerDN(QORStringRef* dn) const
{
    return qor_msg_present_string(getFlags(), kIssuerDN, m_issuerDN, dn);
}

QORStatus QORWebReqCertQuestion::getSubjectDN(QORStringRef* dn) const
{
    return qor_msg_present_string(getFlags(), kSubjectDN, m_subjectDN, dn);
}

QORStatus QORWebReqCertQuestion::getSerialNumber(QORStringRef* serial) const
{
    return qor_msg_present_string(getFlags(), kSerialNumber, m_serialNumber, serial);
}

template <class Cursor, class Self>
bool QORWebReqCertQuestion::walk(Cursor& c, Self& self)
{
    if (!qor_msg_item(c, self.m_flags) || (self.m_flags.get() & ~kKnownFlags) != 0)
        return false;
    int flags = self.m_flags.get();
    return ((flags & kIssuerDN) == 0 || qor_msg_item(c, self.m_issuerDN)) &&
           ((flags & kSubjectDN) == 0 || qor_msg_item(c, self.m_subjectDN)) &&
           ((flags & kSerialNumber) == 0 || qor_msg_item(c, self.m_serialNumber));
}

int QORWebReqCertQuestion::marshal(unsigned char* buffer, int size) const
{
    QORMsgItemWriter w(buffer, size);
    walk(w, *this);
    return w.written();
}

int QORWebReqCertQuestion::unmarshal(const unsigned char* buffer, int size)
{
    QORWebReqCertQuestion read;
    QORMsgItemReader r(buffer, size);
    if (!walk(r, read))
        return 0;
    *this = read;
    return size - r.remaining();
}
