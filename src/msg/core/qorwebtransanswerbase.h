// qorwebtransanswerbase.h: QORWebTransAnswerBase, the authorization server's
// answer to a web request or web response question: a result code that
// tells the plug-in how to go on, and a list of commands that change the
// request or the response (headers, URI, body, response code ...). The
// plug-in reads it with QORWebTransAnswerUnmarshaller (msg/plugin), which
// applies each command to the transaction; the server writes it with
// QORWebTransAnswerWriter (msg/server).
//
// Layout (elements in order):
//   1       QORProxyIFMsgInt result code (qor_proxy_rsp_code_e, 0 to 5),
//           QORProxyIFMsgInt command count (carried, not used to stop:
//           readers read commands until the chain ends)
//   2 ...   one element per command: QORProxyIFMsgInt command identifier,
//           then the command's data item (getCmdData), nothing else.
#pragma once
#include "core/buffers/qorstringref.h"
#include "core/system/qorproxyrspcode.h"
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"

enum : QORStatusCode {
    // The transaction lacks its request or response (XLTIC0024E).
    qor_s_invalid_transaction = QOR_MSG_ID(0x18),
    // A command the plug-in knows but does not carry out (XLTIC0025E).
    qor_s_unsupported_command = QOR_MSG_ID(0x19),
    // A command identifier outside the table, or a marker (XLTIC0026E).
    qor_s_invalid_command = QOR_MSG_ID(0x1a),
};

class QORWebTransAnswerBase : public QORProxyIFMessage {
public:
    // The result codes, members of the answer as adapters and the server
    // name them (QORWebTransAnswerBase::qor_continue). The enum itself is
    // defined in core/system, so that the transaction model, below the
    // messages, uses the same type.
    typedef ::qor_proxy_rsp_code_e qor_proxy_rsp_code_e;
    static constexpr qor_proxy_rsp_code_e qor_severe_error = ::qor_severe_error;
    static constexpr qor_proxy_rsp_code_e qor_continue = ::qor_continue;
    static constexpr qor_proxy_rsp_code_e qor_continue_uninteresting =
        ::qor_continue_uninteresting;
    static constexpr qor_proxy_rsp_code_e qor_send_rsp_to_client = ::qor_send_rsp_to_client;
    static constexpr qor_proxy_rsp_code_e qor_send_default_rsp_to_client =
        ::qor_send_default_rsp_to_client;
    static constexpr qor_proxy_rsp_code_e qor_require_more_body_data =
        ::qor_require_more_body_data;
    static constexpr qor_proxy_rsp_code_e qor_max_proxy_rsp_code = ::qor_max_proxy_rsp_code;

    // Command identifiers. 10 to 19 are unassigned; 20 only separates the
    // request commands from the response commands.
    enum qor_proxy_rsp_cmds_e {
        qor_req_add_header = 0,
        qor_req_set_header = 1,
        qor_req_remove_header = 2,
        qor_req_set_method = 3,
        qor_req_set_uri = 4,
        qor_req_set_version = 5,
        qor_req_set_query = 6,
        qor_req_set_body = 7,
        qor_req_set_web_log_user = 8,
        qor_req_get_body = 9,
        qor_first_response_code = 20,
        qor_rsp_add_header = 21,
        qor_rsp_set_header = 22,
        qor_rsp_remove_header = 23,
        qor_rsp_set_response_code = 24,
        qor_rsp_set_body = 25,
        qor_rsp_set_body_from_file = 26,
        qor_rsp_remove_cookie = 27,
        qor_rsp_set_content_type = 28,
        qor_rsp_req_client_cert = 29,
        qor_rsp_set_keep_alive = 30,
        qor_rsp_set_trace_level = 31,
        qor_rsp_clear_existing_body = 32,
        qor_rsp_req_wsa = 33,
        qor_rsp_capture_rsp = 34,
        qor_rsp_begin_new_rsp = 35,
        qor_rsp_set_body_to_default = 36,
        qor_rsp_set_response_sub_code = 37,
        qor_rsp_urc_version = 38,
        qor_max_proxy_rsp_cmd = 39,
    };

    // The data item that follows a command's identifier in its element.
    enum qor_cmd_data_e {
        qor_cmd_data_none,         // nothing
        qor_cmd_data_int,          // QORProxyIFMsgInt
        qor_cmd_data_string,       // QORProxyIFMsgString
        qor_cmd_data_buffer,       // QORProxyIFMsgBuffer
        qor_cmd_data_name_value,   // QORProxyIFMsgNameValue
        qor_cmd_data_string_list,  // QORProxyIFMsgStringList
    };

    // How the plug-in treats a command identifier.
    enum qor_cmd_kind_e {
        qor_cmd_applied,      // carried out
        qor_cmd_unsupported,  // refused with qor_s_unsupported_command
        qor_cmd_invalid,      // refused with qor_s_invalid_command
    };

    // Entries of the two name tables: result codes 0 to 6 (6, the bound,
    // included) and commands 0 to 39.
    static constexpr int kNumRspCodeNames = 7;
    static constexpr int kNumCmdNames = 40;
    // Result codes an answer may carry: 0 to 5.
    static constexpr int kNumRspCodes = 6;
    // Bytes of the first element: the result code and the command count.
    static constexpr int kFirstElementSize = 8;
    // The length of the cache version carried by qor_rsp_urc_version.
    static constexpr int kURCVersionSize = 20;
    // The texts carried by qor_req_set_web_log_user.
    static constexpr int kWebLogUserEntries = 3;

    // The enumerator's name of a result code ("qor_continue") or a command
    // ("qor_req_add_header"; "unassigned" for 10 to 19). An argument outside
    // the table stops the process. Return 0.
    static QORStatus getRspCodeName(qor_proxy_rsp_code_e code, QORStringRef* name);
    static QORStatus getCmdName(qor_proxy_rsp_cmds_e cmd, QORStringRef* name);

    // For identifiers read from an answer: any value is accepted.
    static bool isRspCode(int code) { return code >= 0 && code < kNumRspCodes; }
    static qor_cmd_kind_e getCmdKind(int cmd);
    // qor_cmd_data_none for commands that are not applied.
    static qor_cmd_data_e getCmdDataKind(int cmd);

    QORWebTransAnswerBase() = default;
    ~QORWebTransAnswerBase() override;

    // For an answer made with new.
    void deleteMe() override;
    // Both do nothing and return 0: the subclasses read or write.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_web_trans_answer

    int getNumCmds() const { return m_numCmds.get(); }

protected:
    QORProxyIFMsgInt m_rspCode;
    QORProxyIFMsgInt m_numCmds;
};
