// qorwebreqsslsessquestion.cpp: the SSL part of a web request question.
#include "msg/core/qorwebreqsslsessquestion.h"

#include "msg/core/qormsgitemcursor.h"

namespace {

typedef QORWebReqSSLSessQuestion Part;

const int kKnownFlags = Part::kSessionID | Part::kClientCert | Part::kClientCertRequested |
                        Part::kCanRequestValue | Part::kCertByRedirect;

} // namespace

QORWebReqSSLSessQuestion::~QORWebReqSSLSessQuestion() {}

void QORWebReqSSLSessQuestion::setBit(int bit, bool on)
{
    m_flags.set(on ? (m_flags.get() | bit) : (m_flags.get() & ~bit));
}

void QORWebReqSSLSessQuestion::setID(const QORBuffer& id)
{
    m_id.set(id);
    setBit(kSessionID, true);
}

QORStatus QORWebReqSSLSessQuestion::getID(QORBuffer* id) const
{
    if ((getFlags() & kSessionID) == 0)
        return qor_s_not_available;
    id->set(m_id.get().getData(), m_id.get().getLen());
    return qor_s_ok;
}

void QORWebReqSSLSessQuestion::setCanRequestClientCert(bool can)
{
    m_canRequest.set(can ? 1 : 0);
    setBit(kCanRequestValue, true);
}

bool QORWebReqSSLSessQuestion::canRequestClientCert() const
{
    return (getFlags() & kCanRequestValue) == 0 || m_canRequest.get() != 0;
}

void QORWebReqSSLSessQuestion::setClientCert()
{
    setBit(kClientCert, true);
}

void QORWebReqSSLSessQuestion::setClientCertRequested(bool requested)
{
    setBit(kClientCertRequested, requested);
}

void QORWebReqSSLSessQuestion::setRequestCertByRedirect(bool byRedirect)
{
    setBit(kCertByRedirect, byRedirect);
}

template <class Cursor, class Self>
bool QORWebReqSSLSessQuestion::walk(Cursor& c, Self& self)
{
    if (!qor_msg_item(c, self.m_flags) || (self.m_flags.get() & ~kKnownFlags) != 0)
        return false;
    int flags = self.m_flags.get();
    return ((flags & kSessionID) == 0 || qor_msg_item(c, self.m_id)) &&
           ((flags & kCanRequestValue) == 0 || qor_msg_item(c, self.m_canRequest)) &&
           ((flags & kClientCert) == 0 || qor_msg_item(c, self.m_clientCert));
}

int QORWebReqSSLSessQuestion::marshal(unsigned char* buffer, int size) const
{
    QORMsgItemWriter w(buffer, size);
    walk(w, *this);
    return w.written();
}

int QORWebReqSSLSessQuestion::unmarshal(const unsigned char* buffer, int size)
{
    QORWebReqSSLSessQuestion read;
    QORMsgItemReader r(buffer, size);
    if (!walk(r, read))
        return 0;
    *this = read;
    return size - r.remaining();
}
