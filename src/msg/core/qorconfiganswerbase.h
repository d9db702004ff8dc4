// qorconfiganswerbase.h: QORConfigAnswerBase, the configuration answer that
// the authorization server sends back for a configuration question: a count
// of commands followed by the commands, each carrying one piece of the
// configuration. The plug-in reads it with QORConfigAnswerUnmarshaller
// (msg/plugin), the server writes it with QORConfigAnswerWriter (msg/server).
//
// Layout (elements in order):
//   1        QORProxyIFMsgInt: the command count (informative only; readers
//            read commands until the chain ends)
//   2 ...    commands. Each starts a new element with a QORProxyIFMsgInt
//            command identifier followed, in the same element, by its first
//            data item:
//     0 post URI      QORProxyIFMsgNameInt (name, minimum size)
//     1 flag          QORProxyIFMsgNameInt (name, flags)
//     2 cache         QORProxyIFMsgInt enabled; when nonzero one more element
//                     with a QORProxyIFMsgInt poll interval (seconds)
//     3 host list     QORProxyIFMsgInt host count n; then per host, each item
//                     in an element of its own: QORProxyIFMsgString ID,
//                     QORProxyIFMsgString branch, QORProxyIFMsgInt flags,
//                     QORProxyIFMsgInt map size m (>= 1), and m elements of
//                     one QORProxyIFMsgNameValue (method, action group list
//                     text) each, the first named "<default>".
#pragma once
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"

// Command identifiers: each equals the request type that asks for its data.
enum qor_config_cmd_e {
    qor_config_cmd_post_uri = 0,
    qor_config_cmd_flag = 1,
    qor_config_cmd_urc = 2,
    qor_config_cmd_vhost_list = 3,
};

enum : QORStatusCode {
    // An unknown command identifier (0x35f0201a, XLTIC0026E); logged first
    // as qor_s_config_invalid_command_msg with the identifier.
    qor_s_config_invalid_command = QOR_MSG_ID(26),
    qor_s_config_invalid_command_msg = QOR_MSG_ID(0x296),  // XLTIC0662E, %#x
};
// An element that does not hold the item it must, or a count, size or name
// that the answer cannot carry, gives qor_s_msg_unmarshal_failed.

// The name of the first pair of a permission map: the default permissions.
extern const char kQORConfigDefaultPermsName[];  // "<default>"

class QORConfigAnswerBase : public QORProxyIFMessage {
public:
    QORConfigAnswerBase() = default;
    ~QORConfigAnswerBase() override;

    // For an answer made with new.
    void deleteMe() override;
    // Both do nothing and return 0: the subclasses read or write.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_config_answer

    int getNumCmds() const { return m_numCmds.get(); }

protected:
    QORProxyIFMsgInt m_numCmds;
};
