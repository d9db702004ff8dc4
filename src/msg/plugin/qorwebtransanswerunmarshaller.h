// qorwebtransanswerunmarshaller.h: QORWebTransAnswerUnmarshaller, the
// plug-in's reader of a web transaction answer that applies each command to
// the transaction while it reads (QORTransaction* as the unmarshal context),
// then finishes the request and the response: Content-Length, the new
// request body, the response body pieces or file, and the finalize calls.
//
// Bodies are applied only in the finishing steps, after every command has
// been read and applied, so an answer that is cut short or damaged, or a
// command that fails, leaves no body half set: the commands before it stay
// applied, nothing after it runs.
//
// Texts pass to the adapter exactly as the server sent them, as views into
// the answer (not zero-terminated when the server left the terminator out,
// and they may hold any byte): header names and values, method, URI,
// query, version, content type, capture ID and log user. The adapter
// refuses what its web server cannot take, e.g. CR, LF or NUL anywhere,
// an empty or non-token header name, a name or value its server limits.
#pragma once
#include <initializer_list>
#include <list>
#include "core/system/qorstatus.h"
#include "msg/core/qormsgclassallocator.h"
#include "msg/plugin/qorwebtransansweriter.h"

class QORTransaction;

class QORWebTransAnswerUnmarshaller
    : public QORWebTransAnswerIter
    , public QORMsgClassAllocated<QORWebTransAnswerUnmarshaller> {
public:
    // Memory type of the class-wide allocator, "plugin.core.rsp-parser".
    static constexpr unsigned kMemoryType = 0x35f02f96;
    // Response body pieces gathered without allocating.
    static constexpr int kInlineBodyPieces = 20;

    QORWebTransAnswerUnmarshaller() = default;
    ~QORWebTransAnswerUnmarshaller() override;

    // Destroys the object and gives its memory back where it came from.
    void deleteMe() override;
    // Applies the answer in it to context, a QORTransaction* with request
    // and response (else XLTIC0649E is logged and 0x35f02018 returned).
    // Returns 0 when the answer was applied, also when it asked for the
    // question to be sent again (the transaction's retry flag) or for more
    // body data (result code 5), and when a client certificate could not
    // be requested (result code 0, response code 500). Otherwise the
    // failing step's status, logged through the transaction first: the
    // adapter operation's (with the command's XLTIC message),
    // 0x35f02019 or 0x35f0201a for a command the plug-in does not carry
    // out, qor_s_msg_unmarshal_failed for a damaged answer, the iterator's
    // status for a damaged chain. getRspCode() is the result afterwards.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
};
QOR_MSG_CLASS_ALLOCATOR_DECL(QORWebTransAnswerUnmarshaller);

// An answer read once and applied to many transactions (the decision
// cache's kept answers): every command is decoded up front into views of
// the answer's bytes, which must outlive it and not change, then carried
// out by the same steps as QORWebTransAnswerUnmarshaller::unmarshal, with
// the same logging and finishing steps, without reading the bytes again.
// A decision mark is not passed on (there is no recorder to see it).
class QORDecodedAnswer {
public:
    QORDecodedAnswer();
    ~QORDecodedAnswer();
    QORDecodedAnswer(const QORDecodedAnswer&) = delete;
    QORDecodedAnswer& operator=(const QORDecodedAnswer&) = delete;

    // Reads the answer in it; nothing is logged. On failure the answer is
    // empty and the status says why: the iterator's or
    // qor_s_msg_unmarshal_failed for damage, 0x35f02019 or 0x35f0201a for
    // a command the plug-in does not carry out, qor_s_no_memory.
    QORStatus decode(QORSharedMemIterator& it);
    qor_proxy_rsp_code_e getRspCode() const { return m_rspCode; }
    // Whether every command is one of ids.
    bool carriesOnly(std::initializer_list<int> ids) const;
    // Carries the commands out on trans; *rspCode is the result afterwards.
    // Statuses as unmarshal's.
    QORStatus apply(QORTransaction* trans, qor_proxy_rsp_code_e* rspCode) const;

private:
    struct Command;
    qor_proxy_rsp_code_e m_rspCode = qor_continue;
    std::list<Command> m_commands;
};
