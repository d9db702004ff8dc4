// qormessage.cpp: defaults shared by requests and responses.
#include "plugin/core/qormessage.h"

#include "core/buffers/qorstrtol.h"
#include "core/http/qorhttp.h"

QORMessage::~QORMessage() = default;

QORStatus QORMessage::finalizeHeader()
{
    return qor_s_not_supported;
}

QORStatus QORMessage::finalizeBody()
{
    return qor_s_not_supported;
}

QORStatus QORMessage::getContentLength(unsigned int* length)
{
    QORStringRef value;
    QORStatus st = getUTF8Header(qor_hdr_content_length, &value);
    if (st != qor_s_ok)
        return st;
    int end = 0;
    *length = static_cast<unsigned int>(qor_strtoul(value, &end, 0));
    // Only the whole value is a length: "12abc" is not 12.
    if (end != value.length())
        return qor_s_invalid_argument;
    return qor_s_ok;
}
