// qorserver.h: QORServer, the server (virtual host and port) a request
// arrived on. The adapter implements the three getters; the library keeps
// the port's text, made once. The order of the virtual operations is part
// of the adapter contract.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORServer {
public:
    QORServer() = default;
    QORServer(const QORServer&) = delete;
    QORServer& operator=(const QORServer&) = delete;
    virtual ~QORServer();

    // The ID of the virtual host as configured in the web server.
    virtual QORStatus getVHostID(QORStringRef* id) = 0;
    // The host name for URLs.
    virtual QORStatus getName(QORStringRef* name) = 0;
    // 1 to 65535.
    virtual QORStatus getPort(int* port) = 0;
    // The port in decimal, made once; qor_s_invalid_argument for a port outside 1 to
    // 65535. The view stays valid as long as the server.
    virtual QORStatus getPortString(QORStringRefT<char>* port);

protected:
    static const unsigned char kPortStringCached = 0x01;

    unsigned char m_flags = 0;
    QORString m_portString;
};

QOR_EXPORT_END
