// qorwebrspquestion.h: QORWebRspQuestion, the web response question: the
// response the web server is about to send, for an authorization server
// that wants to see it. The plug-in writes it (QORCore::handleRsp), the
// server reads it with the same class.
//
// Layout: four elements of one item each, in this order: the raw HTTP
// response (QORProxyIFMsgBuffer), the virtual host ID (QORProxyIFMsgString),
// the session ID (QORProxyIFMsgString), is-secure (QORProxyIFMsgInt).
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORWebRspQuestion : public QORProxyIFMessage {
public:
    QORWebRspQuestion() = default;
    ~QORWebRspQuestion() override;

    // The setters keep views of the caller's bytes; the getters return 0.
    void setHTTPBuffer(const QORBuffer& buffer);
    QORStatus getHTTPBuffer(QORBuffer* buffer) const;
    void setVHostID(const QORStringRef& id);
    QORStatus getVHostID(QORStringRef* id) const;
    void setSessionID(const QORStringRef& id);
    QORStatus getSessionID(QORStringRef* id) const;
    void setIsSecure(int secure);
    QORStatus isSecure(int* secure) const;

    // For a question made with new.
    void deleteMe() override;
    // Reads the four elements; the first failing getNextElement status, or
    // qor_s_msg_unmarshal_failed for a missing element or one that holds
    // more or less than its item. The views point into the region.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Writes the four elements; the first failing allocation's status.
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_web_rsp_question

private:
    QORProxyIFMsgBuffer m_httpBuffer;
    QORProxyIFMsgString m_vhostID;
    QORProxyIFMsgString m_sessionID;
    QORProxyIFMsgInt m_isSecure;
};
