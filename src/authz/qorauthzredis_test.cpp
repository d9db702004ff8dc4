// The Redis session store against a real redis-server, as two servers
// sharing it see it.
#include "authz/qorauthzredis.h"
#include "authz/qorauthzredisfailures.h"
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>
#include <atomic>
#include <functional>
#include <memory>
#include <fstream>
#include <sstream>
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

    // cacheSize 0: no local copy.
    static std::shared_ptr<QORAuthzRedisStore> make(const char* password = "password",
                                                    const std::string& prefix = "dxqor:",
                                                    int cacheSize = 0)
    {
        QORAuthzRedisSettings s;
        s.address = s_redis->address();
        s.passwordFile = s_dir->file(password);
        s.keyFile = s_dir->file("key");
        s.database = 3;
        s.retryMs = 20;
        s.keyPrefix = prefix;
        s.localCache = cacheSize > 0;
        s.localCacheSize = cacheSize;
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
    // The commands Redis has run, INFO's left out: a lookup answered
    // locally adds none.
    static long long commands(QORAuthzRedisStore& store)
    {
        redisReply* r = store.command({"INFO", "commandstats"});
        std::istringstream lines(r != nullptr && r->type == REDIS_REPLY_STRING ? r->str : "");
        freeReplyObject(r);
        long long n = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("cmdstat_", 0) == 0 && line.rfind("cmdstat_info:", 0) != 0)
                n += atoll(line.c_str() + line.find("calls=") + 6);
        return n;
    }
    // Whether a second use of id is answered by the copy.
    static bool usedLocally(QORAuthzRedisStore& store, const std::string& id)
    {
        std::string user;
        bool ok = store.use(id, 0, &user) == qor_s_ok;
        long long before = commands(store);
        return ok && store.use(id, 0, &user) == qor_s_ok && commands(store) == before;
    }
    // The Redis key of the one session under prefix.
    static std::string sessionKey(QORAuthzRedisStore& store, const std::string& prefix)
    {
        redisReply* k = store.command({"KEYS", prefix + "s:*"});
        std::string key = k != nullptr && k->elements == 1 ? k->element[0]->str : "";
        freeReplyObject(k);
        return key;
    }
    static std::string reply(QORAuthzRedisStore& store, const std::vector<std::string>& argv)
    {
        redisReply* r = store.command(argv);
        std::string text = r == nullptr      ? "none"
                           : r->str != nullptr ? r->str
                                               : std::to_string(r->integer);
        freeReplyObject(r);
        return text;
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
    store = make("password", "dxqor:", 10);
    EXPECT_TRUE(usedLocally(*store, id));  // in the copy, which must not answer below
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

TEST_F(QORAuthzRedisTest, TheLocalCopyAnswersARepeatedUseAndSeesEveryChangeMadeElsewhere)
{
    EXPECT_FALSE(usedLocally(*make(), create(*make(), "alice"))) << "no copy: every use asks";
    typedef std::function<void(QORAuthzRedisStore & a, QORAuthzRedisStore & b,
                               const std::string& id, const std::string& key)> Change;
    struct Row {
        const char* why;
        Change change;
        QORStatus found;
        const char* user;
    } rows[] = {
        {"logged out on the other server",
         [](auto&, auto& b, auto& id, auto&) { EXPECT_EQ(b.remove(id), qor_s_ok); },
         qor_s_not_found, ""},
        {"logged out everywhere on the other",
         [](auto&, auto& b, auto&, auto&) { EXPECT_EQ(b.removeUser("alice"), qor_s_ok); },
         qor_s_not_found, ""},
        {"the per-user limit on the other takes the oldest",
         [](auto&, auto& b, auto&, auto&) {
             create(b, "alice");
             create(b, "alice");
         },
         qor_s_not_found, ""},
        {"changed in Redis", [](auto&, auto& b, auto&, auto& key) {
             EXPECT_EQ(reply(b, {"SET", key, "9999999999 bob", "KEEPTTL"}), "OK");
         }, qor_s_ok, "bob"},
        {"idled out in Redis", [](auto&, auto& b, auto&, auto& key) {
             EXPECT_EQ(reply(b, {"PEXPIRE", key, "1"}), "1");
             EXPECT_TRUE(qor_test_wait_until([&] { return reply(b, {"EXISTS", key}) == "0"; }));
         }, qor_s_not_found, ""},
        {"the database flushed",
         [](auto&, auto& b, auto&, auto&) { EXPECT_EQ(reply(b, {"FLUSHDB"}), "OK"); },
         qor_s_not_found, ""},
        {"past its absolute deadline, checked on the copy's answer",
         [](auto& a, auto&, auto&, auto&) { a.setClock([] { return 9999999999LL * 1000000; }); },
         qor_s_not_found, ""},
    };
    int n = 0;
    for (auto& row : rows) {
        std::string prefix = "row" + std::to_string(n++) + ":", user;
        auto a = make("password", prefix, 10), b = make("password", prefix, 10);
        a->setSteadyClock([] { return 1000; });  // no renewal falls due
        std::string id = create(*a, "alice");
        ASSERT_TRUE(usedLocally(*a, id)) << row.why;
        row.change(*a, *b, id, sessionKey(*a, prefix));
        // The invalidation leaves Redis beside the change's reply, not
        // before it: it is waited for.
        EXPECT_TRUE(qor_test_wait_until([&] {
            user.clear();
            return a->use(id, 0, &user) == row.found && user == row.user;
        })) << row.why;
    }
}

TEST_F(QORAuthzRedisTest, TheCopyRenewsTheIdleLifetimeOncePerIntervalAndHoldsItsSize)
{
    auto a = make("password", "renew:", 2);
    int64_t steady = 1000;
    a->setSteadyClock([&] { return steady; });
    a->configure(1600, 7200, 1, 2);  // renewed every 30 s
    std::string id = create(*a, "alice"), user;
    ASSERT_TRUE(usedLocally(*a, id));
    std::string key = sessionKey(*a, "renew:");
    EXPECT_EQ(reply(*a, {"EXPIRE", key, "500"}), "1");  // the copy's entry goes with it
    EXPECT_EQ(a->use(id, 0, &user), qor_s_ok);
    EXPECT_LE(std::stoll(reply(*a, {"TTL", key})), 500) << "renewed twice in an interval";
    steady += 30000;
    EXPECT_EQ(a->use(id, 0, &user), qor_s_ok);
    EXPECT_GT(std::stoll(reply(*a, {"TTL", key})), 500) << "a used session idles out";

    std::string more[] = {create(*a, "bob"), create(*a, "carol")};
    EXPECT_TRUE(usedLocally(*a, more[0]) && usedLocally(*a, more[1]));
    EXPECT_EQ(a->localCache()->size(), 2u);
    long long before = commands(*a);
    EXPECT_EQ(a->use(id, 0, &user), qor_s_ok);
    EXPECT_GT(commands(*a), before) << "the oldest read went";
    EXPECT_EQ(a->localCache()->size(), 2u);
}

TEST_F(QORAuthzRedisTest, WithoutItsInvalidationLinkTheCopyIsNotUsedUntilItIsBack)
{
    auto a = make("password", "link:", 10), b = make("password", "link:", 10);
    int64_t steady = 1000;  // no renewal falls due; the relinking waits for it
    a->setSteadyClock([&] { return steady; });
    std::string id = create(*a, "alice"), other = create(*a, "bob"), user;
    ASSERT_TRUE(usedLocally(*a, id));
    EXPECT_NE(reply(*b, {"CLIENT", "KILL", "TYPE", "pubsub"}), "0");
    EXPECT_TRUE(qor_test_wait_until([&] { return !a->localCache()->linked(); }));
    EXPECT_EQ(b->remove(id), qor_s_ok);  // an invalidation that reaches no one
    EXPECT_EQ(a->use(id, 0, &user), qor_s_not_found);
    EXPECT_FALSE(usedLocally(*a, other)) << "no copy before the link is back";
    steady += 1000;
    EXPECT_TRUE(usedLocally(*a, other));
    EXPECT_EQ(b->remove(other), qor_s_ok);
    EXPECT_TRUE(qor_test_wait_until([&] { return a->use(other, 0, &user) == qor_s_not_found; }))
        << "the new link gets the invalidations";
}

// Request threads share the copy, each draining invalidations and updating
// it in turn: each sees a logout made on the other server, and the session
// that stayed is still answered.
TEST_F(QORAuthzRedisTest, ThreadsShareTheCopyAndEachSeesALogoutMadeElsewhere)
{
    auto a = make("password", "threads:", 10), b = make("password", "threads:", 10);
    a->setSteadyClock([] { return 1000; });  // no renewal falls due
    std::string gone = create(*a, "alice"), kept = create(*a, "bob");
    ASSERT_TRUE(usedLocally(*a, gone) && usedLocally(*a, kept));
    std::atomic<bool> removed{false};
    std::atomic<int> sawLogout{0}, keptAnswered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            std::string user;
            // Before and after the logout: hits, and misses that go to Redis
            // and update the copy, on every thread at once.
            for (int i = 0; i < 200; i++) {
                (void)a->use(gone, 0, &user);
                (void)a->use(kept, 0, &user);
            }
            sawLogout += qor_test_wait_until([&] {
                return removed && a->use(gone, 0, &user) == qor_s_not_found;
            });
            user.clear();
            keptAnswered += a->use(kept, 0, &user) == qor_s_ok && user == "bob";
        });
    }
    EXPECT_EQ(b->remove(gone), qor_s_ok);
    removed = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(sawLogout, 4);
    EXPECT_EQ(keptAnswered, 4);
}

// A test process killed before its teardown (a sanitizer's report, a crash)
// takes its redis-server with it, rather than leaving it on its port.
TEST(QORRedisServerTest, EndsWithTheProcessThatStartedIt)
{
    QORTestDir dir("redis-orphan");
    ASSERT_TRUE(dir.ok());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        // Never stopped nor deleted: the process just ends.
        QORRedisServer* redis = new QORRedisServer(dir.path());
        pid_t server = redis->start() ? redis->pid() : -1;
        _exit(write(fds[1], &server, sizeof server) == sizeof server ? 0 : 1);
    }
    close(fds[1]);
    pid_t server = -1;
    ssize_t n = read(fds[0], &server, sizeof server);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof server));
    ASSERT_GT(server, 0);
    // Gone, or a zombie that its new parent has yet to reap.
    auto alive = [server] {
        std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
        std::string pid, name, state;
        return stat >> pid >> name >> state && state != "Z";
    };
    bool gone = false;
    for (int i = 0; i < 1500 && !(gone = !alive()); i++)
        usleep(20000);
    if (!gone)
        kill(server, SIGKILL);
    EXPECT_TRUE(gone);
}
