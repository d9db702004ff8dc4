#include "plugin/core/qorpermmap.h"

#include <gtest/gtest.h>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "qortestvhosts.h"

namespace {

QORStatus set(QORPermMap* map, const char* method, QORActionGroupList* l,
              QORAllocator* a = nullptr)
{
    return map->setPerms(QORPermMap::makeMethodKey(QORStringRef(method), a), l);
}

} // namespace

TEST(QORPermMap, MethodEntriesThenTheDefault)
{
    QORPermMap map;
    ASSERT_EQ(map.initialize(), qor_s_ok);
    QORActionGroupList* get = qor_test_action_list("r");
    QORActionGroupList* post = qor_test_action_list("w");
    QORActionGroupList* fallback = qor_test_action_list("x");
    ASSERT_EQ(set(&map, "GET", qor_test_action_list("rw")), qor_s_ok);
    ASSERT_EQ(set(&map, "GET", get), qor_s_ok);   // shadows the earlier entry
    ASSERT_EQ(set(&map, "POST", post), qor_s_ok);
    ASSERT_EQ(set(&map, "PUT", nullptr), qor_s_ok);
    EXPECT_EQ(map.getPerms(QORStringRef("DELETE")), nullptr);   // no default yet

    map.setDefaultPerms(fallback);
    const struct {
        const char* method;
        const QORActionGroupList* expected;
    } cases[] = {
        {"GET", get},       {"POST", post},         {"get", fallback},  {"GETX", fallback},
        {"GE", fallback},   {"PUT", fallback},      {"", fallback},     {"HEAD", fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        EXPECT_EQ(map.getPerms(QORStringRef(c.method)), c.expected);
    }
    EXPECT_EQ(map.entries(), 4u);
}

TEST(QORPermMap, InitializeAndShutdownReleaseEverything)
{
    QORCountingAllocator a;
    {
        QORPermMap map(&a);
        ASSERT_EQ(map.initialize(), qor_s_ok);
        ASSERT_EQ(set(&map, "GET", qor_test_action_list("r", &a), &a), qor_s_ok);
        map.setDefaultPerms(qor_test_action_list("x", &a));
        map.setDefaultPerms(qor_test_action_list("y", &a));   // the previous default is deleted

        ASSERT_EQ(map.initialize(), qor_s_ok);
        EXPECT_EQ(map.entries(), 0u);
        EXPECT_EQ(map.getDefaultPerms(), nullptr);
        EXPECT_EQ(map.getPerms(QORStringRef("GET")), nullptr);

        ASSERT_EQ(set(&map, "GET", qor_test_action_list("r", &a), &a), qor_s_ok);
        map.setDefaultPerms(qor_test_action_list("x", &a));
        EXPECT_EQ(map.shutdown(), qor_s_ok);
        EXPECT_EQ(map.entries(), 0u);
        EXPECT_EQ(map.getDefaultPerms(), nullptr);
        EXPECT_EQ(a.live(), 0);

        // Usable again, and the destructor releases what is left.
        ASSERT_EQ(map.initialize(), qor_s_ok);
        ASSERT_EQ(set(&map, "POST", qor_test_action_list("w", &a), &a), qor_s_ok);
        map.setDefaultPerms(qor_test_action_list("x", &a));
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORPermMap, MemoryFailuresAreReportedAndLeakNothing)
{
    QORCountingAllocator a;
    {
        QORPermMap map(&a);
        a.failAfter = 0;
        EXPECT_EQ(map.initialize(), qor_s_no_memory);
        a.failAfter = 1;   // the table object, not its buckets
        EXPECT_EQ(map.initialize(), qor_s_no_memory);
        a.failAfter = -1;
        ASSERT_EQ(map.initialize(), qor_s_ok);

        // The map owns key and list even when the entry cannot be made.
        QORStringRef* key = QORPermMap::makeMethodKey(QORStringRef("GET"), &a);
        QORActionGroupList* l = qor_test_action_list("r", &a);
        a.failAfter = 0;
        EXPECT_EQ(map.setPerms(key, l), qor_s_no_memory);
        EXPECT_EQ(QORPermMap::makeMethodKey(QORStringRef("GET"), &a), nullptr);
        a.failAfter = -1;
        EXPECT_EQ(map.entries(), 0u);
    }
    EXPECT_EQ(a.live(), 0);
}

TEST(QORPermMap, AMapNeverInitializedTakesEntriesWithKeysOfTheirOwn)
{
    QORPermMap map;
    EXPECT_EQ(map.getPerms(QORStringRef("GET")), nullptr);
    char method[] = "PATCH";
    QORActionGroupList* patch = qor_test_action_list("r");
    ASSERT_EQ(set(&map, method, patch), qor_s_ok);
    method[0] = 'X';
    EXPECT_EQ(map.getPerms(QORStringRef("PATCH")), patch);
}

TEST(QORPermMapDeathTest, ANullMethodStopsTheProcess)
{
    QORPermMap map;
    ASSERT_EQ(map.initialize(), qor_s_ok);
    EXPECT_DEATH((void)map.setPerms(nullptr, nullptr), "Assertion failed");
}
