// qorresponse.cpp: the keep-alive header and the defaults of the response's
// optional operations.
#include "plugin/core/qorresponse.h"

#include "core/http/qorhttp.h"

QORResponse::~QORResponse() = default;

QORStatus QORResponse::getUTF8Header(const QORStringRef&, QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getNCPHeader(const QORStringRef&, QORNCPStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getNextUTF8Header(QORStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getNextNCPHeader(QORNCPStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getCookie(const QORStringRef&, QORNCPStringRef*, QORNCPStringRef*,
                                 QORNCPStringRef*, QORNCPStringRef*, QORNCPStringRef*,
                                 int*, int*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getBody(QORBuffer*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getHTTPBuffer(QORBuffer*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getCode(int*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::getSubCode(int*)
{
    return qor_s_not_available;
}

QORStatus QORResponse::setSubCode(int)
{
    return qor_s_ok;
}

QORStatus QORResponse::getContentType(QORNCPStringRef*)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::setKeepAlive()
{
    // A view per call: views cache a terminated copy and their length, so
    // one shared between request threads would be written by them.
    const QORStringRef keepAlive("Keep-Alive");
    QORStatus st = setHeader(qor_hdr_connection, keepAlive);
    if (st == qor_s_ok)
        m_keepAlive = true;
    return st;
}

QORStatus QORResponse::setCaptureRsp(const QORStringRef&, const QORStringRef&,
                                     const QORStringRef&, int)
{
    return qor_s_not_supported;
}

QORStatus QORResponse::beginNew()
{
    return qor_s_ok;
}

QORStatus QORResponse::setBodyToDefault()
{
    return qor_s_ok;
}

QORStatus QORResponse::setSessionID(const QORStringRef& id)
{
    return m_sessionID.set(id) ? qor_s_ok : qor_s_no_memory;
}
