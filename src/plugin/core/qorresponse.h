// qorresponse.h: QORResponse, the response of a web transaction under
// construction. The adapter implements the pure operations; the library
// sets the keep-alive header and supplies the defaults of the optional
// operations (qor_s_not_supported unsupported, qor_s_not_available
// absent). The order of the virtual operations is part of the adapter
// contract.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstring.h"
#include "plugin/core/qormessage.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORResponse : public QORMessage {
public:
    QORResponse() = default;
    ~QORResponse() override;

    // A response's headers are not read back: qor_s_not_supported.
    QORStatus getUTF8Header(const QORStringRef& name, QORStringRef* value) override;
    QORStatus getNCPHeader(const QORStringRef& name, QORNCPStringRef* value) override;
    QORStatus getNextUTF8Header(QORStringRef* value) override;
    QORStatus getNextNCPHeader(QORNCPStringRef* value) override;

    // The cookie parameters beyond the name are the adapter's to define; the
    // library does not call getCookie or setCookie. Default qor_s_not_supported.
    virtual QORStatus getCookie(const QORStringRef& name, QORNCPStringRef* value,
                                QORNCPStringRef* path, QORNCPStringRef* domain,
                                QORNCPStringRef* expires, QORNCPStringRef* version,
                                int* secure, int* maxAge);
    virtual QORStatus setCookie(const QORStringRef& name,
                                const QORStringRefT<char>& value,
                                const QORStringRefT<char>* path,
                                const QORStringRefT<char>* domain, int flags) = 0;
    virtual QORStatus getBody(QORBuffer* body);
    // The raw response; adapters that support QORCore::handleRsp implement
    // it. Default qor_s_not_supported.
    virtual QORStatus getHTTPBuffer(QORBuffer* buffer);
    virtual QORStatus appendBody(const QORBuffer& piece) = 0;
    virtual QORStatus setBodyFromFile(const char* fileName) = 0;
    virtual QORStatus getCode(int* code);
    // The HTTP status code.
    virtual QORStatus setCode(int code) = 0;
    // Default qor_s_not_available.
    virtual QORStatus getSubCode(int* subCode);
    // Default 0.
    virtual QORStatus setSubCode(int subCode);
    virtual QORStatus getContentType(QORNCPStringRef* type);
    virtual QORStatus setContentType(const QORStringRef& type) = 0;
    // Sets "Connection: Keep-Alive" and, when that worked, remembers it.
    virtual QORStatus setKeepAlive();
    // Called with true when the result becomes qor_send_default_rsp_to_client.
    virtual QORStatus setUseDefaultResponse(bool useDefault) = 0;
    virtual QORStatus setCaptureRsp(const QORStringRef& id, const QORStringRef& vhostID,
                                    const QORStringRef& uri, int security);
    // Start again from an empty response; default 0.
    virtual QORStatus beginNew();
    // Default 0.
    virtual QORStatus setBodyToDefault();

    bool isKeepAlive() const { return m_keepAlive; }
    // Sent with the response question; set by the adapter.
    const QORString& getSessionID() const { return m_sessionID; }
    QORStatus setSessionID(const QORStringRef& id);

protected:
    bool m_keepAlive = false;
    // Free for the adapter: whether the default response is to be sent, and
    // the status code it set. The library does not read them.
    bool m_useDefaultResponse = false;
    int m_code = 0;
    QORString m_sessionID;
};

QOR_EXPORT_END
