// qorsslsession.cpp: defaults of the SSL session's optional operations.
#include "plugin/core/qorsslsession.h"

QORSSLSession::~QORSSLSession()
{
    delete m_clientCert;
}

QORStatus QORSSLSession::getID(QORBuffer*)
{
    return qor_s_not_supported;
}

bool QORSSLSession::canRequestClientCert()
{
    return true;
}

QORStatus QORSSLSession::requestClientCert()
{
    return qor_s_not_supported;
}

bool QORSSLSession::requestCertByRedirect()
{
    return false;
}

void QORSSLSession::adoptClientCert(std::unique_ptr<QORClientCert> cert)
{
    delete m_clientCert;
    m_clientCert = cert.release();
}
