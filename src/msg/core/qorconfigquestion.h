// qorconfigquestion.h: QORConfigQuestion, the question by which the plug-in
// asks the authorization server for a piece of the configuration it holds
// (minimum POST sizes, flags, cache settings, virtual hosts). Its answer is a
// configuration answer (qorconfiganswerbase.h) whose commands carry the data.
//
// Layout: one element whose data is one QORProxyIFMsgInt, the request type.
#pragma once
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORConfigQuestion : public QORProxyIFMessage {
public:
    enum qor_config_req_msg_type_e {
        QOR_CONFIG_REQ_POST_URIS = 0,  // minimum POST data sizes
        QOR_CONFIG_REQ_FLAGS = 1,      // configuration flags
        QOR_CONFIG_REQ_URC = 2,        // unprotected resource cache settings
        QOR_CONFIG_REQ_VHOSTS = 3,     // virtual hosts and permission maps
    };
    // The value of a question whose type has not been set or read.
    static constexpr int kTypeNotSet = -1;

    QORConfigQuestion();
    explicit QORConfigQuestion(qor_config_req_msg_type_e type);
    ~QORConfigQuestion() override;

    // For a question made with new; one on the stack is never released.
    void deleteMe() override;
    // Reads the request type from the next element. The value is not
    // checked: a reader that acts on it must (isKnownType).
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Appends the one element; a failing reservation's status is returned.
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_config_question

    // The request type as sent or read (kTypeNotSet before either).
    int getRequestType() const { return m_type.get(); }
    void setRequestType(qor_config_req_msg_type_e type) { m_type.set(type); }
    static bool isKnownType(int type)
    {
        return type >= QOR_CONFIG_REQ_POST_URIS && type <= QOR_CONFIG_REQ_VHOSTS;
    }

private:
    QORProxyIFMsgInt m_type;
};
