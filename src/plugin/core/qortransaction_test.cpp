#include "plugin/core/qortransaction.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "qortesttransaction.h"

TEST(QORTransactionState, StartsUndecidedAndAllocatesFromItsAllocator)
{
    QORCountingAllocator a;
    QORTestTransaction t(&a);
    EXPECT_EQ(t.getResult(), qor_severe_error);
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
    QORTestTransaction bare;
    bare.m_response = nullptr;
    EXPECT_EQ(bare.setResult(qor_send_default_rsp_to_client), qor_s_ok);
    EXPECT_EQ(bare.getResult(), qor_send_default_rsp_to_client);
}

TEST(QORTransactionState, StoresACopyOfTheCacheVersion)
{
    QORTestTransaction t;
    unsigned char bytes[20];
    for (int i = 0; i < 20; i++)
        bytes[i] = static_cast<unsigned char>(0xa0 + i);
    t.setURCVersion(bytes);
    const QOREpochVersion* v = t.getURCVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(memcmp(v, bytes, 20), 0);
    bytes[19] = 0;
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(v)[19], 0xa0 + 19);
}

TEST(QORTransactionLog, FormatsTheCatalogueTextCutTo199Bytes)
{
    QORTestTransaction t;
    EXPECT_EQ(t.logMessage(qor_log_level_error, 0x35f0228c, "boom", 0x35f02001u), qor_s_ok);
    // What logText returns is what logMessage returns.
    t.failOn("logText", 0x35f02035);
    EXPECT_EQ(t.logMessage(qor_log_level_warning, 0x35f02282, 7), 0x35f02035u);
    t.calls().clearFailures();
    EXPECT_EQ(t.logMessage(qor_log_level_error, 0x35f027ff), qor_s_ok);   // no text
    std::string arg(400, 'x');
    EXPECT_EQ(t.logMessage(qor_log_level_error, 0x35f0228c, arg.c_str(), 1u), qor_s_ok);

    std::vector<std::string> texts;
    for (int i = t.calls().find("logText"); i >= 0; i = t.calls().find("logText", i + 1))
        texts.push_back(t.calls().at(i));
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "trans.logText(0, XLTIC0652E   Failed to add a header to the request: "
                        "error: boom (error code: 0x35f02001).)");
    EXPECT_EQ(texts[1], "trans.logText(1, XLTIC0642E   An unknown message type was received "
                        "from the authorization server: 0x7)");
    EXPECT_EQ(texts[2], "trans.logText(0, XLTIC0640E   There is no message string for message "
                        "code 0x35f027ff.)");
    ASSERT_EQ(t.logLines.size(), 3u);
    EXPECT_EQ(t.logLines[2].size(), 199u);
    EXPECT_EQ(t.logLines[2].compare(0, 10, "XLTIC0652E"), 0);
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

    QORTestTransaction none;   // no server: no full URL
    QORString out;
    EXPECT_EQ(none.buildRedirectURL(QORStringRef("/x"), &out), qor_s_not_available);
}
