// qorserver.cpp: the port's text, made once per server.
#include "plugin/core/qorserver.h"

#include <cstdio>

QORServer::~QORServer() = default;

QORStatus QORServer::getPortString(QORStringRefT<char>* port)
{
    if (!(m_flags & kPortStringCached)) {
        int number = 0;
        QORStatus st = getPort(&number);
        if (st != qor_s_ok)
            return st;
        if (number < 1 || number > 65535)
            return qor_s_invalid_argument;
        char text[8];
        int n = snprintf(text, sizeof text, "%d", number);
        if (!m_portString.set(text, n))
            return qor_s_no_memory;
        m_flags |= kPortStringCached;
    }
    port->set(m_portString);
    return qor_s_ok;
}
