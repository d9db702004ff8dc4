// qorwebreqserverquestion.h: QORWebReqServerQuestion, the server part of a
// web request question: the virtual host and port the request arrived on.
//
// Encoding: i32 flags, then the present fields in this order: virtual host
// ID (QORProxyIFMsgString, flag 1), server name (QORProxyIFMsgString, 2),
// port (QORProxyIFMsgInt, 4).
#pragma once
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORWebReqServerQuestion {
public:
    enum {
        kVHostID = 0x1,
        kName = 0x2,
        kPort = 0x4,
    };

    QORWebReqServerQuestion() = default;
    virtual ~QORWebReqServerQuestion();

    // Each stores the value (a view for texts) and sets its flag.
    void setVHostID(const QORStringRef& id);
    void setName(const QORStringRef& name);
    void setPort(int port);
    // 0x35f02002 when the field is absent.
    QORStatus getVHostID(QORStringRef* id) const;
    QORStatus getName(QORStringRef* name) const;
    QORStatus getPort(int* port) const;

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
    QORProxyIFMsgString m_vhostID;
    QORProxyIFMsgString m_name;
    QORProxyIFMsgInt m_port;
};
