#include "plugin/core/qortransaction.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "qortesttransaction.h"

namespace {

// Implements only what a transaction must: the log line.
class BareTransaction : public QORTransaction {
public:
    explicit BareTransaction(QORAllocator* a = nullptr)
        : QORTransaction(a)
    {
    }
    QORStatus logText(qor_log_levels_e level, const char* text) override
    {
        lastLevel = level;
        lines.push_back(text);
        return textStatus;
    }
    std::vector<std::string> lines;
    qor_log_levels_e lastLevel = qor_log_level_info;
    QORStatus textStatus = qor_s_ok;
};

const QORStatus kNoMessageText = 0x35f027ffu;   // an id without catalogue text

} // namespace

TEST(QORTransactionState, StartsWithNothingDecidedAndKeepsItsAllocator)
{
    QORCountingAllocator a;
    BareTransaction t(&a);
    EXPECT_EQ(t.getResult(), qor_severe_error);
    EXPECT_FALSE(t.shouldRetry());
    EXPECT_EQ(t.getURCVersion(), nullptr);
    EXPECT_EQ(t.allocator(), &a);
    EXPECT_EQ(t.m_request, nullptr);
    EXPECT_EQ(t.m_response, nullptr);
    EXPECT_EQ(t.prepareForRetry(), qor_s_ok);

    t.setRetry(true);
    EXPECT_TRUE(t.shouldRetry());
    t.setRetry(false);
    EXPECT_FALSE(t.shouldRetry());
}

TEST(QORTransactionState, OnlyTheDefaultResponseCodeTouchesTheResponse)
{
    for (int code = qor_severe_error; code < qor_max_proxy_rsp_code; code++) {
        SCOPED_TRACE(code);
        QORTestTransaction t;
        EXPECT_EQ(t.setResult(static_cast<qor_proxy_rsp_code_e>(code)), qor_s_ok);
        EXPECT_EQ(t.getResult(), code);
        bool isDefault = code == qor_send_default_rsp_to_client;
        EXPECT_EQ(t.calls().count("rsp.setUseDefaultResponse(true)"), isDefault ? 1 : 0);
        EXPECT_EQ(t.calls().count("rsp"), 0);
        EXPECT_EQ(t.response().useDefaultResponse(), isDefault);
    }
    // Without a response the code is still stored.
    BareTransaction bare;
    EXPECT_EQ(bare.setResult(qor_send_default_rsp_to_client), qor_s_ok);
    EXPECT_EQ(bare.getResult(), qor_send_default_rsp_to_client);
}

TEST(QORTransactionState, StoresTheCacheVersionAsTwentyBytes)
{
    BareTransaction t;
    unsigned char bytes[20];
    for (int i = 0; i < 20; i++)
        bytes[i] = static_cast<unsigned char>(0xa0 + i);
    t.setURCVersion(bytes);
    const QOREpochVersion* v = t.getURCVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(memcmp(v, bytes, 20), 0);
    bytes[19] = 0;   // a copy, not a view
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(v)[19], 0xa0 + 19);
}

TEST(QORTransactionState, MemoryOperationsGoToTheTransactionsAllocator)
{
    QORCountingAllocator a;
    BareTransaction t(&a);
    char* p = static_cast<char*>(t.allocate(8));
    ASSERT_NE(p, nullptr);
    memcpy(p, "abcdefg", 8);
    char* q = static_cast<char*>(t.duplicate(p, 8));
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "abcdefg");
    p = static_cast<char*>(t.reallocate(p, 8, 64));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abcdefg");
    EXPECT_EQ(a.allocations, 2);
    EXPECT_EQ(a.reallocations, 1);
    t.deallocate(p);
    t.deallocate(q);
    EXPECT_EQ(a.live(), 0);
}

TEST(QORTransactionLog, FormatsTheCatalogueTextWithTheArguments)
{
    BareTransaction t;
    EXPECT_EQ(t.logMessage(qor_log_level_error, 0x35f0228c, "boom", 0x35f02001u), qor_s_ok);
    ASSERT_EQ(t.lines.size(), 1u);
    EXPECT_EQ(t.lines[0], "XLTIC0652E   Failed to add a header to the request: error: boom "
                          "(error code: 0x35f02001).");
    EXPECT_EQ(t.lastLevel, qor_log_level_error);

    // What logText returns is what logMessage returns.
    t.textStatus = 0x35f02035;
    EXPECT_EQ(t.logMessage(qor_log_level_warning, 0x35f02282, 7), 0x35f02035u);
    EXPECT_EQ(t.lines.back(), "XLTIC0642E   An unknown message type was received from the "
                              "authorization server: 0x7");
    EXPECT_EQ(t.lastLevel, qor_log_level_warning);
}

TEST(QORTransactionLog, AMessageWithoutTextLogsItsNumber)
{
    BareTransaction t;
    t.textStatus = 0x35f02035;   // ignored on this path
    EXPECT_EQ(t.logMessage(qor_log_level_error, static_cast<int>(kNoMessageText)), qor_s_ok);
    ASSERT_EQ(t.lines.size(), 1u);
    EXPECT_EQ(t.lines[0], "XLTIC0640E   There is no message string for message code 0x35f027ff.");
}

TEST(QORTransactionLog, LongLinesAreCutTo199Bytes)
{
    BareTransaction t;
    std::string arg(400, 'x');
    EXPECT_EQ(t.logMessage(qor_log_level_error, 0x35f0228c, arg.c_str(), 1u), qor_s_ok);
    ASSERT_EQ(t.lines.size(), 1u);
    EXPECT_EQ(t.lines[0].size(), 199u);
    EXPECT_EQ(t.lines[0].compare(0, 10, "XLTIC0652E"), 0);
}

TEST(QORTransactionLog, TheTestTransactionRecordsMessageAndLine)
{
    QORTestTransaction t;
    t.logMessage(qor_log_level_error, 0x35f02289);
    EXPECT_EQ(t.calls().at(0), "trans.logMessage(0, 0x35f02289)");
    ASSERT_EQ(t.logLines.size(), 1u);
    EXPECT_EQ(t.logLines[0], "XLTIC0649E   An invalid transaction has been received from the "
                             "authorization server.");
    EXPECT_EQ(t.loggedMessages, std::vector<int>{0x35f02289});
}

TEST(QORTransactionRedirect, ResolvesTheLocationAgainstTheFullURL)
{
    QORTestTransaction t;
    t.addServer("vh", "shop.example", 8443);
    t.request().security = 1;
    t.request().uri = "/a/b/page";
    t.request().hasQuery = true;
    t.request().query = "x=1";

    const struct {
        const char* location;
        const char* expected;
    } cases[] = {
        {"/login", "https://shop.example:8443/login"},
        {"next", "https://shop.example:8443/a/b/next"},
        {"http://other/", "http://other/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        QORString out;
        ASSERT_EQ(t.buildRedirectURL(QORStringRef(c.location), &out), qor_s_ok);
        EXPECT_STREQ(out.c_str(), c.expected);
    }
    // The full URL was built once for all three.
    EXPECT_EQ(t.calls().count("req.getURI"), 1);
}

TEST(QORTransactionRedirect, ReturnsTheFullURLFailure)
{
    QORTestTransaction t;   // no server: no full URL
    QORString out;
    EXPECT_EQ(t.buildRedirectURL(QORStringRef("/x"), &out), qor_s_not_available);

    QORTestTransaction u;
    u.addServer();
    u.failOn("getSecurity", 0x35f02035);
    EXPECT_EQ(u.buildRedirectURL(QORStringRef("/x"), &out), 0x35f02035u);
}
