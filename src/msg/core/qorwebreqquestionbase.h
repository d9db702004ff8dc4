// qorwebreqquestionbase.h: QORWebReqQuestionBase, the web request question
// that the plug-in sends for every request that needs a decision: what the
// request is (raw HTTP message, client address, URI, query ...), the server
// it came to and its SSL state, each part with a presence flag. The plug-in
// fills and writes it with QORWebReqQuestionMarshaller (msg/plugin); the
// server reads it with QORWebReqQuestionReader (msg/server). Both go through
// the layout of this class.
//
// Layout (elements in order):
//   1  QORProxyIFMsgInt flags (below)
//   2  the raw HTTP message as it is, the element length its byte count;
//      only with QOR_HTTP_MSG set and a non-empty message
//   3  the present texts among client IP address, URI, query, connection ID
//      and WSA user, in this order, back to back as QORProxyIFMsgString;
//      only when one of them is present
//   4  the server part (QORWebReqServerQuestion), with kServer
//   5  the SSL part (QORWebReqSSLSessQuestion), with kSSLSession
// A reader tells an empty HTTP message (flag set, no element) from a
// present one by the number of elements that follow the flags.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/core/qorwebreqserverquestion.h"
#include "msg/core/qorwebreqsslsessquestion.h"

// The flag bit that says the raw HTTP message of the request is in the
// question.
constexpr int QOR_HTTP_MSG = 0x020;

class QORWebReqQuestionBase : public QORProxyIFMessage {
public:
    // Flag bits. Presence flags say that a field follows; value bits carry
    // a yes or no of their own.
    enum {
        kClientIPAddress = 0x001,
        kURI = 0x002,
        kQuery = 0x004,
        kServer = 0x008,
        kSSLSession = 0x010,
        kHTTPMessage = QOR_HTTP_MSG,
        kConnectionID = 0x040,
        kWSARequested = 0x080,        // value
        kWSAUser = 0x100,
        kSubRequest = 0x200,          // value
        kBodyRequested = 0x400,       // value
        kWSAByRedirect = 0x800,       // value
        kKnownFlags = 0xfff,
    };

    QORWebReqQuestionBase() = default;
    ~QORWebReqQuestionBase() override;

    // The parts, for filling (the marshaller's also mark them present) and
    // for reading.
    virtual QORWebReqServerQuestion* getServer();
    virtual const QORWebReqServerQuestion* getServer() const;
    virtual QORWebReqSSLSessQuestion* getSSLSession();
    virtual const QORWebReqSSLSessQuestion* getSSLSession() const;

    // For a question made with new.
    void deleteMe() override;
    // Not supported here (0x35f02001): the subclasses read or write.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_web_req_question

    int getFlags() const { return m_flags.get(); }
    bool hasFlag(int bit) const { return (m_flags.get() & bit) != 0; }
    // The texts; 0x35f02002 when absent.
    QORStatus getClientIPAddress(QORStringRef* address) const;
    QORStatus getURI(QORStringRef* uri) const;
    QORStatus getQuery(QORStringRef* query) const;
    QORStatus getConnectionID(QORStringRef* id) const;
    QORStatus getWSAUser(QORStringRef* user) const;

protected:
    void setFlag(int bit, bool on);
    // Writes the elements of the layout, httpMessage as element 2. The
    // first failing allocation's status (0x35f0200c) is returned at once.
    QORStatus writeElements(QORSharedMemAllocator& alloc, const QORBuffer& httpMessage) const;
    // Reads the elements of the layout into the fields and *httpMessage (a
    // view into the region; empty when absent). A chain whose elements do
    // not match the flags, an element with more or less than its items, or
    // an unknown flag bit gives qor_s_msg_unmarshal_failed; a damaged chain
    // the iterator's status.
    QORStatus readElements(QORSharedMemIterator& it, QORBuffer* httpMessage);

private:
    // The texts of element 3 in their order, for reading and writing
    // (msg/core/qormsgitemcursor.h).
    template <class Cursor, class Self>
    static bool walkTexts(Cursor& c, Self& self);

protected:

    QORProxyIFMsgInt m_flags;
    QORProxyIFMsgString m_clientIPAddress;
    QORProxyIFMsgString m_uri;
    QORProxyIFMsgString m_query;
    QORWebReqServerQuestion m_server;
    QORWebReqSSLSessQuestion m_sslSession;
    QORProxyIFMsgString m_connectionID;
    QORProxyIFMsgString m_wsaUser;
};
