// qorcachedserver.h: QORCachedServer, a server that knows only its virtual
// host ID, for requests an adapter builds without a live web-server request.
#pragma once
#include "plugin/core/qorserver.h"

class QORCachedServer : public QORServer {
public:
    QORCachedServer() = default;

    QORStatus getVHostID(QORStringRef* id) override;
    // qor_s_not_supported: a cached server has no name or port.
    QORStatus getName(QORStringRef* name) override;
    QORStatus getPort(int* port) override;
    QORStatus getPortString(QORStringRefT<char>* port) override;
    // Keeps a view of id, not a copy: the text must outlive the server.
    virtual void setVHostID(const QORStringRef& id);

private:
    QORStringRef m_vhostID;
};
