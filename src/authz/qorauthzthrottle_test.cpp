// The failure counts and the throttle on a clock of the test's own.
#include "authz/qorauthzthrottle.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct TestClock {
    int64_t ms = 1000000;
    QORAuthzFailureCounter::Clock clock()
    {
        return [this] { return ms; };
    }
};

QORAuthzFailureCounter::Rule rule(int window, int delayAfter, int delayMs, int limit)
{
    QORAuthzFailureCounter::Rule r;
    r.windowSeconds = window;
    r.delayAfter = delayAfter;
    r.delayMs = delayMs;
    r.limit = limit;
    return r;
}

void fail(QORAuthzFailureCounter& counter, const std::string& key, int times)
{
    for (int i = 0; i < times; i++)
        counter.recordFailure(key);
}

// An attacker's keys, named prefix and a number, failing failures times
// each; the victim must still wait after each key, the table stay bounded.
void flood(QORAuthzFailureTable& table, const std::string& prefix, int keys, int failures,
           const char* victim, size_t maxKeys)
{
    for (int k = 0; k < keys; k++) {
        std::string key = prefix + std::to_string(k);
        fail(table, key, failures);
        ASSERT_LE(table.size(), maxKeys);
        ASSERT_GT(table.waitMs(victim), 0) << key;
    }
}

} // namespace

TEST(QORAuthzFailureTableTest, WaitsFollowTheRuleAndTheClock)
{
    TestClock t;
    QORAuthzFailureTable table(100, t.clock());
    table.configure(rule(10, 2, 500, 4));
    // At ms after the start: fail (record a failure), clear, or only look;
    // then the wait of the key and whether it is the limit's.
    enum Do { look, fail, clear };
    struct {
        int64_t at;
        Do what;
        const char* key;
        int64_t wait;
        bool limited;
    } rows[] = {
        {0, look, "k", 0, false},
        {0, fail, "k", 0, false},        // one: below the slow-down
        {100, fail, "k", 500, false},    // two: the next attempt waits 500 ms
        {350, look, "k", 250, false},
        {600, look, "k", 0, false},      // waited out
        {600, look, "other", 0, false},  // keys count apart
        {700, fail, "k", 500, false},    // three: again 500 from this one
        {800, fail, "k", 9200, true},    // four: the limit, until the window ends
        {9999, look, "k", 1, true},
        {10000, look, "k", 0, false},    // the window has passed: counting anew
        {10000, fail, "k", 0, false},
        {10100, fail, "k", 500, false},
        {10200, clear, "k", 0, false},   // a success forgets
        {10200, fail, "k", 0, false},
    };
    for (auto& row : rows) {
        t.ms = 1000000 + row.at;
        if (row.what == fail)
            table.recordFailure(row.key);
        else if (row.what == clear)
            table.clear(row.key);
        bool limited = !row.limited;
        EXPECT_EQ(table.waitMs(row.key, &limited), row.wait) << row.at << " " << row.key;
        EXPECT_EQ(limited, row.limited) << row.at << " " << row.key;
    }
}

TEST(QORAuthzFailureTableTest, NoDelayAndNoLimitNeverWait)
{
    TestClock t;
    QORAuthzFailureTable table(100, t.clock());
    struct {
        int delayMs;
        int limit;
        int64_t wait;  // after 20 failures
    } rows[] = {{0, 0, 0}, {0, 20, 10000}, {500, 0, 500}, {500, 21, 500}};
    for (auto& row : rows) {
        table.configure(rule(10, 1, row.delayMs, row.limit));
        table.clear("k");
        fail(table, "k", 20);
        EXPECT_EQ(table.waitMs("k"), row.wait) << row.delayMs << " " << row.limit;
    }
}

TEST(QORAuthzFailureTableTest, AnAttackerWhoFillsTheTableNeverResetsACountInForce)
{
    TestClock t;
    QORAuthzFailureTable table(50, t.clock());
    table.configure(rule(300, 3, 500, 10));
    fail(table, "victim-limited", 10);
    fail(table, "victim-slowed", 3);
    t.ms += 1000;
    ASSERT_GT(table.waitMs("victim-limited"), 0);
    // Keys without end with one failure each, all newer than the victims.
    flood(table, "attacker-1-", 500, 1, "victim-limited", 50);
    // Both were kept: a fourth failure slows the one down again at once.
    table.recordFailure("victim-slowed");
    EXPECT_EQ(table.waitMs("victim-slowed"), 500);
    // Keys with three failures each: slowed down, in force but short of
    // the limit. Once nothing below them is left, the oldest slowed-down
    // count goes, never the one at the limit.
    flood(table, "attacker-3-", 500, 3, "victim-limited", 50);
    EXPECT_EQ(table.size(), 50u);
}

TEST(QORAuthzFailureTableTest, ExpiredCountsGoFirstThenTheOldest)
{
    TestClock t;
    QORAuthzFailureTable table(3, t.clock());
    table.configure(rule(10, 2, 500, 3));
    fail(table, "limited-old", 3);  // expires first
    t.ms += 5000;
    table.recordFailure("plain-a");
    t.ms += 1;
    table.recordFailure("plain-b");
    t.ms += 5000;  // limited-old's window has passed
    table.recordFailure("plain-c");
    EXPECT_EQ(table.waitMs("limited-old"), 0);
    table.recordFailure("plain-a");  // two failures: slowed down, in force
    table.recordFailure("plain-d");  // the oldest below the slow-down (plain-b) goes
    EXPECT_EQ(table.size(), 3u);
    table.recordFailure("plain-b");
    // plain-b came back with a single failure; had it been kept, its
    // second would have slowed it down.
    EXPECT_EQ(table.waitMs("plain-b"), 0);
    EXPECT_GT(table.waitMs("plain-a"), 0);
}

TEST(QORAuthzThrottleTest, TheLongerWaitOfUserAndAddress)
{
    TestClock t;
    QORAuthzThrottle throttle;  // the table in memory, on the test's clock
    throttle.counter().setClock(t.clock());
    throttle.configure(60, 2, 1500, 4);
    struct {
        int64_t atMs;
        const char* user;
        const char* address;
        bool fail;  // record a failure first; else a success when "ok"
        bool refused;
        int retryAfter;
        bool limited;
    } rows[] = {
        {0, "alice", "a1", true, false, 0, false},
        {0, "alice", "a2", true, true, 2, false},   // alice: two, 1.5 s
        {0, "bob", "a1", false, false, 0, false},   // bob from a1: a1 has one
        {1000, "bob", "a2", false, false, 0, false},
        {1000, "bob", "a2", true, true, 2, false},  // a2: two (alice's and bob's)
        {1600, "alice", "a3", false, false, 0, false},
        {1600, "alice", "a3", true, true, 2, false},
        {1700, "alice", "a4", true, true, 59, true},  // alice: four, the limit
        {1700, "carol", "a4", true, true, 2, false},  // a4: two
    };
    for (auto& row : rows) {
        t.ms = 1000000 + row.atMs;
        if (row.fail)
            throttle.failed(row.user, row.address);
        QORAuthzThrottle::Verdict v = throttle.check(row.user, row.address);
        EXPECT_EQ(v.refused, row.refused) << row.atMs << " " << row.user << " " << row.address;
        EXPECT_EQ(v.retryAfter, row.retryAfter) << row.atMs << " " << row.user;
        EXPECT_EQ(v.limited, row.limited) << row.atMs << " " << row.user;
    }
    throttle.failed("erin", "a6");
    throttle.failed("erin", "a6");
    EXPECT_TRUE(throttle.check("frank", "a6").refused);
    throttle.succeeded("erin", "a6");
    EXPECT_FALSE(throttle.check("frank", "a6").refused);
    EXPECT_FALSE(throttle.check("erin", "a7").refused);
}
