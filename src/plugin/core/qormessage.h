// qormessage.h: QORMessage, what requests and responses have in common:
// their headers, and the points at which the web server is told that the
// headers or the body are complete. The order of the virtual operations is
// part of the adapter contract.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORMessage {
public:
    QORMessage() = default;
    QORMessage(const QORMessage&) = delete;
    QORMessage& operator=(const QORMessage&) = delete;
    virtual ~QORMessage();

    // The first value of header name, in UTF-8 or in the web server's code
    // page; qor_s_not_available when the header is absent.
    virtual QORStatus getUTF8Header(const QORStringRef& name, QORStringRef* value) = 0;
    virtual QORStatus getNCPHeader(const QORStringRef& name, QORNCPStringRef* value) = 0;
    // The next value of the header named in the last getUTF8Header or
    // getNCPHeader; qor_s_not_available when there is none.
    virtual QORStatus getNextUTF8Header(QORStringRef* value) = 0;
    virtual QORStatus getNextNCPHeader(QORNCPStringRef* value) = 0;
    // setHeader replaces every value of name; addHeader adds one more.
    virtual QORStatus setHeader(const QORStringRef& name,
                                const QORStringRefT<char>& value) = 0;
    virtual QORStatus addHeader(const QORStringRef& name,
                                const QORStringRefT<char>& value) = 0;
    // Defaults: qor_s_not_supported.
    virtual QORStatus finalizeHeader();
    virtual QORStatus finalizeBody();
    // The "Content-Length" header as a number; qor_s_invalid_argument when the value
    // has anything after its digits.
    virtual QORStatus getContentLength(unsigned int* length);

protected:
    // Null in the messages this library's constructors build.
    QORAllocator* m_allocator = nullptr;
};

QOR_EXPORT_END
