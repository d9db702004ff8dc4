// qorsslsession.h: QORSSLSession, the SSL state of an HTTPS request: its
// session ID, its client certificate and whether one may be asked for. The
// order of the virtual operations is part of the adapter contract.
#pragma once
#include <memory>

#include "core/buffers/qorbuffer.h"
#include "core/system/qorstatus.h"
#include "plugin/core/qorclientcert.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORSSLSession {
public:
    QORSSLSession() = default;
    QORSSLSession(const QORSSLSession&) = delete;
    QORSSLSession& operator=(const QORSSLSession&) = delete;
    // Deletes the client certificate.
    virtual ~QORSSLSession();

    // Default qor_s_not_supported.
    virtual QORStatus getID(QORBuffer* id);
    // Default true.
    virtual bool canRequestClientCert();
    // Asks the client for a certificate. Besides 0: qor_s_not_available (asked, the
    // answer comes later), qor_s_transitional_rsp (a transitional response was set),
    // qor_s_requires_continue (carry on with the request). Default qor_s_not_supported.
    virtual QORStatus requestClientCert();
    // Default false.
    virtual bool requestCertByRedirect();

    // Null when the client sent none. The session owns it: adoptClientCert
    // takes one over, deleting any previous one.
    QORClientCert* clientCert() const { return m_clientCert; }
    void adoptClientCert(std::unique_ptr<QORClientCert> cert);
    // Set when the authorization server asked for a client certificate.
    bool clientCertRequested() const { return m_clientCertRequested; }
    void setClientCertRequested(bool requested) { m_clientCertRequested = requested; }

protected:
    QORClientCert* m_clientCert = nullptr;
    bool m_clientCertRequested = false;
};

QOR_EXPORT_END
