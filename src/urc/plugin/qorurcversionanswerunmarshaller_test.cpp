#include "urc/plugin/qorurcversionanswerunmarshaller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/core/qoractiongrouplist.h"
#include "qortestlog.h"
#include "qortesturcanswer.h"

namespace {

typedef QORUnprotResourceCacheBranchDBEntry Entry;
const uint32_t kNone = QORTestRegion::kNoNext;
const uint32_t s = QORTestRegion::kStart;

QOREpochVersion (*const version)(int) = QORTestAuthServer::versionWithCounter;

const Entry* lookup(const QORUnprotResourceCache& cache, const char* branch, const char* object)
{
    QORString b(branch);
    QORString o(object);
    void* handle = nullptr;
    if (cache.lookupStart(&b, &handle) != qor_s_ok)
        return nullptr;
    const Entry* e = nullptr;
    EXPECT_EQ(cache.lookupDB(handle, &o, &e), qor_s_ok);
    return e;
}

int branchSize(const QORUnprotResourceCache& cache, const char* branch)
{
    QORString b(branch);
    return cache.size(&b);
}

} // namespace

TEST(URCVersionAnswer, TwoBranchesInstalledWithTheVersion)
{
    QORTestRegion r;
    ASSERT_EQ(qor_test_write_urc_answer(
                  r, version(9),
                  {{"/web1", {{"/web1/pub", "*"}, {"/web1/doc", "rx"}}},
                   {"/web2", {{"/web2/a", "**"}, {"/web2/b", "Tr[Audit]g"}}}}),
              qor_s_ok);
    QORUnprotResourceCache cache;
    QORString web3("/web3");
    void* handle = nullptr;
    EXPECT_EQ(cache.size(&web3), -1);
    EXPECT_EQ(cache.lookupStart(&web3, &handle), qor_s_urc_no_db);
    QORTestLog log;
    ASSERT_EQ(qor_test_apply_urc_answer(r, &cache, &log), qor_s_ok);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(cache.getVersion() == version(9));
    ASSERT_NE(cache.getDB(), nullptr);
    EXPECT_EQ(cache.getDB()->entries(), 2u);
    EXPECT_EQ(branchSize(cache, "/web1"), 2);
    EXPECT_EQ(branchSize(cache, "/web2"), 2);
    EXPECT_EQ(branchSize(cache, "/web3"), -1);
    // Only "*" itself opens an object to everyone.
    const struct {
        const char* branch;
        const char* object;
        int type;
        const char* perms;
    } entries[] = {
        {"/web1", "/web1/pub", Entry::qor_urc_perm_type_all, nullptr},
        {"/web1", "/web1/doc", Entry::qor_urc_perm_type_some, "rx"},
        {"/web2", "/web2/a", Entry::qor_urc_perm_type_some, "**"},
        {"/web2", "/web2/b", Entry::qor_urc_perm_type_some, "Tr[Audit]g"},
    };
    for (const auto& e : entries) {
        const Entry* found = lookup(cache, e.branch, e.object);
        ASSERT_NE(found, nullptr) << e.object;
        EXPECT_EQ(found->getPermType(), e.type) << e.object;
        QORString text;
        if (e.perms == nullptr) {
            EXPECT_EQ(found->getPerms(), nullptr) << e.object;
        } else {
            ASSERT_TRUE(found->getPerms() && found->getPerms()->toText(&text)) << e.object;
            EXPECT_EQ(qor_test_str(QORStringRef(text)), e.perms);
        }
    }
    EXPECT_EQ(lookup(cache, "/web2", "/web2/c"), nullptr);
    EXPECT_EQ(lookup(cache, "/web1", "/web2/a"), nullptr);
}

// Damaged answers and bad permission texts: logged, returned, and the
// cache keeps what it had.
TEST(URCVersionAnswer, FailuresKeepTheOldCache)
{
    const uint32_t v[5] = {0xa3a2a1a0, 0xa7a6a5a4, 0xabaaa9a8, 0xafaeadac, 9};
    auto versionElement = [&](uint32_t next) {
        return std::vector<uint32_t>{24, next, 20, v[0], v[1], v[2], v[3], v[4]};
    };
    auto join = [](std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    // The version, then branch "b" linked to what follows at s + 48.
    auto branchB = [&](const std::vector<uint32_t>& rest) {
        return join(join(versionElement(s + 32), {8, s + 48, 2, qor_test_chars("b\0\0\0")}),
                    rest);
    };
    struct Row {
        const char* name;
        std::vector<uint32_t> words;
        QORStatus status;
    } rows[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"version of 16 bytes", {20, kNone, 16, 1, 2, 3, 4}, qor_s_msg_unmarshal_failed},
        {"version of 24 bytes", {28, kNone, 24, 1, 2, 3, 4, 5, 6}, qor_s_msg_unmarshal_failed},
        {"version with a word more", {28, kNone, 20, 1, 2, 3, 4, 5, 6},
         qor_s_msg_unmarshal_failed},
        {"branch name without count",
         join(versionElement(s + 32), {8, kNone, 2, qor_test_chars("b\0\0\0")}),
         qor_s_msg_unmarshal_failed},
        {"negative count", branchB({4, kNone, 0xffffffff}), qor_s_msg_unmarshal_failed},
        {"fewer entries than the count",
         branchB({4, s + 60, 2, 16, kNone, 2, qor_test_chars("o\0\0\0"), 2,
                  qor_test_chars("*\0\0\0")}),
         qor_s_msg_unmarshal_failed},
        {"huge count", branchB({4, kNone, 0x7fffffff}), qor_s_msg_unmarshal_failed},
        {"entry without value",
         branchB({4, s + 60, 1, 8, kNone, 2, qor_test_chars("o\0\0\0")}),
         qor_s_msg_unmarshal_failed},
        {"count of 8 bytes", branchB({8, kNone, 0, 0}), qor_s_msg_unmarshal_failed},
        {"element past the region", join(versionElement(s + 32), {80, kNone, 2}),
         qor_s_ipc_no_more_segments},
        {"unbalanced action group text",
         branchB({4, s + 60, 1, 20, kNone, 2, qor_test_chars("o\0\0\0"), 7,
                  qor_test_chars("[a]x"), qor_test_chars("[b\0\0")}),
         qor_s_invalid_action_set},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QORUnprotResourceCache cache;
        QORTestRegion good;
        ASSERT_EQ(qor_test_write_urc_answer(good, version(1), {{"/old", {{"/old/x", "*"}}}}),
                  qor_s_ok);
        ASSERT_EQ(qor_test_apply_urc_answer(good, &cache, nullptr), qor_s_ok);
        const QORURCDB* db = cache.getDB();
        QORTestRegion bad;
        bad.put(row.words);
        QORTestLog log;
        EXPECT_EQ(qor_test_apply_urc_answer(bad, &cache, &log), row.status);
        EXPECT_EQ(cache.getDB(), db);
        EXPECT_TRUE(cache.getVersion() == version(1));
        EXPECT_EQ(log.count("DXQor ERROR"), 1) << (log.lines().empty() ? "" : log.lines()[0]);
    }
}

TEST(URCVersionAnswer, ContextIsRequired)
{
    QORTestRegion r;
    ASSERT_EQ(qor_test_write_urc_answer(r, version(1), {}), qor_s_ok);
    QORURCVersionAnswerUnmarshaller u;
    EXPECT_EQ(u.unmarshal(r.reader(), nullptr), qor_s_invalid_argument);
    QORTestLog log;
    QORURCVersionAnswerContext noCache = {nullptr, &log};
    EXPECT_EQ(u.unmarshal(r.reader(), &noCache), qor_s_invalid_argument);
    EXPECT_EQ(log.count("DXQor ERROR"), 1);
    EXPECT_EQ(u.marshal(r.alloc), qor_s_not_supported);
}
