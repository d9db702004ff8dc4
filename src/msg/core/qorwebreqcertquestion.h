// qorwebreqcertquestion.h: QORWebReqCertQuestion, the client certificate
// part of a web request question: the three texts of the certificate the
// client sent, each with a presence flag.
//
// Encoding: i32 flags, then the present texts in this order, each a
// QORProxyIFMsgString: issuer DN (flag 1), subject DN (2), serial number (4).
#pragma once
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORWebReqCertQuestion {
public:
    enum {
        kIssuerDN = 0x1,
        kSubjectDN = 0x2,
        kSerialNumber = 0x4,
    };

    QORWebReqCertQuestion() = default;
    virtual ~QORWebReqCertQuestion();

    // Each stores a view of the text and sets its flag.
    void setIssuerDN(const QORStringRef& dn);
    void setSubjectDN(const QORStringRef& dn);
    void setSerialNumber(const QORStringRef& serial);
    // 0x35f02002 when the text is absent.
    QORStatus getIssuerDN(QORStringRef* dn) const;
    QORStatus getSubjectDN(QORStringRef* dn) const;
    QORStatus getSerialNumber(QORStringRef* serial) const;

    int getFlags() const { return m_flags.get(); }

    // As a data item: with a null buffer the encoded size; otherwise writes
    // the encoding (REQUIRES: size bytes of room at least) and returns its
    // size.
    int marshal(unsigned char* buffer, int size) const;
    // Reads the encoding from at most size bytes; the bytes consumed, or 0,
    // the part unchanged, when they do not hold it or the flags carry an
    // unknown bit.
    int unmarshal(const unsigned char* buffer, int size);

private:
    // The encoding, for reading and writing (qormsgitemcursor.h).
    template <class Cursor, class Self>
    static bool walk(Cursor& c, Self& self);

    QORProxyIFMsgInt m_flags;
    QORProxyIFMsgString m_issuerDN;
    QORProxyIFMsgString m_subjectDN;
    QORProxyIFMsgString m_serialNumber;
};
