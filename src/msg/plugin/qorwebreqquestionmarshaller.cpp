// qorwebreqquestionmarshaller.cpp: the web request question built from a
// transaction.
#include "msg/plugin/qorwebreqquestionmarshaller.h"

#include "core/system/qorassert.h"
#include "msg/plugin/qortranslog.h"
#include "plugin/core/qorclientcert.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qorsslsession.h"
#include "plugin/core/qortransaction.h"

namespace {

enum : int {
    kMsgHTTPBuffer = QOR_MSG_ID(0x283),       // XLTIC0643E
    kMsgClientIP = QOR_MSG_ID(0x284),         // XLTIC0644E
    kMsgURI = QOR_MSG_ID(0x285),              // XLTIC0645E
    kMsgSecurityLevel = QOR_MSG_ID(0x286),    // XLTIC0646E
    kMsgSecurityInfo = QOR_MSG_ID(0x287),     // XLTIC0647E
};

} // namespace

QORWebReqQuestionMarshaller::QORWebReqQuestionMarshaller(QORTransaction* transaction)
    : m_transaction(transaction)
{
}

QORWebReqQuestionMarshaller::~QORWebReqQuestionMarshaller() {}

void QORWebReqQuestionMarshaller::setClientIPAddress(const QORStringRef& address)
{
    m_clientIPAddress.set(address);
    setFlag(kClientIPAddress, true);
}

void QORWebReqQuestionMarshaller::setURI(const QORStringRef& uri)
{
    m_uri.set(uri);
    setFlag(kURI, true);
}

void QORWebReqQuestionMarshaller::setQuery(const QORStringRef& query)
{
    m_query.set(query);
    setFlag(kQuery, true);
}

void QORWebReqQuestionMarshaller::setConnectionID(const QORStringRef& id)
{
    m_connectionID.set(id);
    setFlag(kConnectionID, true);
}

void QORWebReqQuestionMarshaller::setWSAUser(const QORStringRef& user)
{
    m_wsaUser.set(user);
    setFlag(kWSAUser, true);
}

void QORWebReqQuestionMarshaller::setHTTPMessage(const QORBuffer& message)
{
    QOR_ASSERT(!hasFlag(kHTTPMessage));
    m_httpMessage.set(message.getData(), message.getLen());
    setFlag(kHTTPMessage, true);
}

void QORWebReqQuestionMarshaller::setIsSubRequest(bool on)
{
    setFlag(kSubRequest, on);
}

void QORWebReqQuestionMarshaller::setRequestWSAByRedirect(bool on)
{
    setFlag(kWSAByRedirect, on);
}

void QORWebReqQuestionMarshaller::setWSARequested(bool on)
{
    setFlag(kWSARequested, on);
}

void QORWebReqQuestionMarshaller::setBodyHasBeenRequested(bool on)
{
    setFlag(kBodyRequested, on);
}

QORWebReqServerQuestion* QORWebReqQuestionMarshaller::getServer()
{
    setFlag(kServer, true);
    return QORWebReqQuestionBase::getServer();
}

QORWebReqSSLSessQuestion* QORWebReqQuestionMarshaller::getSSLSession()
{
    setFlag(kSSLSession, true);
    return QORWebReqQuestionBase::getSSLSession();
}

QORStatus QORWebReqQuestionMarshaller::unmarshal(QORSharedMemIterator&, void*)
{
    return qor_s_not_supported;
}

void QORWebReqQuestionMarshaller::logFailure(int messageID, QORStatus status)
{
    qor_trans_log_status(m_transaction, messageID, status);
}

QORStatus QORWebReqQuestionMarshaller::gather()
{
    QOR_ASSERT(m_transaction != nullptr && m_transaction->m_request != nullptr);
    QORRequest& req = *m_transaction->m_request;

    QORBuffer http;
    QORStatus st = req.getHTTPBuffer(&http);
    if (st == qor_s_ok)
        setHTTPMessage(http);
    else
        logFailure(kMsgHTTPBuffer, st);

    QORStringRef text;
    st = req.getClientIP(text);
    if (st == qor_s_ok)
        setClientIPAddress(text);
    else
        logFailure(kMsgClientIP, st);

    st = req.getURI(&text);
    if (st == qor_s_ok)
        setURI(text);
    else
        logFailure(kMsgURI, st);

    if (req.getQuery(&text) == qor_s_ok)
        setQuery(text);
    if (req.getConnectionID(&text) == qor_s_ok)
        setConnectionID(text);
    setBodyHasBeenRequested(req.bodyRequested());
    bool wsaRequested = false;
    if (req.getWSARequested(wsaRequested) == qor_s_ok)
        setWSARequested(wsaRequested);
    if (req.getWSAUser(&text) == qor_s_ok)
        setWSAUser(text);
    setRequestWSAByRedirect(req.requestWSAByRedirect());
    setIsSubRequest(req.isSubRequest());

    if (req.server() != nullptr) {
        QORServer& server = *req.server();
        int port = 0;
        if (server.getVHostID(&text) == qor_s_ok)
            getServer()->setVHostID(text);
        if (server.getName(&text) == qor_s_ok)
            getServer()->setName(text);
        if (server.getPort(&port) == qor_s_ok)
            getServer()->setPort(port);
    }

    int security = 0;
    st = req.getSecurity(&security);
    if (st != qor_s_ok) {
        logFailure(kMsgSecurityLevel, st);
        return st;
    }
    if (security == 0)
        return qor_s_ok;

    QORSSLSession* session = req.sslSession();
    if (session == nullptr) {
        logFailure(kMsgSecurityInfo, qor_s_not_available);
        return qor_s_not_available;
    }
    QORWebReqSSLSessQuestion* ssl = getSSLSession();
    QORBuffer id;
    if (session->getID(&id) == qor_s_ok)
        ssl->setID(id);
    ssl->setCanRequestClientCert(session->canRequestClientCert());
    if (QORClientCert* cert = session->clientCert()) {
        QORWebReqCertQuestion* part = ssl->getClientCert();
        if (cert->getIssuerDN(&text) == qor_s_ok) {
            part->setIssuerDN(text);
            ssl->setClientCert();
        }
        if (cert->getSubjectDN(&text) == qor_s_ok) {
            part->setSubjectDN(text);
            ssl->setClientCert();
        }
        if (cert->getSerialNumber(&text) == qor_s_ok) {
            part->setSerialNumber(text);
            ssl->setClientCert();
        }
    }
    ssl->setClientCertRequested(session->clientCertRequested());
    ssl->setRequestCertByRedirect(session->requestCertByRedirect());
    return qor_s_ok;
}

QORStatus QORWebReqQuestionMarshaller::marshal(QORSharedMemAllocator& alloc)
{
    if (!m_gathered) {
        QORStatus st = gather();
        if (st != qor_s_ok)
            return st;
        m_gathered = true;
    }
    return writeElements(alloc, m_httpMessage);
}
