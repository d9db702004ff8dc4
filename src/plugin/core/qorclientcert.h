// qorclientcert.h: QORClientCert, the client certificate of an SSL session
// as far as the web request question needs it: three texts the adapter
// takes from its web server (or decodes with core/encoders/cert_decoder).
// The order of the virtual operations is part of the adapter contract.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORClientCert {
public:
    QORClientCert() = default;
    QORClientCert(const QORClientCert&) = delete;
    QORClientCert& operator=(const QORClientCert&) = delete;
    virtual ~QORClientCert();

    // UTF-8 texts; qor_s_not_available when the certificate does not give one.
    virtual QORStatus getIssuerDN(QORStringRef* dn) = 0;
    virtual QORStatus getSubjectDN(QORStringRef* dn) = 0;
    virtual QORStatus getSerialNumber(QORStringRef* serial) = 0;
};

QOR_EXPORT_END
