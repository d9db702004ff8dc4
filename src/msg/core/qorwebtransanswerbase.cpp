// qorwebtransanswerbase.cpp: the name tables and the command table of the
// web transaction answer.
#include "msg/core/qorwebtransanswerbase.h"

#include "core/system/qorassert.h"

namespace {

typedef QORWebTransAnswerBase Base;

const char* const kRspCodeNames[Base::kNumRspCodeNames] = {
    "qor_severe_error",
    "qor_continue",
    "qor_continue_uninteresting",
    "qor_send_rsp_to_client",
    "qor_send_default_rsp_to_client",
    "qor_require_more_body_data",
    "qor_max_proxy_rsp_code",
};

struct CmdRow {
    const char* name;
    Base::qor_cmd_kind_e kind;
    Base::qor_cmd_data_e data;
};

#define APPLIED(name, data) {#name, Base::qor_cmd_applied, Base::qor_cmd_data_##data}
#define UNASSIGNED {"unassigned", Base::qor_cmd_invalid, Base::qor_cmd_data_none}

const CmdRow kCmds[Base::kNumCmdNames] = {
    APPLIED(qor_req_add_header, name_value),
    APPLIED(qor_req_set_header, name_value),
    APPLIED(qor_req_remove_header, string),
    APPLIED(qor_req_set_method, string),
    APPLIED(qor_req_set_uri, string),
    APPLIED(qor_req_set_version, string),
    APPLIED(qor_req_set_query, string),
    APPLIED(qor_req_set_body, buffer),
    APPLIED(qor_req_set_web_log_user, string_list),
    APPLIED(qor_req_get_body, int),
    UNASSIGNED, UNASSIGNED, UNASSIGNED, UNASSIGNED, UNASSIGNED,
    UNASSIGNED, UNASSIGNED, UNASSIGNED, UNASSIGNED, UNASSIGNED,
    {"qor_first_response_code", Base::qor_cmd_invalid, Base::qor_cmd_data_none},
    APPLIED(qor_rsp_add_header, name_value),
    APPLIED(qor_rsp_set_header, name_value),
    {"qor_rsp_remove_header", Base::qor_cmd_unsupported, Base::qor_cmd_data_none},
    APPLIED(qor_rsp_set_response_code, int),
    APPLIED(qor_rsp_set_body, buffer),
    APPLIED(qor_rsp_set_body_from_file, string),
    {"qor_rsp_remove_cookie", Base::qor_cmd_unsupported, Base::qor_cmd_data_none},
    APPLIED(qor_rsp_set_content_type, string),
    APPLIED(qor_rsp_req_client_cert, none),
    APPLIED(qor_rsp_set_keep_alive, none),
    APPLIED(qor_rsp_set_trace_level, int),
    APPLIED(qor_rsp_clear_existing_body, none),
    APPLIED(qor_rsp_req_wsa, none),
    APPLIED(qor_rsp_capture_rsp, string),
    APPLIED(qor_rsp_begin_new_rsp, none),
    APPLIED(qor_rsp_set_body_to_default, none),
    APPLIED(qor_rsp_set_response_sub_code, int),
    APPLIED(qor_rsp_urc_version, buffer),
    {"qor_max_proxy_rsp_cmd", Base::qor_cmd_invalid, Base::qor_cmd_data_none},
};

#undef APPLIED
#undef UNASSIGNED

bool inCmdTable(int cmd)
{
    return cmd >= 0 && cmd < Base::kNumCmdNames;
}

} // namespace

QORStatus QORWebTransAnswerBase::getRspCodeName(qor_proxy_rsp_code_e code, QORStringRef* name)
{
    QOR_ASSERT(code >= 0 && code < kNumRspCodeNames);
    name->set(kRspCodeNames[code]);
    return qor_s_ok;
}

QORStatus QORWebTransAnswerBase::getCmdName(qor_proxy_rsp_cmds_e cmd, QORStringRef* name)
{
    QOR_ASSERT(inCmdTable(cmd));
    name->set(kCmds[cmd].name);
    return qor_s_ok;
}

QORWebTransAnswerBase::qor_cmd_kind_e QORWebTransAnswerBase::getCmdKind(int cmd)
{
    return inCmdTable(cmd) ? kCmds[cmd].kind : qor_cmd_invalid;
}

QORWebTransAnswerBase::qor_cmd_data_e QORWebTransAnswerBase::getCmdDataKind(int cmd)
{
    return inCmdTable(cmd) ? kCmds[cmd].data : qor_cmd_data_none;
}

QORWebTransAnswerBase::~QORWebTransAnswerBase() {}

void QORWebTransAnswerBase::deleteMe()
{
    delete this;
}

QORStatus QORWebTransAnswerBase::unmarshal(QORSharedMemIterator&, void*)
{
    return qor_s_ok;
}

QORStatus QORWebTransAnswerBase::marshal(QORSharedMemAllocator&)
{
    return qor_s_ok;
}

int QORWebTransAnswerBase::getType() const
{
    return qor_msg_web_trans_answer;
}
