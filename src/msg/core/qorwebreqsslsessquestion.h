// qorwebreqsslsessquestion.h: QORWebReqSSLSessQuestion, the SSL part of a
// web request question: the session ID, whether a client certificate may
// be asked for, the certificate the client sent, and what has been asked
// of the client already.
//
// Encoding: i32 flags, then the present fields in this order: session ID
// (QORProxyIFMsgBuffer, flag 1), can-request value (QORProxyIFMsgInt, 8),
// certificate part (QORWebReqCertQuestion, 2). Flags 4 and 16 are values
// with nothing after them.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/core/qorwebreqcertquestion.h"

class QORWebReqSSLSessQuestion {
public:
    enum {
        kSessionID = 0x01,
        kClientCert = 0x02,
        // A client certificate has been asked for.
        kClientCertRequested = 0x04,
        kCanRequestValue = 0x08,
        // The certificate is to be asked for by redirect.
        kCertByRedirect = 0x10,
    };

    QORWebReqSSLSessQuestion() = default;
    virtual ~QORWebReqSSLSessQuestion();

    // Stores a view of the ID and sets its flag; getID gives 0x35f02002
    // when it is absent.
    void setID(const QORBuffer& id);
    QORStatus getID(QORBuffer* id) const;
    // Stores 0 or 1 and sets its flag; true when absent.
    void setCanRequestClientCert(bool can);
    bool canRequestClientCert() const;
    // Marks the certificate part present; fill it through getClientCert().
    void setClientCert();
    bool hasClientCert() const { return (getFlags() & kClientCert) != 0; }
    QORWebReqCertQuestion* getClientCert() { return &m_clientCert; }
    const QORWebReqCertQuestion* getClientCert() const { return &m_clientCert; }
    // The two value bits.
    void setClientCertRequested(bool requested);
    bool getClientCertRequested() const { return (getFlags() & kClientCertRequested) != 0; }
    void setRequestCertByRedirect(bool byRedirect);
    bool getRequestCertByRedirect() const { return (getFlags() & kCertByRedirect) != 0; }

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
    void setBit(int bit, bool on);

    QORProxyIFMsgInt m_flags;
    QORProxyIFMsgBuffer m_id;
    QORProxyIFMsgInt m_canRequest;
    QORWebReqCertQuestion m_clientCert;
};
