// The Redis session store against a real redis-server, as two servers
// sharing it see it.
#include "authz/qorauthzredis.h"
#include "authz/qorauthzredisfailures.h"
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <sys/stat.h>
#include <memory>
#include <thread>
#include <vector>
#include <string>
#include "qorredisserver.h"
#include "qortestdir.h"

class QORAuthzRedisTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QORTestDir("authz-redis");
        s_redis = new QORRedisServer(s_dir->path(), "redis-secret");
        ASSERT_TRUE(s_redis->start()) << s_redis->log();
        for (auto& f : {std::make_pair("password", "redis-secret"),
                        std::make_pair("wrong-password", "not-it"),
                        std::make_pair("key", "a key both servers share")}) {
            ASSERT_TRUE(s_dir->write(f.first, f.second));
            chmod(s_dir->file(f.first).c_str(), 0600);
        }
    }
    static void TearDownTestSuite()
    {
        delete s_redis;
        delete s_dir;
    }

    static std::shared_ptr<QORAuthzRedisStore> make(const char* password = "password")
    {
        QORAuthzRedisSettings s;
        s.address = s_redis->address();
        s.passwordFile = s_dir->file(password);
        s.keyFile = s_dir->file("key");
        s.database = 3;
        s.retryMs = 20;
        std::string why;
        auto store = QORAuthzRedisStore::make(s, &why);
        EXPECT_TRUE(store) << why;
        if (store)
            store->configure(100, 1000, 1, 2);
        return store;
    }
    static std::string create(QORAuthzRedisStore& store, const char* user)
    {
        std::string id;
        EXPECT_EQ(store.create(user, 0, &id), qor_s_ok);
        return id;
    }
    // How many keys match pattern.
    static size_t keys(QORAuthzRedisStore& store, const std::string& pattern)
    {
        redisReply* r = store.command({"KEYS", pattern});
        size_t n = r != nullptr ? r->elements : 0;
        freeReplyObject(r);
        return n;
    }

    static QORTestDir* s_dir;
    static QORRedisServer* s_redis;
};

QORTestDir* QORAuthzRedisTest::s_dir = nullptr;
QORRedisServer* QORAuthzRedisTest::s_redis = nullptr;

TEST_F(QORAuthzRedisTest, ASessionAndATokenOfOneServerAreGoodOnTheOther)
{
    auto a = make(), b = make();
    ASSERT_TRUE(a && b);
    std::string id = create(*a, "alice"), user;
    EXPECT_EQ(b->find(id, 0, &user), qor_s_ok);
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(keys(*a, "*" + id + "*"), 0u) << "the identifier is a key";
    EXPECT_EQ(keys(*a, "dxqor:s:*"), 1u);

    std::string token;
    ASSERT_EQ(a->issueToken(0, &token), qor_s_ok);
    EXPECT_EQ(b->consumeToken(token, 0), qor_s_ok);
    EXPECT_EQ(a->consumeToken(token, 0), qor_s_not_found);  // good once, anywhere
    EXPECT_EQ(a->consumeToken("0123", 0), qor_s_not_found);

    // Two per user: the third goes in and the oldest out, on both servers.
    std::string c1 = create(*a, "carol"), c2 = create(*b, "carol"), c3 = create(*a, "carol");
    EXPECT_EQ(b->find(c1, 0, &user), qor_s_not_found);
    EXPECT_EQ(b->find(c2, 0, &user), qor_s_ok);
    EXPECT_EQ(a->removeUser("carol"), qor_s_ok);  // "log out everywhere"
    EXPECT_EQ(b->find(c2, 0, &user), qor_s_not_found);
    EXPECT_EQ(b->find(c3, 0, &user), qor_s_not_found);
    EXPECT_EQ(b->remove(id), qor_s_ok);
    EXPECT_EQ(a->find(id, 0, &user), qor_s_not_found);
    EXPECT_EQ(a->use(id, 0, &user), qor_s_not_found);
}

TEST_F(QORAuthzRedisTest, IdleExpiryRenewedOnUseAndTheAbsoluteDeadline)
{
    auto store = make();
    int64_t wall = 1700000000LL * 1000000;
    store->setClock([&] { return wall; });
    std::string id = create(*store, "dave"), user;
    auto ttl = [&] {
        redisReply* k = store->command({"KEYS", "dxqor:s:*"});
        redisReply* r = k && k->elements == 1 ? store->command({"TTL", k->element[0]->str}) : nullptr;
        long long t = r ? r->integer : -3;
        freeReplyObject(r);
        freeReplyObject(k);
        return t;
    };
    EXPECT_LE(ttl(), 100);
    store->configure(5000, 1000, 1, 2);
    EXPECT_EQ(store->use(id, 0, &user), qor_s_ok);
    EXPECT_GT(ttl(), 100);  // the new idle lifetime runs from the use
    wall += 999LL * 1000000;
    EXPECT_EQ(store->find(id, 0, &user), qor_s_ok);
    wall += 1000000;
    EXPECT_EQ(store->find(id, 0, &user), qor_s_not_found);
    EXPECT_EQ(ttl(), -3) << "a session past its deadline is removed";

    store->configure(1, 1000, 1, 2);
    id = create(*store, "dave");
    EXPECT_TRUE(qor_test_wait_until([&] { return store->find(id, 0, &user) == qor_s_not_found; }));
}

TEST_F(QORAuthzRedisTest, DownIsUnavailableNeverNoAndTheStoreReconnects)
{
    auto store = make(), refused = make("wrong-password");
    std::string id = create(*store, "erin"), user, token;
    EXPECT_EQ(refused->find(id, 0, &user), qor_s_not_available);
    ASSERT_TRUE(s_redis->stop());
    // Many workers at once: one reconnects at a time, each failure doubles
    // the wait before the next try, the others fail at once.
    int before = store->connectAttempts();
    std::vector<std::thread> workers;
    for (int i = 0; i < 8; i++)
        workers.emplace_back([&] {
            std::string u;
            for (int j = 0; j < 50; j++)
                EXPECT_EQ(store->find(id, 0, &u), qor_s_not_available);
        });
    for (auto& w : workers)
        w.join();
    EXPECT_LE(store->connectAttempts() - before, 16);
    EXPECT_EQ(store->use(id, 0, &user), qor_s_not_available);
    EXPECT_EQ(store->create("erin", 0, &user), qor_s_not_available);
    EXPECT_EQ(store->issueToken(0, &token), qor_s_not_available);
    EXPECT_EQ(store->consumeToken("00", 0), qor_s_not_available);
    EXPECT_EQ(store->removeUser("erin"), qor_s_not_available);
    ASSERT_TRUE(s_redis->start()) << s_redis->log();
    // The data went with the server; the store finds it again after its
    // back-off.
    EXPECT_TRUE(qor_test_wait_until([&] { return store->find(id, 0, &user) == qor_s_not_found; }));
    id = create(*store, "erin");
    EXPECT_EQ(store->find(id, 0, &user), qor_s_ok);
}

TEST_F(QORAuthzRedisTest, FailuresOnEveryServerAreCountedOnceAndInMemoryWhileDown)
{
    QORAuthzFailureCounter::Rule rule;
    rule.delayAfter = 2;
    rule.delayMs = 60000;
    rule.limit = 4;
    QORAuthzRedisFailureCounter a, b;
    a.setStore(make());
    b.setStore(make());
    a.configure(rule);
    b.configure(rule);
    bool limited = false;
    a.recordFailure("u:frank");
    EXPECT_EQ(b.waitMs("u:frank"), 0);
    b.recordFailure("u:frank");  // the second, on the other server
    EXPECT_GT(a.waitMs("u:frank", &limited), 50000);
    EXPECT_FALSE(limited);
    a.recordFailure("u:frank");
    b.recordFailure("u:frank");
    EXPECT_GT(a.waitMs("u:frank", &limited), 60000);  // the window's rest
    EXPECT_TRUE(limited);
    EXPECT_EQ(b.waitMs("u:grace"), 0);
    b.clear("u:frank");
    EXPECT_EQ(a.waitMs("u:frank"), 0);

    ASSERT_TRUE(s_redis->stop());
    for (int i = 0; i < 4; i++)
        a.recordFailure("u:frank");
    EXPECT_GT(a.waitMs("u:frank", &limited), 60000);
    EXPECT_TRUE(limited);
    ASSERT_TRUE(s_redis->start()) << s_redis->log();
}
