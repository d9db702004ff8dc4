// qorpemclientcert.h: QORPEMClientCert, the client certificate of a web
// server that hands it out as PEM text (mod_ssl's SSL_CLIENT_CERT, nginx's
// $ssl_client_raw_cert): its three texts decoded once by the certificate
// decoder and kept until the certificate is deleted. Every such adapter
// uses it rather than decoding the text itself.
#pragma once
#include <cstddef>
#include <memory>

#include "core/encoders/cert_decoder/qorcertdecoder.h"
#include "plugin/core/qorclientcert.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORPEMClientCert : public QORClientCert {
public:
    // The certificate of length bytes of PEM text; null when they do not
    // decode or memory runs out.
    static std::unique_ptr<QORPEMClientCert> decode(const char* pem, size_t length);
    ~QORPEMClientCert() override;

    QORStatus getIssuerDN(QORStringRef* dn) override;
    QORStatus getSubjectDN(QORStringRef* dn) override;
    QORStatus getSerialNumber(QORStringRef* serial) override;

private:
    QORPEMClientCert() = default;

    qor_decoded_certificate m_decoded{};
};
QOR_EXPORT_END
