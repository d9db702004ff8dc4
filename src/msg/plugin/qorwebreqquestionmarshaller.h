// qorwebreqquestionmarshaller.h: QORWebReqQuestionMarshaller, the web
// request question as the plug-in builds it from a transaction: marshal()
// gathers what the request, its server and its SSL session can tell and
// writes the question into the request area of a worker buffer. Everything
// is kept as views of the transaction's data; nothing is allocated.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorwebreqquestionbase.h"

class QORTransaction;

class QORWebReqQuestionMarshaller : public QORWebReqQuestionBase {
public:
    // The transaction must outlive the question; its request is required
    // by marshal.
    explicit QORWebReqQuestionMarshaller(QORTransaction* transaction);
    ~QORWebReqQuestionMarshaller() override;

    // Each sets its presence flag and keeps a view.
    void setClientIPAddress(const QORStringRef& address);
    void setURI(const QORStringRef& uri);
    void setQuery(const QORStringRef& query);
    void setConnectionID(const QORStringRef& id);
    void setWSAUser(const QORStringRef& user);
    // Once per question (a second call stops the process). An empty
    // message sets the flag but writes no element.
    void setHTTPMessage(const QORBuffer& message);
    // Value bits, set or cleared.
    void setIsSubRequest(bool on);
    void setRequestWSAByRedirect(bool on);
    void setWSARequested(bool on);
    void setBodyHasBeenRequested(bool on);

    // Mark their part present before returning it.
    QORWebReqServerQuestion* getServer() override;
    QORWebReqSSLSessQuestion* getSSLSession() override;
    using QORWebReqQuestionBase::getServer;
    using QORWebReqQuestionBase::getSSLSession;

    // Not supported (0x35f02001): the plug-in never reads a question.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Gathers the request's data (on the first call), then writes the
    // question into alloc.
    // Data the request cannot give is left out; the HTTP message, client
    // address and URI are logged through the transaction when missing
    // (XLTIC0643E to XLTIC0645E). A failing getSecurity (XLTIC0646E), or a
    // secure request without SSL session (XLTIC0647E, 0x35f02002), ends
    // marshal with that status; so does a full area (0x35f0200c).
    QORStatus marshal(QORSharedMemAllocator& alloc) override;

    const QORBuffer& getHTTPMessage() const { return m_httpMessage; }

private:
    QORStatus gather();
    void logFailure(int messageID, QORStatus status);

    QORTransaction* m_transaction;
    QORBuffer m_httpMessage;
    bool m_gathered = false;
};
