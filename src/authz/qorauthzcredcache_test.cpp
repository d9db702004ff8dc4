// The verified-credential cache on a clock of the test's own.
#include "authz/qorauthzcredcache.h"
#include <gtest/gtest.h>
#include <string>

TEST(QORAuthzCredentialCacheTest, LifetimeEvictionAndRefresh)
{
    QORAuthzCredentialCache cache;
    ASSERT_EQ(cache.initialize(), qor_s_ok);
    cache.configure(10, 3);
    // At a time: insert a name and password, or ask whether it is held;
    // then the number of entries.
    enum Do { insert, held, absent, clear };
    struct {
        int64_t at;
        Do what;
        const char* user;
        const char* password;
        size_t size;
    } rows[] = {
        {0, absent, "a", "pa", 0},
        {0, insert, "a", "pa", 1},
        {9, held, "a", "pa", 1},
        {10, absent, "a", "pa", 1},    // the lifetime has passed
        {5, absent, "a", "pb", 1},     // another password
        {5, absent, "A", "pa", 1},     // another name
        {5, absent, "ap", "a", 1},     // "a"+"pa" and "ap"+"a" differ
        {1, insert, "b", "pb", 2},
        {2, insert, "c", "pc", 3},
        {3, insert, "a", "pa", 3},     // stored again: a lives to 13
        {4, insert, "d", "pd", 3},     // the oldest (b, not a) goes
        {4, absent, "b", "pb", 3},
        {12, held, "a", "pa", 3},
        {11, held, "c", "pc", 3},     // c lives to 12
        {13, insert, "e", "pe", 2},    // a and c have expired; d and e stay
        {13, held, "d", "pd", 2},
        {13, held, "e", "pe", 2},
        {14, clear, "", "", 0},
        {14, absent, "e", "pe", 0},
    };
    for (auto& row : rows) {
        if (row.what == insert)
            cache.insert(row.user, row.password, row.at);
        else if (row.what == clear)
            cache.clear();
        else
            EXPECT_EQ(cache.contains(row.user, row.password, row.at), row.what == held)
                << row.at << " " << row.user << " " << row.password;
        EXPECT_EQ(cache.size(), row.size) << row.at << " " << row.user;
    }
}

TEST(QORAuthzCredentialCacheTest, OffKeepsNothing)
{
    struct {
        bool initialized;
        int lifetime;
        size_t maxEntries;
    } rows[] = {{false, 10, 3}, {true, 0, 3}, {true, 10, 0}};
    for (auto& row : rows) {
        QORAuthzCredentialCache cache;
        if (row.initialized) {
            ASSERT_EQ(cache.initialize(), qor_s_ok);
        }
        cache.configure(row.lifetime, row.maxEntries);
        cache.insert("a", "pa", 0);
        EXPECT_FALSE(cache.contains("a", "pa", 0)) << row.lifetime << " " << row.maxEntries;
        EXPECT_EQ(cache.size(), 0u);
    }
    QORAuthzCredentialCache cache;
    ASSERT_EQ(cache.initialize(), qor_s_ok);
    cache.configure(10, 3);
    cache.insert("a", "pa", 0);
    cache.configure(20, 3);  // a new setting forgets
    EXPECT_FALSE(cache.contains("a", "pa", 1));
}

TEST(QORAuthzCredentialCacheTest, KeyedDigestsAreShortHexAndPerCache)
{
    QORAuthzCredentialCache one, two, none;
    ASSERT_EQ(one.initialize(), qor_s_ok);
    ASSERT_EQ(two.initialize(), qor_s_ok);
    std::string d = one.keyedDigest("secret");
    EXPECT_EQ(d.size(), 16u);
    EXPECT_EQ(d.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(one.keyedDigest("secret"), d);
    EXPECT_NE(one.keyedDigest("secreT"), d);
    EXPECT_NE(two.keyedDigest("secret"), d);  // a key of its own
    EXPECT_EQ(none.keyedDigest("secret"), "");
}
