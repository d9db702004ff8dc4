// qorwebtransanswerwriter.h: QORWebTransAnswerWriter, the authorization
// server's writer of a web transaction answer (layout in
// msg/core/qorwebtransanswerbase.h) into the result area of a worker
// buffer. The command count in the first element is kept equal to the
// commands written.
//
// Usage: begin(result code), then one call per command, in the order the
// plug-in is to apply them. A command is written only with the data item
// its identifier carries, and only when the plug-in carries it out;
// anything else is refused with qor_s_invalid_argument and nothing written.
// A full area gives 0x35f0200c and leaves the answer without that command;
// the server then answers with an error message instead.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstringref.h"
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/core/qorwebtransanswerbase.h"
#include "core/system/qorproxyrspcode.h"

class QORSharedMemAllocator;

class QORWebTransAnswerWriter {
public:
    typedef QORWebTransAnswerBase::qor_proxy_rsp_cmds_e Cmd;

    // Appends to what alloc has written (normally nothing: alloc is set on
    // the result area).
    explicit QORWebTransAnswerWriter(QORSharedMemAllocator& alloc);
    QORWebTransAnswerWriter(const QORWebTransAnswerWriter&) = delete;
    QORWebTransAnswerWriter& operator=(const QORWebTransAnswerWriter&) = delete;

    // Writes the result code (0 to 5; qor_s_invalid_argument otherwise) and
    // a count of 0. Call once, first.
    QORStatus begin(int rspCode);
    // Rewrites the result code in place. REQUIRES: begin succeeded.
    QORStatus setRspCode(int rspCode);

    // Commands without data (req_client_cert, set_keep_alive, ...).
    QORStatus add(Cmd cmd);
    // Commands with an integer (req_get_body, set_response_code, ...).
    QORStatus addInt(Cmd cmd, int value);
    // Commands with a text (set_uri, set_content_type, capture_rsp, ...).
    QORStatus addString(Cmd cmd, const QORStringRef& text);
    // Commands with bytes (req_set_body, rsp_set_body; urc_version takes
    // exactly 20).
    QORStatus addBuffer(Cmd cmd, const QORBuffer& bytes);
    // Header commands.
    QORStatus addNameValue(Cmd cmd, const QORStringRef& name, const QORStringRef& value);
    // req_set_web_log_user, exactly 3 texts.
    QORStatus addStringList(Cmd cmd, const QORProxyIFMsgStringList& list);
    // Shorthands for the two commands whose data has a fixed shape.
    QORStatus addWebLogUser(const QORStringRef& first, const QORStringRef& second,
                            const QORStringRef& third);
    QORStatus addURCVersion(const QOREpochVersion& version);

    // Commands written so far.
    int commandCount() const { return m_numCmds.get(); }

private:
    // One element: the identifier, then item (null for none). Counts it.
    QORStatus command(Cmd cmd, QORWebTransAnswerBase::qor_cmd_data_e kind,
                      const QORProxyIFMsgData* item);

    QORSharedMemAllocator& m_alloc;
    unsigned char* m_first = nullptr;
    QORProxyIFMsgInt m_rspCode;
    QORProxyIFMsgInt m_numCmds;
};
