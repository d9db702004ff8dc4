// qorwebtransanswerunmarshaller.cpp: applying a web transaction answer to a
// transaction. Commands are dispatched through a table indexed by their
// identifier; the data item each carries is decoded before its handler
// runs.
#include "msg/plugin/qorwebtransanswerunmarshaller.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/buffers/qorbuffer.h"
#include "core/buffers/qorstring.h"
#include "core/http/qorhttp.h"
#include "core/list/qorlist.h"
#include "core/trace/qortraceregistry.h"
#include "msg/core/qordecisionmark.h"
#include "msg/plugin/qortranslog.h"
#include "plugin/core/qordecisionrecorder.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qorsslsession.h"
#include "plugin/core/qortransaction.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

typedef QORWebTransAnswerBase Base;
typedef QORWebTransAnswerUnmarshaller Unmarshaller;

// Failure messages (XLTIC texts with the failing status's text and code).
enum : int {
    kMsgReqSetHeader = QOR_MSG_ID(0x28b),
    kMsgReqAddHeader = QOR_MSG_ID(0x28c),
    kMsgReqSetURI = QOR_MSG_ID(0x28d),
    kMsgReqSetQuery = QOR_MSG_ID(0x28e),
    kMsgRspSetHeader = QOR_MSG_ID(0x28f),
    kMsgRspAddHeader = QOR_MSG_ID(0x290),
    kMsgRspSetBody = QOR_MSG_ID(0x291),
    kMsgRspSetContentType = QOR_MSG_ID(0x292),
    kMsgRspSetCode = QOR_MSG_ID(0x293),
    kMsgReqClientCert = QOR_MSG_ID(0x294),
    kMsgReqSetBody = QOR_MSG_ID(0x29f),
    kMsgCaptureRsp = QOR_MSG_ID(0x2a0),
    kMsgSetWebLogUser = QOR_MSG_ID(0x2a6),
    kMsgReqSetMethod = QOR_MSG_ID(0x2a7),
    kMsgReqSetVersion = QOR_MSG_ID(0x2a8),
    kMsgBeginNewRsp = QOR_MSG_ID(0x2a9),
    kMsgSetBodyToDefault = QOR_MSG_ID(0x2aa),
    kMsgRspSetSubCode = QOR_MSG_ID(0x2b0),
    kMsgReqGetBody = QOR_MSG_ID(0x2b3),
    kMsgReqWSA = QOR_MSG_ID(0x38a),
    // With the command identifier as the argument.
    kMsgUnsupportedCommand = QOR_MSG_ID(0x295),
    kMsgInvalidCommand = QOR_MSG_ID(0x296),
    // Without arguments.
    kMsgInvalidTransaction = QOR_MSG_ID(0x289),
    kMsgUnmarshalFailed = QOR_MSG_ID(0x205),
};

const char kOneBodyFile[] = "Can only set the body from one file!";

// What the commands of one answer gather for the finishing steps. Pieces
// and the request body are views into the answer; pieces beyond the inline
// ones, and a long file name, take memory from the transaction's
// allocator, all of it released when the answer is done.
struct Gathered {
    explicit Gathered(QORAllocator* a)
        : morePieces(a, true)
        , bodyFile(a)
    {
    }

    QORBuffer pieces[Unmarshaller::kInlineBodyPieces];
    int numPieces = 0;
    QORList<QORBuffer> morePieces;
    unsigned long long totalLength = 0;
    QORBuffer requestBody;
    bool requestBodySet = false;
    QORString bodyFile;
    bool requireMoreBody = false;
    // A failed client certificate request ends the answer successfully,
    // without the finishing steps.
    bool stop = false;
};

// One answer being applied. Commands may change the result code; the
// region is the answer's bytes when read from them (null when applied from
// a decoded answer).
struct Applying {
    qor_proxy_rsp_code_e rspCode;
    const QORSharedMemIterator* region;
    QORTransaction& trans;
    QORRequest& req;
    QORResponse& rsp;
    Gathered gathered;
};

// The decoded data item of the current command: the member for the
// command's kind holds it.
struct CmdData {
    CmdData()
        : list(QORProxyIFMsgStringList::kInlineEntries, nullptr)
    {
    }
    QORProxyIFMsgInt i;
    QORProxyIFMsgString s;
    QORProxyIFMsgBuffer b;
    QORProxyIFMsgNameValue nv;
    QORProxyIFMsgStringList list;
};

typedef QORStatus (*Handler)(Applying& a, const CmdData& d);

QORStatus reqAddHeader(Applying& a, const CmdData& d)
{
    return a.req.addHeader(d.nv.getName(), d.nv.getValue());
}

QORStatus reqSetHeader(Applying& a, const CmdData& d)
{
    // The decision mark is for the core, never for the web server.
    if (QORDecisionMark::isMarkHeader(d.nv.getName())) {
        const QORSharedMemIterator* it = a.region;
        if (a.trans.m_decisionRecorder != nullptr && it != nullptr)
            a.trans.m_decisionRecorder->markSeen(d.nv.getValue(), it->regionData(),
                                                 it->getStart(), it->getSize());
        return qor_s_ok;
    }
    return a.req.setHeader(d.nv.getName(), d.nv.getValue());
}

QORStatus reqRemoveHeader(Applying& a, const CmdData& d)
{
    return a.req.removeHeader(d.s.get());
}

QORStatus reqSetMethod(Applying& a, const CmdData& d)
{
    return a.req.setMethod(d.s.get());
}

QORStatus reqSetURI(Applying& a, const CmdData& d)
{
    return a.req.setURI(d.s.get());
}

QORStatus reqSetVersion(Applying& a, const CmdData& d)
{
    return a.req.setVersion(d.s.get());
}

QORStatus reqSetQuery(Applying& a, const CmdData& d)
{
    return a.req.setQuery(d.s.get());
}

QORStatus reqSetBody(Applying& a, const CmdData& d)
{
    a.gathered.requestBody.set(d.b.get().getData(), d.b.get().getLen());
    a.gathered.requestBodySet = true;
    return qor_s_ok;
}

QORStatus reqSetWebLogUser(Applying& a, const CmdData& d)
{
    return a.req.setWebLogUser(d.list.at(0), d.list.at(1), d.list.at(2));
}

QORStatus reqGetBody(Applying& a, const CmdData& d)
{
    QORStatus st = a.req.retrieveBody(d.i.get());
    if (st == qor_s_ok) {
        a.req.setBodyRequested(true);
        a.trans.setRetry(true);
    } else if (st == qor_s_not_available) {
        a.req.setBodyRequested(true);
        a.rspCode = qor_require_more_body_data;
        a.gathered.requireMoreBody = true;
    } else {
        return st;
    }
    return qor_s_ok;
}

QORStatus rspAddHeader(Applying& a, const CmdData& d)
{
    return a.rsp.addHeader(d.nv.getName(), d.nv.getValue());
}

QORStatus rspSetHeader(Applying& a, const CmdData& d)
{
    return a.rsp.setHeader(d.nv.getName(), d.nv.getValue());
}

QORStatus rspSetResponseCode(Applying& a, const CmdData& d)
{
    return a.rsp.setCode(d.i.get());
}

QORStatus rspSetBody(Applying& a, const CmdData& d)
{
    Gathered& g = a.gathered;
    const QORBuffer& piece = d.b.get();
    if (g.numPieces < Unmarshaller::kInlineBodyPieces) {
        g.pieces[g.numPieces].set(piece.getData(), piece.getLen());
    } else {
        QORBuffer* more = qor_new<QORBuffer>(a.trans.allocator(), piece.getData(), piece.getLen());
        if (more == nullptr)
            return qor_s_no_memory;
        QORStatus st = g.morePieces.add(more);
        if (st != qor_s_ok) {
            qor_delete(more);
            return st;
        }
    }
    g.numPieces++;
    g.totalLength += static_cast<unsigned long long>(piece.getLen());
    return qor_s_ok;
}

QORStatus rspSetBodyFromFile(Applying& a, const CmdData& d)
{
    Gathered& g = a.gathered;
    if (!g.bodyFile.isEmpty()) {
        // The second file is ignored, not fatal; the note is all that is owed.
        (void)a.trans.logText(qor_log_level_error, kOneBodyFile);
        return qor_s_ok;
    }
    if (!g.bodyFile.set(d.s.get()))
        return qor_s_no_memory;
    g.totalLength += static_cast<unsigned long long>(g.bodyFile.length());
    return qor_s_ok;
}

QORStatus rspSetContentType(Applying& a, const CmdData& d)
{
    return a.rsp.setContentType(d.s.get());
}

// Logs its own failures: a refused request turns the answer into a severe
// error with response code 500 and ends it successfully.
QORStatus rspReqClientCert(Applying& a, const CmdData&)
{
    QORSSLSession* session = a.req.sslSession();
    // A request without SSL session cannot ask for a certificate.
    QORStatus st = session != nullptr ? session->requestClientCert() : qor_s_not_supported;
    if (st == qor_s_ok || st == qor_s_not_available) {
        session->setClientCertRequested(true);
        a.trans.setRetry(true);
        return qor_s_ok;
    }
    if (st == qor_s_transitional_rsp)
        return qor_s_ok;
    if (st == qor_s_requires_continue) {
        a.rspCode = qor_continue;
        return qor_s_ok;
    }
    qor_trans_log_status(&a.trans, kMsgReqClientCert, st);
    a.rspCode = qor_severe_error;
    st = a.rsp.setCode(500);
    if (st != qor_s_ok) {
        qor_trans_log_status(&a.trans, kMsgRspSetCode, st);
        return st;
    }
    a.gathered.stop = true;
    return qor_s_ok;
}

QORStatus rspSetKeepAlive(Applying& a, const CmdData&)
{
    return a.rsp.setKeepAlive();
}

QORStatus rspSetTraceLevel(Applying&, const CmdData& d)
{
    if (QORTraceRegistry::instance() != nullptr)
        QORTraceRegistry::setLevel(static_cast<unsigned>(d.i.get()));
    return qor_s_ok;
}

QORStatus rspClearExistingBody(Applying& a, const CmdData&)
{
    Gathered& g = a.gathered;
    g.numPieces = 0;
    g.morePieces.delEntries();
    g.totalLength = 0;
    return qor_s_ok;
}

QORStatus rspReqWSA(Applying& a, const CmdData&)
{
    QORStatus st = a.req.requestWSA();
    if (st == qor_s_ok || st == qor_s_not_available)
        a.trans.setRetry(true);
    else if (st == qor_s_requires_continue)
        a.rspCode = qor_continue;
    else if (st != qor_s_transitional_rsp)
        return st;
    return qor_s_ok;
}

QORStatus rspCaptureRsp(Applying& a, const CmdData& d)
{
    QORStringRef vhostID;
    QORStringRef uri;
    int security = 0;
    QORStatus st = a.req.server() != nullptr ? a.req.server()->getVHostID(&vhostID)
                                             : qor_s_not_available;
    if (st == qor_s_ok)
        st = a.req.getURI(&uri);
    if (st == qor_s_ok)
        st = a.req.getSecurity(&security);
    if (st == qor_s_ok)
        st = a.rsp.setCaptureRsp(d.s.get(), vhostID, uri, security);
    return st;
}

QORStatus rspBeginNewRsp(Applying& a, const CmdData&)
{
    return a.rsp.beginNew();
}

QORStatus rspSetBodyToDefault(Applying& a, const CmdData&)
{
    return a.rsp.setBodyToDefault();
}

QORStatus rspSetResponseSubCode(Applying& a, const CmdData& d)
{
    return a.rsp.setSubCode(d.i.get());
}

QORStatus rspURCVersion(Applying& a, const CmdData& d)
{
    a.trans.setURCVersion(d.b.get().getData());
    return qor_s_ok;
}

struct CmdRow {
    Handler apply;
    // Logged with the failing status; 0 when the handler never fails or
    // logs its own failures.
    int failMsg;
    // For buffers of one fixed length; -1 for any.
    int bufferLength;
};

// Indexed by command identifier; rows without a handler are commands the
// plug-in does not carry out (QORWebTransAnswerBase::getCmdKind).
const CmdRow kCmdTable[Base::kNumCmdNames] = {
    {reqAddHeader, kMsgReqAddHeader, -1},
    {reqSetHeader, kMsgReqSetHeader, -1},
    {reqRemoveHeader, kMsgReqSetHeader, -1},
    {reqSetMethod, kMsgReqSetMethod, -1},
    {reqSetURI, kMsgReqSetURI, -1},
    {reqSetVersion, kMsgReqSetVersion, -1},
    {reqSetQuery, kMsgReqSetQuery, -1},
    {reqSetBody, 0, -1},
    {reqSetWebLogUser, kMsgSetWebLogUser, -1},
    {reqGetBody, kMsgReqGetBody, -1},
    {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    {},
    {rspAddHeader, kMsgRspAddHeader, -1},
    {rspSetHeader, kMsgRspSetHeader, -1},
    {},
    {rspSetResponseCode, kMsgRspSetCode, -1},
    {rspSetBody, kMsgRspSetBody, -1},
    {rspSetBodyFromFile, kMsgRspSetBody, -1},
    {},
    {rspSetContentType, kMsgRspSetContentType, -1},
    {rspReqClientCert, 0, -1},
    {rspSetKeepAlive, kMsgRspSetHeader, -1},
    {rspSetTraceLevel, 0, -1},
    {rspClearExistingBody, 0, -1},
    {rspReqWSA, kMsgReqWSA, -1},
    {rspCaptureRsp, kMsgCaptureRsp, -1},
    {rspBeginNewRsp, kMsgBeginNewRsp, -1},
    {rspSetBodyToDefault, kMsgSetBodyToDefault, -1},
    {rspSetResponseSubCode, kMsgRspSetSubCode, -1},
    {rspURCVersion, 0, Base::kURCVersionSize},
    {},
};

// The count a string list's data starts with; false when there is none.
bool listCount(const QORBuffer& data, uint32_t* count)
{
    if (data.getLen() < 4)
        return false;
    memcpy(count, data.getData(), 4);
    return true;
}

// Decodes the current command's data item into d by the command's kind.
QORStatus decode(const QORWebTransAnswerIter& answer, int id, const CmdRow& row, CmdData& d)
{
    QORBuffer raw;
    QORStatus st = answer.getRawCmdData(&raw);
    if (st != qor_s_ok)
        return st;
    switch (Base::getCmdDataKind(id)) {
    case Base::qor_cmd_data_none:
        if (raw.getLen() != 0)
            st = qor_s_msg_unmarshal_failed;
        break;
    case Base::qor_cmd_data_int:
        st = answer.getCmdData(&d.i);
        break;
    case Base::qor_cmd_data_string:
        st = answer.getCmdData(&d.s);
        break;
    case Base::qor_cmd_data_buffer:
        st = answer.getCmdData(&d.b);
        if (st == qor_s_ok && row.bufferLength >= 0 && d.b.get().getLen() != row.bufferLength)
            st = qor_s_msg_unmarshal_failed;
        break;
    case Base::qor_cmd_data_name_value:
        st = answer.getCmdData(&d.nv);
        break;
    case Base::qor_cmd_data_string_list: {
        // Checked before decoding, so that a long list is refused without
        // allocating room for it.
        uint32_t count = 0;
        if (!listCount(raw, &count))
            st = qor_s_msg_unmarshal_failed;
        else if (count != Base::kWebLogUserEntries)
            st = qor_s_invalid_command;
        else
            st = answer.getCmdData(&d.list);
        break;
    }
    }
    return st;
}

// The decimal text of n as the value of a Content-Length header.
QORStatus setContentLength(QORMessage& message, unsigned long long n)
{
    char digits[24];
    int len = snprintf(digits, sizeof digits, "%llu", n);
    return message.setHeader(qor_hdr_content_length, QORStringRef(digits, len));
}

// The finishing steps, after the last command.
QORStatus finish(Applying& a)
{
    Gathered& g = a.gathered;
    if (a.trans.shouldRetry() || g.requireMoreBody)
        return qor_s_ok;
    // The statuses of the length headers and of finalizing are ignored:
    // the commands are applied by then, and the adapter has logged its own
    // trouble; only the bodies below can still fail the answer.
    if (g.numPieces > 0 || !g.bodyFile.isEmpty())
        (void)setContentLength(a.rsp, g.totalLength);
    if (g.requestBodySet)
        (void)setContentLength(a.req, static_cast<unsigned long long>(g.requestBody.getLen()));
    (void)a.req.finalizeHeader();
    (void)a.rsp.finalizeHeader();
    QORStatus st;
    if (g.requestBodySet && (st = a.req.setBody(g.requestBody)) != qor_s_ok) {
        qor_trans_log_status(&a.trans, kMsgReqSetBody, st);
        return st;
    }
    int inline_ = g.numPieces < Unmarshaller::kInlineBodyPieces ? g.numPieces
                                                                 : Unmarshaller::kInlineBodyPieces;
    for (int i = 0; i < inline_; i++) {
        if ((st = a.rsp.appendBody(g.pieces[i])) != qor_s_ok) {
            qor_trans_log_status(&a.trans, kMsgRspSetBody, st);
            return st;
        }
    }
    for (QORBuffer* piece : g.morePieces) {
        if ((st = a.rsp.appendBody(*piece)) != qor_s_ok) {
            qor_trans_log_status(&a.trans, kMsgRspSetBody, st);
            return st;
        }
    }
    if (!g.bodyFile.isEmpty() && (st = a.rsp.setBodyFromFile(g.bodyFile.c_str())) != qor_s_ok) {
        qor_trans_log_status(&a.trans, kMsgRspSetBody, st);
        return st;
    }
    (void)a.req.finalizeBody();
    (void)a.rsp.finalizeBody();
    return qor_s_ok;
}

// Whether trans can take an answer; logs why not.
bool usable(QORTransaction* trans)
{
    if (trans == nullptr)
        return false;
    if (trans->m_request == nullptr || trans->m_response == nullptr) {
        (void)trans->logMessage(qor_log_level_error, kMsgInvalidTransaction);
        return false;
    }
    return true;
}

// 0 for a command the plug-in carries out; else why not, logged through
// trans when there is one.
QORStatus checkKind(int id, QORTransaction* trans)
{
    switch (Base::getCmdKind(id)) {
    case Base::qor_cmd_unsupported:
        if (trans != nullptr)
            (void)trans->logMessage(qor_log_level_error, kMsgUnsupportedCommand,
                                    static_cast<unsigned int>(id));
        return qor_s_unsupported_command;
    case Base::qor_cmd_invalid:
        if (trans != nullptr)
            (void)trans->logMessage(qor_log_level_error, kMsgInvalidCommand,
                                    static_cast<unsigned int>(id));
        return qor_s_invalid_command;
    case Base::qor_cmd_applied:
        break;
    }
    return qor_s_ok;
}

// Carries out one decoded command, logging its failure.
QORStatus applyCommand(Applying& a, int id, const CmdData& data)
{
    const CmdRow& row = kCmdTable[id];
    QORStatus st = row.apply(a, data);
    if (st != qor_s_ok && row.failMsg != 0)
        qor_trans_log_status(&a.trans, row.failMsg, st);
    return st;
}

// Reads and carries out each command in turn, then the finishing steps.
QORStatus applyAll(Unmarshaller& answer, Applying& a)
{
    QORTransaction* trans = &a.trans;
    while (answer.next()) {
        int id = answer.getCmdID();
        QORStatus st = checkKind(id, trans);
        if (st != qor_s_ok)
            return st;
        const CmdRow& row = kCmdTable[id];
        CmdData data;
        st = decode(answer, id, row, data);
        if (st == qor_s_invalid_command) {
            qor_trans_log_status(trans, row.failMsg, st);
            return st;
        }
        if (st != qor_s_ok) {
            (void)trans->logMessage(qor_log_level_error, kMsgUnmarshalFailed);
            return st;
        }
        st = applyCommand(a, id, data);
        if (st != qor_s_ok || a.gathered.stop)
            return st;
    }
    if (answer.nextStatus() != qor_s_ok) {
        (void)trans->logMessage(qor_log_level_error, kMsgUnmarshalFailed);
        return answer.nextStatus();
    }
    return finish(a);
}

} // namespace

QOR_MSG_CLASS_ALLOCATOR(QORWebTransAnswerUnmarshaller)

QORWebTransAnswerUnmarshaller::~QORWebTransAnswerUnmarshaller() {}

void QORWebTransAnswerUnmarshaller::deleteMe()
{
    qor_delete(this);
}

QORStatus QORWebTransAnswerUnmarshaller::unmarshal(QORSharedMemIterator& it, void* context)
{
    QORTransaction* trans = static_cast<QORTransaction*>(context);
    QORStatus st = QORWebTransAnswerIter::unmarshal(it, context);
    if (st != qor_s_ok) {
        if (trans != nullptr)
            (void)trans->logMessage(qor_log_level_error, kMsgUnmarshalFailed);
        return st;
    }
    if (!usable(trans))
        return qor_s_invalid_transaction;

    Applying a = {getRspCode(), iterator(), *trans, *trans->m_request, *trans->m_response,
                  Gathered(trans->allocator())};
    st = applyAll(*this, a);
    setRspCode(a.rspCode);
    return st;
}

// Decoded answers.

struct QORDecodedAnswer::Command {
    int id = 0;
    CmdData data;
};

QORDecodedAnswer::QORDecodedAnswer() = default;

QORDecodedAnswer::~QORDecodedAnswer() = default;

QORStatus QORDecodedAnswer::decode(QORSharedMemIterator& it)
{
    m_commands.clear();
    QORWebTransAnswerIter answer;
    QORStatus st = answer.unmarshal(it, nullptr);
    if (st != qor_s_ok)
        return st;
    try {
        while (answer.next()) {
            int id = answer.getCmdID();
            st = checkKind(id, nullptr);
            if (st != qor_s_ok)
                break;
            m_commands.emplace_back();
            m_commands.back().id = id;
            st = ::decode(answer, id, kCmdTable[id], m_commands.back().data);
            if (st != qor_s_ok)
                break;
        }
    } catch (const std::bad_alloc&) {
        st = qor_s_no_memory;
    }
    if (st == qor_s_ok)
        st = answer.nextStatus();
    if (st != qor_s_ok) {
        m_commands.clear();
        return st;
    }
    m_rspCode = answer.getRspCode();
    return qor_s_ok;
}

bool QORDecodedAnswer::carriesOnly(std::initializer_list<int> ids) const
{
    for (const Command& c : m_commands)
        if (std::find(ids.begin(), ids.end(), c.id) == ids.end())
            return false;
    return true;
}

QORStatus QORDecodedAnswer::apply(QORTransaction* trans, qor_proxy_rsp_code_e* rspCode) const
{
    *rspCode = m_rspCode;
    if (!usable(trans))
        return qor_s_invalid_transaction;
    Applying a = {m_rspCode, nullptr, *trans, *trans->m_request, *trans->m_response,
                  Gathered(trans->allocator())};
    QORStatus st = qor_s_ok;
    for (const Command& c : m_commands) {
        st = applyCommand(a, c.id, c.data);
        if (st != qor_s_ok || a.gathered.stop)
            break;
    }
    if (st == qor_s_ok && !a.gathered.stop)
        st = finish(a);
    *rspCode = a.rspCode;
    return st;
}
