// qorwebreqquestionbase.cpp: the fields and the element layout of the web
// request question.
#include "msg/core/qorwebreqquestionbase.h"

#include <climits>
#include <cstring>

#include "msg/core/qormsgitemcursor.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

const int kTextFlags = QORWebReqQuestionBase::kClientIPAddress | QORWebReqQuestionBase::kURI |
                       QORWebReqQuestionBase::kQuery | QORWebReqQuestionBase::kConnectionID |
                       QORWebReqQuestionBase::kWSAUser;

// The elements after the flags: HTTP message, texts, server, SSL session.
const int kMaxElements = 4;

struct Element {
    unsigned int length;
    const unsigned char* data;
};

} // namespace

QORWebReqQuestionBase::~QORWebReqQuestionBase() {}

QORWebReqServerQuestion* QORWebReqQuestionBase::getServer()
{
    return &m_server;
}

const QORWebReqServerQuestion* QORWebReqQuestionBase::getServer() const
{
    return &m_server;
}

QORWebReqSSLSessQuestion* QORWebReqQuestionBase::getSSLSession()
{
    return &m_sslSession;
}

const QORWebReqSSLSessQuestion* QORWebReqQuestionBase::getSSLSession() const
{
    return &m_sslSession;
}

void QORWebReqQuestionBase::deleteMe()
{
    delete this;
}

QORStatus QORWebReqQuestionBase::unmarshal(QORSharedMemIterator&, void*)
{
    return qor_s_not_supported;
}

QORStatus QORWebReqQuestionBase::marshal(QORSharedMemAllocator&)
{
    return qor_s_not_supported;
}

int QORWebReqQuestionBase::getType() const
{
    return qor_msg_web_req_question;
}

QORStatus QORWebReqQuestionBase::getClientIPAddress(QORStringRef* address) const
{
    return qor_msg_present_string(getFlags(), kClientIPAddress, m_clientIPAddress, address);
}

QORStatus QORWebReqQuestionBase::getURI(QORStringRef* uri) const
{
    return qor_msg_present_string(getFlags(), kURI, m_uri, uri);
}

QORStatus QORWebReqQuestionBase::getQuery(QORStringRef* query) const
{
    return qor_msg_present_string(getFlags(), kQuery, m_query, query);
}

QORStatus QORWebReqQuestionBase::getConnectionID(QORStringRef* id) const
{
    return qor_msg_present_string(getFlags(), kConnectionID, m_connectionID, id);
}

QORStatus QORWebReqQuestionBase::getWSAUser(QORStringRef* user) const
{
    return qor_msg_present_string(getFlags(), kWSAUser, m_wsaUser, user);
}

void QORWebReqQuestionBase::setFlag(int bit, bool on)
{
    m_flags.set(on ? (m_flags.get() | bit) : (m_flags.get() & ~bit));
}

template <class Cursor, class Self>
bool QORWebReqQuestionBase::walkTexts(Cursor& c, Self& self)
{
    int flags = self.m_flags.get();
    return ((flags & kClientIPAddress) == 0 || qor_msg_item(c, self.m_clientIPAddress)) &&
           ((flags & kURI) == 0 || qor_msg_item(c, self.m_uri)) &&
           ((flags & kQuery) == 0 || qor_msg_item(c, self.m_query)) &&
           ((flags & kConnectionID) == 0 || qor_msg_item(c, self.m_connectionID)) &&
           ((flags & kWSAUser) == 0 || qor_msg_item(c, self.m_wsaUser));
}

QORStatus QORWebReqQuestionBase::writeElements(QORSharedMemAllocator& alloc,
                                               const QORBuffer& httpMessage) const
{
    int flags = getFlags();
    QORStatus st = qor_msg_write_element(alloc, m_flags);
    if (st == qor_s_ok && (flags & kHTTPMessage) != 0 && httpMessage.getLen() > 0) {
        void* data = nullptr;
        st = alloc.allocate(static_cast<unsigned int>(httpMessage.getLen()), &data);
        if (st == qor_s_ok)
            memcpy(data, httpMessage.getData(), static_cast<size_t>(httpMessage.getLen()));
    }
    if (st == qor_s_ok && (flags & kTextFlags) != 0)
        st = qor_msg_write_element_with(alloc, [this](QORMsgItemWriter& w) { walkTexts(w, *this); });
    if (st == qor_s_ok && (flags & kServer) != 0)
        st = qor_msg_write_element(alloc, m_server);
    if (st == qor_s_ok && (flags & kSSLSession) != 0)
        st = qor_msg_write_element(alloc, m_sslSession);
    return st;
}

QORStatus QORWebReqQuestionBase::readElements(QORSharedMemIterator& it, QORBuffer* httpMessage)
{
    httpMessage->set(nullptr, 0);
    // The flags, then every further element (one more than the layout has
    // room for is enough to refuse the chain).
    Element flagsElement = {0, nullptr};
    Element rest[kMaxElements + 1];
    int n = -1;
    while (it.hasMoreElements() && n < kMaxElements + 1) {
        unsigned int length = 0;
        void* data = nullptr;
        QORStatus st = it.getNextElement(&length, &data);
        if (st != qor_s_ok)
            return st;
        if (length > INT_MAX)
            return qor_s_msg_unmarshal_failed;
        Element& e = n < 0 ? flagsElement : rest[n];
        e.length = length;
        e.data = static_cast<const unsigned char*>(data);
        n++;
    }
    if (n < 0 || n > kMaxElements || !qor_msg_read_exactly(flagsElement.data, flagsElement.length, m_flags))
        return qor_s_msg_unmarshal_failed;
    int flags = m_flags.get();
    if ((flags & ~kKnownFlags) != 0)
        return qor_s_msg_unmarshal_failed;

    int expected = ((flags & kTextFlags) != 0) + ((flags & kServer) != 0) +
                   ((flags & kSSLSession) != 0);
    int next = 0;
    if ((flags & kHTTPMessage) != 0 && n == expected + 1) {
        httpMessage->set(rest[0].data, static_cast<int>(rest[0].length));
        next = 1;
    } else if (n != expected) {
        return qor_s_msg_unmarshal_failed;
    }
    if ((flags & kTextFlags) != 0) {
        QORMsgItemReader r(rest[next].data, static_cast<int>(rest[next].length));
        if (!walkTexts(r, *this) || !r.atEnd())
            return qor_s_msg_unmarshal_failed;
        next++;
    }
    if ((flags & kServer) != 0) {
        if (!qor_msg_read_exactly(rest[next].data, rest[next].length, m_server))
            return qor_s_msg_unmarshal_failed;
        next++;
    }
    if ((flags & kSSLSession) != 0 &&
        !qor_msg_read_exactly(rest[next].data, rest[next].length, m_sslSession))
        return qor_s_msg_unmarshal_failed;
    return qor_s_ok;
}
