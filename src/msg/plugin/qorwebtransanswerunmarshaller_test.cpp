#include "msg/plugin/qorwebtransanswerunmarshaller.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "msg/plugin/qorconfiganswerfactory.h"
#include "msg/plugin/qorconfiganswerunmarshaller.h"
#include "msg/plugin/qorwebtransanswerfactory.h"
#include "msg/server/qorwebtransanswerwriter.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

namespace {

typedef QORWebTransAnswerBase B;

const QORStatus kAdapterFailure = QOR_MSG_ID(0x35);  // any status the adapter may return

// Applies what region holds with a fresh unmarshaller; *code is its result.
QORStatus applyRegion(QORTestRegion& region, QORTransaction* trans,
                      qor_proxy_rsp_code_e* code = nullptr)
{
    QORWebTransAnswerUnmarshaller u;
    QORStatus st = u.unmarshal(region.reader(), trans);
    if (code != nullptr)
        *code = u.getRspCode();
    return st;
}

// A command as the tests give it: a is its text, bytes or number (as text)
// by the command's kind; b a header's value or a log user's second text.
struct Cmd {
    B::qor_proxy_rsp_cmds_e id;
    const char* a = nullptr;
    const char* b = nullptr;
};

// An answer written by the server's writer and applied to a transaction.
struct Answer {
    explicit Answer(std::initializer_list<Cmd> cmds = {},
                    qor_proxy_rsp_code_e rspCode = qor_continue)
        : region(8192)
        , writer(region.alloc)
    {
        EXPECT_EQ(writer.begin(rspCode), qor_s_ok);
        for (const Cmd& c : cmds)
            add(c);
    }
    void add(const Cmd& c) { EXPECT_EQ(write(c), qor_s_ok) << c.id; }
    QORStatus write(const Cmd& c)
    {
        switch (B::getCmdDataKind(c.id)) {
        case B::qor_cmd_data_none:
            return writer.add(c.id);
        case B::qor_cmd_data_int:
            return writer.addInt(c.id, atoi(c.a));
        case B::qor_cmd_data_string:
            return writer.addString(c.id, QORStringRef(c.a));
        case B::qor_cmd_data_buffer:
            return writer.addBuffer(c.id, QORBuffer(c.a, -1));
        case B::qor_cmd_data_name_value:
            return writer.addNameValue(c.id, QORStringRef(c.a), QORStringRef(c.b));
        case B::qor_cmd_data_string_list:
            return writer.addWebLogUser(QORStringRef(c.a), QORStringRef(c.b), QORStringRef(""));
        }
        return qor_s_invalid_argument;
    }
    QORStatus apply(QORTransaction* trans, qor_proxy_rsp_code_e* code = nullptr)
    {
        return applyRegion(region, trans, code);
    }

    QORTestRegion region;
    QORWebTransAnswerWriter writer;
};

// Raw words as an answer region: for what the writer refuses to write.
QORStatus applyWords(const std::vector<uint32_t>& words, QORTransaction* trans)
{
    QORTestRegion region(static_cast<unsigned int>(words.size() * 4 + 64));
    region.put(words);
    return applyRegion(region, trans);
}

// The words of an answer region: result code 1, then the given commands,
// each a list of data words after its identifier.
std::vector<uint32_t> answerWords(const std::vector<std::vector<uint32_t>>& commands)
{
    const uint32_t s = QORTestRegion::kStart;
    std::vector<uint32_t> w = {8, 0, 1, static_cast<uint32_t>(commands.size())};
    uint32_t at = s + 16;
    w[1] = commands.empty() ? QORTestRegion::kNoNext : at;
    for (size_t i = 0; i < commands.size(); i++) {
        const std::vector<uint32_t>& c = commands[i];
        uint32_t length = static_cast<uint32_t>(c.size() * 4);
        at += 8 + length;
        w.push_back(length);
        w.push_back(i + 1 < commands.size() ? at : QORTestRegion::kNoNext);
        w.insert(w.end(), c.begin(), c.end());
    }
    return w;
}

bool finalized(QORTestTransaction& t)
{
    return t.calls().contains("finalizeHeader") || t.calls().contains("finalizeBody");
}

} // namespace

// Every command that maps onto one adapter operation: applied with its
// data, and a failure of that operation logged with the command's message
// and returned before the finishing steps.
TEST(WebTransAnswerUnmarshaller, PlainCommandsReachTheAdapter)
{
    struct Row {
        Cmd cmd;            // a log user's third text is empty
        const char* call;   // the adapter call expected, made to fail in turn
        int failMsg;        // logged as QOR_MSG_ID(failMsg)
    } rows[] = {
        {{B::qor_req_add_header, "X-A", "1"}, "req.addHeader(X-A, 1)", 0x28c},
        {{B::qor_req_set_header, "X-B", ""}, "req.setHeader(X-B, )", 0x28b},
        {{B::qor_req_remove_header, "Cookie"}, "req.removeHeader(Cookie)", 0x28b},
        {{B::qor_req_set_method, "PUT"}, "req.setMethod(PUT)", 0x2a7},
        {{B::qor_req_set_uri, "/new/path"}, "req.setURI(/new/path)", 0x28d},
        {{B::qor_req_set_version, "HTTP/1.0"}, "req.setVersion(HTTP/1.0)", 0x2a8},
        {{B::qor_req_set_query, "a=1&b=2"}, "req.setQuery(a=1&b=2)", 0x28e},
        {{B::qor_req_set_web_log_user, "alice", "DX"}, "req.setWebLogUser(alice, DX, )", 0x2a6},
        {{B::qor_rsp_add_header, "Set-Cookie", "s=1"}, "rsp.addHeader(Set-Cookie, s=1)", 0x290},
        {{B::qor_rsp_set_header, "Location", "/x"}, "rsp.setHeader(Location, /x)", 0x28f},
        {{B::qor_rsp_set_response_code, "302"}, "rsp.setCode(302)", 0x293},
        {{B::qor_rsp_set_content_type, "text/html"}, "rsp.setContentType(text/html)", 0x292},
        {{B::qor_rsp_set_keep_alive}, "rsp.setKeepAlive()", 0x28f},
        {{B::qor_rsp_begin_new_rsp}, "rsp.beginNew()", 0x2a9},
        {{B::qor_rsp_set_body_to_default}, "rsp.setBodyToDefault()", 0x2aa},
        {{B::qor_rsp_set_response_sub_code, "-7"}, "rsp.setSubCode(-7)", 0x2b0},
        {{B::qor_rsp_capture_rsp, "cap-1"}, "rsp.setCaptureRsp(cap-1, vh1, /index.html, 1)", 0x2a0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        for (bool fail : {false, true}) {
            QORTestTransaction t;
            t.addServer("vh1");
            t.request().uri = "/index.html";
            t.request().security = 1;
            if (fail)
                t.failOn(std::string(row.call, strchr(row.call, '(')).c_str(), kAdapterFailure);
            Answer a({row.cmd});
            EXPECT_EQ(a.apply(&t), fail ? kAdapterFailure : qor_s_ok);
            EXPECT_TRUE(t.calls().contains(row.call)) << t.calls().text();
            if (fail) {
                EXPECT_EQ(t.loggedMessages, std::vector<int>{int(QOR_MSG_ID(row.failMsg))});
                EXPECT_FALSE(finalized(t));
            } else {
                EXPECT_TRUE(t.loggedMessages.empty());
                EXPECT_EQ(t.request().headerFinalized, 1);
                EXPECT_EQ(t.response().bodyFinalized, 1);
            }
        }
    }
}

// The capture command takes three values from the request: any of them
// failing, like the capture itself, logs XLTIC0672E with that status.
TEST(WebTransAnswerUnmarshaller, CaptureNeedsServerURIAndSecurity)
{
    const char* const ops[] = {"server.getVHostID", "req.getURI", "req.getSecurity", nullptr};
    for (const char* op : ops) {  // nullptr: no server at all
        SCOPED_TRACE(op ? op : "no server");
        QORTestTransaction t;
        if (op != nullptr) {
            t.addServer("vh1");
            t.failOn(op, kAdapterFailure);
        }
        Answer a({{B::qor_rsp_capture_rsp, "c"}});
        EXPECT_EQ(a.apply(&t), op == nullptr ? qor_s_not_available : kAdapterFailure);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x2a0)});
        EXPECT_FALSE(t.calls().contains("setCaptureRsp"));
    }
}

// Commands the plug-in does not carry out: the unassigned identifiers, the
// marker between request and response commands, the bound and beyond are
// invalid; two known ones are unsupported. Nothing is applied after them.
TEST(WebTransAnswerUnmarshaller, RefusedCommandIdentifiers)
{
    for (uint32_t id : {10u, 15u, 19u, 20u, 39u, 40u, 0x7fffffffu, 0xffffffffu, 23u, 27u}) {
        SCOPED_TRACE(id);
        bool unsupported = id == 23 || id == 27;
        QORTestTransaction t;
        // The refused command between two that set the response code.
        std::vector<uint32_t> words = answerWords({{24, 404}, {id}, {24, 500}});
        EXPECT_EQ(applyWords(words, &t),
                  unsupported ? qor_s_unsupported_command : qor_s_invalid_command);
        int msg = unsupported ? QOR_MSG_ID(0x295) : QOR_MSG_ID(0x296);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{msg});
        EXPECT_EQ(t.response().code(), 404);   // and not 500 after it
        EXPECT_FALSE(finalized(t));
        // The identifier is the message's argument.
        char hex[16];
        snprintf(hex, sizeof hex, "0x%x", id);
        ASSERT_EQ(t.logLines.size(), 1u);
        EXPECT_NE(t.logLines[0].find(hex), std::string::npos) << t.logLines[0];
    }
}

// The writer refuses what the plug-in would refuse, so that a server
// built on it cannot send it.
TEST(WebTransAnswerUnmarshaller, WriterRefusesCommandsThePluginRefuses)
{
    Answer a;
    EXPECT_EQ(a.writer.add(B::qor_first_response_code), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.add(B::qor_max_proxy_rsp_cmd), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.add(B::qor_rsp_remove_header), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.add(static_cast<B::qor_proxy_rsp_cmds_e>(12)), qor_s_invalid_argument);
    // Data of the wrong kind.
    EXPECT_EQ(a.writer.add(B::qor_req_set_uri), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.addInt(B::qor_req_set_uri, 1), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.addString(B::qor_req_add_header, QORStringRef("x")),
              qor_s_invalid_argument);
    EXPECT_EQ(a.write({B::qor_rsp_urc_version, "short"}), qor_s_invalid_argument);
    QORProxyIFMsgStringList two;
    EXPECT_EQ(qor_s_ok, two.add(QORStringRef("a")));
    EXPECT_EQ(qor_s_ok, two.add(QORStringRef("b")));
    EXPECT_EQ(a.writer.addStringList(B::qor_req_set_web_log_user, two), qor_s_invalid_argument);
    EXPECT_EQ(a.writer.commandCount(), 0);
    EXPECT_EQ(a.writer.setRspCode(qor_max_proxy_rsp_code), qor_s_invalid_argument);
    EXPECT_EQ(QORWebTransAnswerWriter(a.region.alloc).begin(-1), qor_s_invalid_argument);
}

// Bytes that do not hold what the command carries: the answer fails with
// a malformed-message status before anything of that command is applied,
// and commands before it stay applied.
TEST(WebTransAnswerUnmarshaller, MalformedCommandData)
{
    const uint32_t none = QORTestRegion::kNoNext;
    struct Row {
        const char* name;
        std::vector<uint32_t> words;   // full region content
        QORStatus status = qor_s_msg_unmarshal_failed;
    } rows[] = {
        {"empty region", {}},
        {"first element of 4 bytes", {4, none, 1}},
        {"first element of 12 bytes", {12, none, 1, 0, 0}},
        {"result code 6", {8, none, 6, 0}},
        {"result code -1", {8, none, 0xffffffff, 0}},
        {"first element past the region", {80, none, 1, 0}, qor_s_ipc_no_more_segments},
        {"command element without identifier", answerWords({{}})},
        {"integer missing", answerWords({{24}})},
        {"integer with a word more", answerWords({{24, 200, 0}})},
        {"data after a command without data", answerWords({{30, 0}})},
        {"string count past the element", answerWords({{4, 9, qor_test_chars("/abc")}})},
        {"string with trailing bytes", answerWords({{4, 2, qor_test_chars("/\0\0\0"), 0}})},
        {"header value missing", answerWords({{0, 2, qor_test_chars("A\0\0\0")}})},
        {"header value cut", answerWords({{0, 2, qor_test_chars("A\0\0\0"), 9, 0}})},
        {"body piece past the element", answerWords({{25, 5, qor_test_chars("abcd")}})},
        {"body length huge", answerWords({{25, 0xfffffffc, 0}})},
        {"request body past the element", answerWords({{7, 100}})},
        {"version of 16 bytes", answerWords({{38, 16, 1, 2, 3, 4}})},
        {"version of 24 bytes", answerWords({{38, 24, 1, 2, 3, 4, 5, 6}})},
        {"log user list count past the element", answerWords({{8, 3, 1, 0}})},
        {"log user list without count", answerWords({{8}})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORTestTransaction t;
        EXPECT_EQ(applyWords(row.words, &t), row.status);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x205)});
        EXPECT_FALSE(finalized(t));
        EXPECT_FALSE(t.calls().contains("rsp.setCode"));
        EXPECT_FALSE(t.calls().contains("appendBody"));
        EXPECT_FALSE(t.calls().contains("setBody"));
        EXPECT_EQ(t.getURCVersion(), nullptr);
    }
}

// A damaged command after good ones: the good ones stay applied, no body
// is set although pieces were gathered, nothing is finalized.
TEST(WebTransAnswerUnmarshaller, DamageLeavesNoHalfAppliedBody)
{
    QORTestTransaction t;
    std::vector<uint32_t> words =
        answerWords({{24, 403}, {25, 4, qor_test_chars("body")}, {7, 3, qor_test_chars("req\0")},
                     {26, 2, qor_test_chars("f\0\0\0")}, {25, 7, qor_test_chars("abcd")}});
    EXPECT_EQ(applyWords(words, &t), qor_s_msg_unmarshal_failed);
    EXPECT_EQ(t.response().code(), 403);
    EXPECT_EQ(t.response().bodyPieces, 0);
    EXPECT_TRUE(t.response().bodyFile.empty());
    EXPECT_FALSE(t.calls().contains("req.setBody"));
    EXPECT_FALSE(t.calls().contains("Content-Length"));
    EXPECT_FALSE(finalized(t));
}

// A web log user list of any length but 3 logs XLTIC0678E with the text of
// the invalid-command status and returns that status.
TEST(WebTransAnswerUnmarshaller, WebLogUserNeedsThreeTexts)
{
    for (uint32_t count : {0u, 2u, 4u, 6u, 0x40000000u}) {
        SCOPED_TRACE(count);
        std::vector<uint32_t> data = {B::qor_req_set_web_log_user, count};
        for (uint32_t i = 0; i < count && i < 6; i++) {
            data.push_back(2);
            data.push_back(qor_test_chars("u\0\0\0"));
        }
        QORCountingAllocator counting;
        QORTestTransaction t(&counting);
        EXPECT_EQ(applyWords(answerWords({data}), &t), qor_s_invalid_command);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x2a6)});
        ASSERT_EQ(t.logLines.size(), 1u);
        EXPECT_NE(t.logLines[0].find("XLTIC0026E"), std::string::npos) << t.logLines[0];
        EXPECT_FALSE(t.calls().contains("setWebLogUser"));
        EXPECT_EQ(counting.allocations, 0);
    }
}

TEST(WebTransAnswerUnmarshaller, EmptyAnswerOnlyFinalizes)
{
    QORTestTransaction t;
    Answer a;
    // The writer rewrites the result code in place after begin().
    ASSERT_EQ(a.writer.setRspCode(qor_send_rsp_to_client), qor_s_ok);
    qor_proxy_rsp_code_e code = qor_severe_error;
    EXPECT_EQ(a.apply(&t, &code), qor_s_ok);
    EXPECT_EQ(code, qor_send_rsp_to_client);
    EXPECT_EQ(t.calls().calls(),
              (std::vector<std::string>{"req.finalizeHeader()", "rsp.finalizeHeader()",
                                        "req.finalizeBody()", "rsp.finalizeBody()"}));
}

TEST(WebTransAnswerUnmarshaller, TransactionWithoutRequestOrResponse)
{
    for (int missing = 0; missing < 2; missing++) {
        QORTestTransaction t;
        if (missing == 0)
            t.m_request = nullptr;
        else
            t.m_response = nullptr;
        Answer a({{B::qor_rsp_set_response_code, "200"}});
        EXPECT_EQ(a.apply(&t), qor_s_invalid_transaction);
        EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x289)});
        EXPECT_FALSE(t.calls().contains("setCode"));
    }
    Answer a;
    EXPECT_EQ(a.apply(nullptr), qor_s_invalid_transaction);
}

// Pieces reach the response in order after the headers, with their total
// as Content-Length; only a piece beyond the twenty inline ones takes
// memory, and gives it back. Without that memory no piece is appended.
TEST(WebTransAnswerUnmarshaller, BodyPiecesInOrder)
{
    struct Row {
        int count;
        bool starved;
    } rows[] = {{20, false}, {21, false}, {21, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + (row.starved ? " starved" : ""));
        QORCountingAllocator counting;
        QORTestTransaction t(&counting);
        Answer a;
        std::string expected;
        for (int i = 0; i < row.count; i++) {
            std::string p(static_cast<size_t>(i % 5 + 1), static_cast<char>('a' + i));
            a.add({B::qor_rsp_set_body, p.c_str()});
            expected += p;
        }
        counting.allocations = 0;
        counting.failAfter = row.starved ? 0 : -1;
        if (row.starved) {
            EXPECT_EQ(a.apply(&t), qor_s_no_memory);
            EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x291)});
            EXPECT_EQ(t.response().bodyPieces, 0);
            EXPECT_FALSE(finalized(t));
            continue;
        }
        EXPECT_EQ(a.apply(&t), qor_s_ok);
        EXPECT_EQ(t.response().body, expected);
        EXPECT_EQ(t.response().bodyPieces, row.count);
        EXPECT_EQ(t.response().headers.get("Content-Length"), std::to_string(expected.size()));
        EXPECT_LT(t.calls().find("rsp.setHeader(Content-Length"),
                  t.calls().find("rsp.finalizeHeader"));
        EXPECT_LT(t.calls().find("rsp.finalizeHeader"), t.calls().find("rsp.appendBody"));
        EXPECT_EQ(counting.allocations > 0, row.count > 20);
        EXPECT_EQ(counting.live(), 0);
    }
}

TEST(WebTransAnswerUnmarshaller, ClearExistingBodyKeepsOnlyLaterPieces)
{
    QORCountingAllocator counting;
    QORTestTransaction t(&counting);
    Answer a;
    // 22 pieces, so that the cleared ones include a heap one.
    for (int i = 0; i < 22; i++)
        a.add({B::qor_rsp_set_body, "old"});
    a.add({B::qor_rsp_clear_existing_body});
    a.add({B::qor_rsp_set_body, "second"});
    EXPECT_EQ(a.apply(&t), qor_s_ok);
    EXPECT_EQ(t.response().body, "second");
    EXPECT_EQ(t.response().bodyPieces, 1);
    EXPECT_STREQ(t.response().headers.get("Content-Length"), "6");
    EXPECT_EQ(counting.live(), 0);
}

TEST(WebTransAnswerUnmarshaller, BodyFromFileFirstNameWins)
{
    QORTestTransaction t;
    Answer a({{B::qor_rsp_set_body_from_file, "/tmp/a.html"},
              {B::qor_rsp_set_body_from_file, "/tmp/b.html"},
              {B::qor_rsp_set_body, "12345"}});
    EXPECT_EQ(a.apply(&t), qor_s_ok);
    EXPECT_EQ(t.response().bodyFile, "/tmp/a.html");
    EXPECT_EQ(t.logLines, std::vector<std::string>{"Can only set the body from one file!"});
    EXPECT_TRUE(t.loggedMessages.empty());
    // The pieces go first, then the file; Content-Length counts the first
    // name's length with the pieces.
    EXPECT_LT(t.calls().find("rsp.appendBody"), t.calls().find("rsp.setBodyFromFile"));
    EXPECT_STREQ(t.response().headers.get("Content-Length"), "16");
    EXPECT_EQ(t.calls().count("setBodyFromFile"), 1);
}

TEST(WebTransAnswerUnmarshaller, RequestBodyReplacedAtTheEnd)
{
    QORTestTransaction t;
    Answer a({{B::qor_req_set_body, "first"},
              {B::qor_req_set_body, "a=12"},
              {B::qor_req_set_uri, "/post"}});
    EXPECT_EQ(a.apply(&t), qor_s_ok);
    EXPECT_EQ(t.request().postData, "a=12");
    EXPECT_STREQ(t.request().headers.get("Content-Length"), "4");
    // No response body: the response keeps its Content-Length alone.
    EXPECT_EQ(t.response().headers.get("Content-Length"), nullptr);
    EXPECT_LT(t.calls().find("req.setURI"), t.calls().find("req.setBody"));
    EXPECT_LT(t.calls().find("rsp.finalizeHeader"), t.calls().find("req.setBody"));
}

// Failures in the finishing steps log their message and return at once.
TEST(WebTransAnswerUnmarshaller, FinishingStepFailures)
{
    struct Row {
        const char* op;
        int msg;
        bool bodyFinalized;
    } rows[] = {
        {"req.setBody", QOR_MSG_ID(0x29f), false},
        {"rsp.appendBody", QOR_MSG_ID(0x291), false},
        {"rsp.setBodyFromFile", QOR_MSG_ID(0x291), false},
        // Statuses that are ignored.
        {"rsp.setHeader", 0, true},
        {"req.setHeader", 0, true},
        {"req.finalizeHeader", 0, true},
        {"rsp.finalizeBody", 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.op);
        QORTestTransaction t;
        t.failOn(row.op, kAdapterFailure);
        Answer a({{B::qor_req_set_body, "rb"},
                  {B::qor_rsp_set_body, "p1"},
                  {B::qor_rsp_set_body_from_file, "f"}});
        EXPECT_EQ(a.apply(&t), row.msg != 0 ? kAdapterFailure : qor_s_ok);
        EXPECT_EQ(t.loggedMessages, row.msg != 0 ? std::vector<int>{row.msg} : std::vector<int>{});
        EXPECT_EQ(t.calls().contains("req.finalizeBody"), row.bodyFinalized);
    }
}

// qor_req_get_body: what retrieveBody answers decides between a retry,
// a request for more body data, and a failure.
TEST(WebTransAnswerUnmarshaller, GetBody)
{
    struct Row {
        QORStatus adapter;   // 0: retrieveBody does its work
        QORStatus status;
        qor_proxy_rsp_code_e code;
        bool retry;
        bool bodyRequested;
    } rows[] = {
        {qor_s_ok, qor_s_ok, qor_continue, true, true},
        {qor_s_not_available, qor_s_ok, qor_require_more_body_data, false, true},
        {kAdapterFailure, kAdapterFailure, qor_continue, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.adapter);
        QORTestTransaction t;
        t.request().pendingBody = "a=1&b=2";
        if (row.adapter != qor_s_ok)
            t.failOn("req.retrieveBody", row.adapter);
        Answer a({{B::qor_req_get_body, "4096"}, {B::qor_rsp_set_body, "x"}});
        qor_proxy_rsp_code_e code = qor_severe_error;
        EXPECT_EQ(a.apply(&t, &code), row.status);
        EXPECT_TRUE(t.calls().contains("req.retrieveBody(4096)"));
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(t.shouldRetry(), row.retry);
        EXPECT_EQ(t.request().bodyRequested(), row.bodyRequested);
        // A retry or more body data skips the finishing steps, as does a
        // failure (logged with XLTIC0691E).
        EXPECT_FALSE(finalized(t));
        EXPECT_EQ(t.response().bodyPieces, 0);
        if (row.status != qor_s_ok) {
            EXPECT_EQ(t.loggedMessages, std::vector<int>{QOR_MSG_ID(0x2b3)});
        }
    }
}

// qor_rsp_req_client_cert and qor_rsp_req_wsa: the adapter's status picks
// a retry or finishing the answer, the later commands applied either way. A
// refused certificate request answers 500 itself (also without an SSL
// session; a failing code is returned), a refused authentication returns
// the adapter's status; both end the answer.
TEST(WebTransAnswerUnmarshaller, ClientCertificateAndWebServerAuthentication)
{
    const QORStatus codeFailure = QOR_MSG_ID(0x36);
    struct Row {
        bool cert;              // else the authentication request
        QORStatus adapter;      // what the adapter answers the request with
        QORStatus status;
        qor_proxy_rsp_code_e code;
        bool retry;
        std::vector<int> logged;   // as QOR_MSG_ID(logged)
        int rspCode;            // the response's code afterwards
        bool session = true;
        QORStatus setCode = qor_s_ok;   // what the response's setCode answers
    } rows[] = {
        {true, qor_s_ok, qor_s_ok, qor_send_rsp_to_client, true, {}, 401},
        {true, qor_s_not_available, qor_s_ok, qor_send_rsp_to_client, true, {}, 401},
        {true, qor_s_transitional_rsp, qor_s_ok, qor_send_rsp_to_client, false, {}, 401},
        {true, qor_s_requires_continue, qor_s_ok, qor_continue, false, {}, 401},
        {false, qor_s_ok, qor_s_ok, qor_send_rsp_to_client, true, {}, 401},
        {false, qor_s_not_available, qor_s_ok, qor_send_rsp_to_client, true, {}, 401},
        {false, qor_s_transitional_rsp, qor_s_ok, qor_send_rsp_to_client, false, {}, 401},
        {false, qor_s_requires_continue, qor_s_ok, qor_continue, false, {}, 401},
        {true, kAdapterFailure, qor_s_ok, qor_severe_error, false, {0x294}, 500},
        {true, qor_s_ok, qor_s_ok, qor_severe_error, false, {0x294}, 500, false},
        {true, kAdapterFailure, codeFailure, qor_severe_error, false, {0x294, 0x293}, 200, true,
         codeFailure},
        {false, kAdapterFailure, kAdapterFailure, qor_send_rsp_to_client, false, {0x38a}, 200},
    };
    for (const Row& row : rows) {
        const char* op = row.cert ? "ssl.requestClientCert" : "req.requestWSA";
        SCOPED_TRACE(std::string(op) + " " + std::to_string(row.adapter)
                     + (row.session ? "" : " without a session"));
        QORTestTransaction t;
        QORTestSSLSession* ssl = row.session ? t.addSSLSession() : nullptr;
        if (row.adapter != qor_s_ok)
            t.failOn(op, row.adapter);
        if (row.setCode != qor_s_ok)
            t.failOn("rsp.setCode", row.setCode);
        Answer a({{row.cert ? B::qor_rsp_req_client_cert : B::qor_rsp_req_wsa},
                  {B::qor_rsp_set_response_code, "401"}},
                 qor_send_rsp_to_client);
        qor_proxy_rsp_code_e code = qor_max_proxy_rsp_code;
        EXPECT_EQ(a.apply(&t, &code), row.status);
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(t.shouldRetry(), row.retry);
        std::vector<int> logged;
        for (int m : row.logged)
            logged.push_back(static_cast<int>(QOR_MSG_ID(m)));
        EXPECT_EQ(t.loggedMessages, logged);
        EXPECT_EQ(finalized(t), !row.retry && logged.empty());
        EXPECT_EQ(t.response().code(), row.rspCode);
        if (ssl != nullptr) {
            EXPECT_EQ(ssl->clientCertRequested(), row.cert && row.retry);
        }
    }
}

// The cache version and header texts reach the transaction unchanged,
// whatever the texts hold: the adapter, not the plug-in, decides what its
// web server accepts. A trace level changes nothing there.
TEST(WebTransAnswerUnmarshaller, ValuesPassUnchanged)
{
    QOREpochVersion v = {};
    v.m_identifier[15] = 7;
    v.m_counter = 42;
    const char value[] = "a\r\nInjected: 1";
    QORTestTransaction t;
    Answer a({{B::qor_rsp_set_trace_level, "3"}, {B::qor_rsp_add_header, "X-Odd Name", value}});
    ASSERT_EQ(a.writer.addURCVersion(v), qor_s_ok);
    EXPECT_EQ(a.apply(&t), qor_s_ok);
    ASSERT_NE(t.getURCVersion(), nullptr);
    EXPECT_TRUE(*t.getURCVersion() == v);
    EXPECT_TRUE(t.loggedMessages.empty());
    ASSERT_EQ(t.response().headers.size(), 1);
    EXPECT_EQ(t.response().headers[0].name, "X-Odd Name");
    EXPECT_EQ(t.response().headers[0].value, value);
}

TEST(WebTransAnswerUnmarshaller, CommandsAppliedInOrderAndCountNotUsed)
{
    QORTestTransaction t;
    Answer a({{B::qor_req_set_header, "A", "1"}, {B::qor_req_set_header, "A", "2"}});
    // The count, after the result code, says 9: it is read, but the chain
    // decides.
    const uint32_t nine = 9;
    ASSERT_EQ(a.region.written()[3], 2u);
    memcpy(a.region.bytes() + QORTestRegion::kStart + 12, &nine, 4);
    QORWebTransAnswerUnmarshaller u;
    EXPECT_EQ(u.unmarshal(a.region.reader(), &t), qor_s_ok);
    EXPECT_EQ(u.getNumCmds(), 9);
    EXPECT_STREQ(t.request().headers.get("A"), "2");
    EXPECT_EQ(t.calls().count("req.setHeader"), 2);
}

// A decoded answer carries out what the unmarshaller does, call for call,
// with the same logging, status and result, on each transaction it is
// applied to; what it cannot decode it refuses as a whole.
TEST(DecodedAnswer, AppliesAsTheUnmarshallerDoes)
{
    struct Row {
        const char* name;
        std::vector<Cmd> cmds;
        const char* failOp;   // an adapter call made to fail, or null
        qor_proxy_rsp_code_e rspCode = qor_continue;
    } rows[] = {
        {"headers and log user",
         {{B::qor_req_remove_header, "X-User"},
          {B::qor_req_set_header, "X-User", "alice"},
          {B::qor_req_add_header, "X-Group", "staff"},
          {B::qor_req_set_web_log_user, "alice", "DX"}},
         nullptr},
        {"a response with body pieces and a file",
         {{B::qor_rsp_set_response_code, "403"},
          {B::qor_rsp_set_body, "a"},
          {B::qor_rsp_set_body, "b"},
          {B::qor_rsp_set_body_from_file, "f"},
          {B::qor_rsp_set_body_from_file, "g"}},
         nullptr, qor_send_rsp_to_client},
        {"a failing header stops the rest",
         {{B::qor_req_set_header, "A", "1"}, {B::qor_req_add_header, "B", "2"}},
         "req.setHeader"},
        {"a failing body is logged",
         {{B::qor_req_set_body, "rb"}, {B::qor_rsp_set_body, "p"}}, "rsp.appendBody"},
        {"get body asks for more", {{B::qor_req_get_body, "10"}}, "req.retrieveBody"},
        {"get body retries", {{B::qor_req_get_body, "10"}, {B::qor_rsp_set_body, "x"}}, nullptr},
        {"a client certificate without a session", {{B::qor_rsp_req_client_cert}}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Answer a({}, row.rspCode);
        for (const Cmd& c : row.cmds)
            a.add(c);
        auto prepare = [&](QORTestTransaction& t) {
            t.request().pendingBody = "0123456789";
            if (row.failOp != nullptr)
                t.failOn(row.failOp, row.failOp == std::string("req.retrieveBody")
                                         ? qor_s_not_available
                                         : kAdapterFailure);
        };
        QORTestTransaction read;
        prepare(read);
        qor_proxy_rsp_code_e readCode = qor_severe_error;
        QORStatus readStatus = a.apply(&read, &readCode);

        QORDecodedAnswer decoded;
        ASSERT_EQ(decoded.decode(a.region.reader()), qor_s_ok);
        for (int use = 0; use < 2; use++) {
            QORTestTransaction t;
            prepare(t);
            qor_proxy_rsp_code_e code = qor_severe_error;
            EXPECT_EQ(decoded.apply(&t, &code), readStatus);
            EXPECT_EQ(code, readCode);
            EXPECT_EQ(t.calls().text(), read.calls().text());
            EXPECT_EQ(t.loggedMessages, read.loggedMessages);
            EXPECT_EQ(t.shouldRetry(), read.shouldRetry());
        }
    }

    // Refused whole, not half: a command the plug-in does not carry out
    // after one it does, and damaged data after good commands.
    struct Refused {
        std::vector<uint32_t> words;
        QORStatus status;
    } refused[] = {
        {answerWords({{24, 404}, {23}}), qor_s_unsupported_command},
        {answerWords({{24, 404}, {40}}), qor_s_invalid_command},
        {answerWords({{24, 404}, {0, 2, qor_test_chars("A\0\0\0")}}), qor_s_msg_unmarshal_failed},
    };
    for (const Refused& r : refused) {
        QORTestRegion region(static_cast<unsigned int>(r.words.size() * 4 + 64));
        region.put(r.words);
        QORDecodedAnswer d;
        EXPECT_EQ(d.decode(region.reader()), r.status);
        QORTestTransaction t;
        qor_proxy_rsp_code_e code = qor_severe_error;
        EXPECT_EQ(d.apply(&t, &code), qor_s_ok);  // an empty answer
        EXPECT_FALSE(t.calls().contains("rsp.setCode")) << t.calls().text();
    }
}

// The factories make their unmarshallers from the class allocator while a
// reference to it is held (rounds reuse its memory), from the heap once the
// last is released; the plug-in never sends an answer.
template <class Unmarshaller, class Factory>
void checkFactory(int type)
{
    Factory f;
    ASSERT_EQ(Unmarshaller::addAllocatorRef(), qor_s_ok);
    ASSERT_EQ(Unmarshaller::addAllocatorRef(), qor_s_ok);
    QORAllocator* alloc = Unmarshaller::classAllocator().get();
    ASSERT_NE(alloc, nullptr);
    for (int round = 0; round < 3; round++) {
        QORProxyIFMessage* msgs[8] = {};
        for (QORProxyIFMessage*& m : msgs) {
            ASSERT_EQ(f.createMsg(&m), qor_s_ok);
            EXPECT_EQ(m->getType(), type);
            EXPECT_EQ(QORAllocated::allocatorOf(m), alloc);
        }
        QORSharedMemAllocator unused;
        EXPECT_EQ(msgs[0]->marshal(unused), qor_s_not_supported);
        for (QORProxyIFMessage* m : msgs)
            m->deleteMe();
    }
    Unmarshaller::releaseAllocatorRef();
    EXPECT_EQ(Unmarshaller::classAllocator().get(), alloc);
    Unmarshaller::releaseAllocatorRef();
    EXPECT_EQ(Unmarshaller::classAllocator().get(), nullptr);
    QORProxyIFMessage* m = nullptr;
    ASSERT_EQ(f.createMsg(&m), qor_s_ok);
    EXPECT_EQ(QORAllocated::allocatorOf(m), nullptr);
    m->deleteMe();
}

TEST(AnswerFactories, MakeUnmarshallersFromTheClassAllocator)
{
    checkFactory<QORWebTransAnswerUnmarshaller, QORWebTransAnswerFactory>(
        qor_msg_web_trans_answer);
    checkFactory<QORConfigAnswerUnmarshaller, QORConfigAnswerFactory>(qor_msg_config_answer);
}
