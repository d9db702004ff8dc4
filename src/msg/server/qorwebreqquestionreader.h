// qorwebreqquestionreader.h: QORWebReqQuestionReader, the authorization
// server's reader of a web request question (layout in
// msg/core/qorwebreqquestionbase.h). After unmarshal, the base's getters
// and parts give what the plug-in sent, as views into the request area.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorwebreqquestionbase.h"

class QORWebReqQuestionReader : public QORWebReqQuestionBase {
public:
    QORWebReqQuestionReader() = default;
    ~QORWebReqQuestionReader() override;

    // Reads the question; context is not used. The request area comes from
    // the plug-in and is checked as it is read: elements that do not match
    // the flags, an element with more or less than its items, or an unknown
    // flag bit give qor_s_msg_unmarshal_failed; a damaged chain the
    // iterator's status.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;

    // The raw HTTP message; 0x35f02002 when the plug-in had none (with
    // QOR_HTTP_MSG set and no element, an empty message).
    QORStatus getHTTPMessage(QORBuffer* message) const;

private:
    QORBuffer m_httpMessage;
};
