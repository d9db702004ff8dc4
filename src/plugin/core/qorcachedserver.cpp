// qorcachedserver.cpp: a server that knows only its virtual host ID.
#include "plugin/core/qorcachedserver.h"

QORStatus QORCachedServer::getVHostID(QORStringRef* id)
{
    *id = m_vhostID;
    return qor_s_ok;
}

QORStatus QORCachedServer::getName(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedServer::getPort(int*)
{
    return qor_s_not_supported;
}

QORStatus QORCachedServer::getPortString(QORStringRefT<char>*)
{
    return qor_s_not_supported;
}

void QORCachedServer::setVHostID(const QORStringRef& id)
{
    m_vhostID = id;
}
