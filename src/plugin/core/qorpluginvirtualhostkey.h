// qorpluginvirtualhostkey.h: QORPluginVirtualHostKey, what a request looks a
// virtual host up by: the ID the web server reported and, when known, whether
// the request came over HTTPS.
#pragma once
#include "core/buffers/qorstringref.h"

class QORPluginVirtualHost;

class QORPluginVirtualHostKey {
public:
    QORPluginVirtualHostKey() = default;

    // The key views id, which must outlive it.
    // With a protocol: the host must accept HTTPS (secure) or HTTP.
    void initialize(QORStringRef& id, bool secure);
    // Without a protocol: only the ID counts.
    void initialize(QORStringRef& id);

    // 0 when host is the one sought. Otherwise an order: the three-way
    // comparison of the IDs (bytes over the shorter length, then the shorter
    // first) and, for a host with this ID that refuses the key's protocol,
    // 1 for a secure key and -1 for a plain one.
    int compare(const QORPluginVirtualHost& host) const;

    const QORStringRef* getID() const { return m_id; }
    bool isProtocolGiven() const { return m_protocolGiven; }
    bool isSecure() const { return m_secure; }

private:
    QORStringRef* m_id = nullptr;
    bool m_protocolGiven = false;
    bool m_secure = false;
};
