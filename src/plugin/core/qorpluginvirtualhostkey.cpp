// qorpluginvirtualhostkey.cpp: the order in which a key compares with hosts.
#include "plugin/core/qorpluginvirtualhostkey.h"

#include <cstring>

#include "plugin/core/qorpluginvirtualhost.h"

namespace {

// Bytes over the shorter length, then the shorter first.
int compareIDs(const QORStringRef& a, const QORString& b)
{
    int la = a.length();
    int lb = b.length();
    int n = la < lb ? la : lb;
    int c = n > 0 ? memcmp(a.data(), b.data(), static_cast<size_t>(n)) : 0;
    if (c != 0)
        return c < 0 ? -1 : 1;
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

} // namespace

void QORPluginVirtualHostKey::initialize(QORStringRef& id, bool secure)
{
    m_id = &id;
    m_protocolGiven = true;
    m_secure = secure;
}

void QORPluginVirtualHostKey::initialize(QORStringRef& id)
{
    m_id = &id;
    m_protocolGiven = false;
    m_secure = false;
}

int QORPluginVirtualHostKey::compare(const QORPluginVirtualHost& host) const
{
    QORStringRef empty;
    const QORStringRef& id = m_id != nullptr ? *m_id : empty;
    if (m_protocolGiven && host.match(id, m_secure))
        return 0;
    int c = compareIDs(id, host.getID());
    if (c != 0 || !m_protocolGiven)
        return c;
    return m_secure ? 1 : -1;
}
