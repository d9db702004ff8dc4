// qorwebreqserverquestion.cpp: the server part of a web request question.
#include "msg/core/qorwebreqserverquestion.h"

#include "msg/core/qormsgitemcursor.h"

namespace {

const int kKnownFlags = QORWebReqServerQuestion::kVHostID | QORWebReqServerQuestion::kName |
                        QORWebReqServerQuestion::kPort;

} // namespace

QORWebReqServerQuestion::~QORWebReqServerQuestion() {}

void QORWebReqServerQuestion::setVHostID(const QORStringRef& id)
{
    m_vhostID.set(id);
    m_flags.set(m_flags.get() | kVHostID);
}

void QORWebReqServerQuestion::setName(const QORStringRef& name)
{
    m_name.set(name);
    m_flags.set(m_flags.get() | kName);
}

void QORWebReqServerQuestion::setPort(int port)
{
    m_port.set(port);
    m_flags.set(m_flags.get() | kPort);
}

QORStatus QORWebReqServerQuestion::getVHostID(QORStringRef* id) const
{
    return qor_msg_present_string(getFlags(), kVHostID, m_vhostID, id);
}

QORStatus QORWebReqServerQuestion::getName(QORStringRef* name) const
{
    return qor_msg_present_string(getFlags(), kName, m_name, name);
}

QORStatus QORWebReqServerQuestion::getPort(int* port) const
{
    if ((getFlags() & kPort) == 0)
        return qor_s_not_available;
    *port = m_port.get();
    return qor_s_ok;
}

template <class Cursor, class Self>
bool QORWebReqServerQuestion::walk(Cursor& c, Self& self)
{
    if (!qor_msg_item(c, self.m_flags) || (self.m_flags.get() & ~kKnownFlags) != 0)
        return false;
    int flags = self.m_flags.get();
    return ((flags & kVHostID) == 0 || qor_msg_item(c, self.m_vhostID)) &&
           ((flags & kName) == 0 || qor_msg_item(c, self.m_name)) &&
           ((flags & kPort) == 0 || qor_msg_item(c, self.m_port));
}

int QORWebReqServerQuestion::marshal(unsigned char* buffer, int size) const
{
    QORMsgItemWriter w(buffer, size);
    walk(w, *this);
    return w.written();
}

int QORWebReqServerQuestion::unmarshal(const unsigned char* buffer, int size)
{
    QORWebReqServerQuestion read;
    QORMsgItemReader r(buffer, size);
    if (!walk(r, read))
        return 0;
    *this = read;
    return size - r.remaining();
}
