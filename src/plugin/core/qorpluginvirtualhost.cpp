// qorpluginvirtualhost.cpp: a virtual host's settings and its protocol and ID
// match.
#include "plugin/core/qorpluginvirtualhost.h"

#include <cstring>

#include "plugin/core/qorpermmap.h"

QORPluginVirtualHost::QORPluginVirtualHost(QORAllocator* allocator)
    : m_id(allocator)
    , m_branch(allocator)
{
}

QORPluginVirtualHost::~QORPluginVirtualHost()
{
    setPermMap(nullptr);
}

QORStatus QORPluginVirtualHost::setID(const QORStringRef& id)
{
    return m_id.set(id) ? qor_s_ok : qor_s_no_memory;
}

QORStatus QORPluginVirtualHost::setBranch(const QORStringRef& branch)
{
    return m_branch.set(branch) ? qor_s_ok : qor_s_no_memory;
}

void QORPluginVirtualHost::setPermMap(QORPermMap* map)
{
    if (m_permMap != nullptr && m_permMap != map) {
        (void)m_permMap->shutdown(); // being deleted with its host
        qor_delete(m_permMap);
    }
    m_permMap = map;
}

bool QORPluginVirtualHost::match(const QORStringRef& id, bool secure) const
{
    if (!(secure ? isSecure() : isUnsecure()))
        return false;
    return id.length() == m_id.length() &&
           (id.length() == 0 ||
            memcmp(id.data(), m_id.data(), static_cast<size_t>(id.length())) == 0);
}
