// qorpemclientcert.cpp: a client certificate decoded from PEM text.
#include "plugin/core/qorpemclientcert.h"

#include <new>

std::unique_ptr<QORPEMClientCert> QORPEMClientCert::decode(const char* pem, size_t length)
{
    std::unique_ptr<QORPEMClientCert> cert(new (std::nothrow) QORPEMClientCert());
    if (cert == nullptr || qor_decode_pem_certificate(pem, length, nullptr, &cert->m_decoded) != 1)
        return nullptr;
    return cert;
}

QORPEMClientCert::~QORPEMClientCert()
{
    qor_free_decoded_certificate(&m_decoded, nullptr);
}

QORStatus QORPEMClientCert::getIssuerDN(QORStringRef* dn)
{
    dn->set(m_decoded.issuer);
    return qor_s_ok;
}

QORStatus QORPEMClientCert::getSubjectDN(QORStringRef* dn)
{
    dn->set(m_decoded.subject);
    return qor_s_ok;
}

QORStatus QORPEMClientCert::getSerialNumber(QORStringRef* serial)
{
    serial->set(m_decoded.serialNumber);
    return qor_s_ok;
}
