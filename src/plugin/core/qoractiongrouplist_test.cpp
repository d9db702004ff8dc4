#include "plugin/core/qoractiongrouplist.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/memory/qorcountingallocator.h"

namespace {

// "name=actions" for every group, in list order.
std::vector<std::string> groups(const QORActionGroupList& list)
{
    std::vector<std::string> out;
    for (auto it = list.begin(); it.isValid(); it.next()) {
        const QORActionGroup* g = it.get();
        std::string s(g->data(), static_cast<size_t>(g->length()));
        s += "=";
        if (g->getActions())
            s += g->getActions()->c_str();
        out.push_back(s);
    }
    return out;
}

QORStatus parse(QORActionGroupList* list, const char* text)
{
    return list->initialize(QORStringRef(text));
}

} // namespace

TEST(QORActionGroup, ChecksActionsAndNamesExactly)
{
    QORActionGroup g;
    QORStringRef actions("Trx");
    ASSERT_EQ(g.initialize(QORStringRef("Audit"), &actions), qor_s_ok);
    EXPECT_TRUE(g.match(QORString("Audit")));
    EXPECT_FALSE(g.match(QORString("audit")));
    EXPECT_FALSE(g.match(QORString("Audi")));
    EXPECT_FALSE(g.match(QORString("Audit2")));
    const struct {
        const char* actions;
        bool covered;
    } cases[] = {{"", true}, {"r", true}, {"xTr", true}, {"rr", true}, {"R", false},
                 {"rw", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.actions);
        QORString s(c.actions);
        EXPECT_EQ(g.checkActions(&s), c.covered);
    }
    EXPECT_TRUE(g.checkActions(nullptr));
}

// A text parses into groups (none: an open bracket without close fails) and
// writes back as a text that reads the same. A list takes one text: a
// second one fails and empties it, a failed one leaves it ready for another.
TEST(QORActionGroupListText, ParsesPrimaryActionsAndBracketedGroups)
{
    const struct {
        const char* text;
        std::vector<std::string> groups;
    } cases[] = {
        {"rx", {"primary=rx"}}, {"Tr[Audit]g[Audit]m", {"primary=Tr", "Audit=gm"}},
        {"[Audit]", {"Audit="}}, {"", {"primary="}}, {"[b]y[a]x[c]", {"b=y", "a=x", "c="}},
        {"x]y", {"primary=x]y"}}, {"[a]]]", {"a=]]"}}, {"[]r", {"=r"}},
        {"[primary]r", {"primary=r"}}, {"q[primary]r", {"primary=qr"}},
        {"[A]r[a]w", {"A=r", "a=w"}}, {"[primary][b]x", {"primary=", "b=x"}},
        {"r[a][b]c", {"primary=r", "a=", "b=c"}},
        {"[Pr\xc3\xbc" "fung]\xc3\xa4", {"Pr\xc3\xbc" "fung=\xc3\xa4"}}, {"[a b]rr", {"a b=rr"}},
        {"[a]x[b", {}}, {"[", {}}, {"r[", {}}, {"[abc", {}}, {"r[a]w[b]x[c", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bool ok = !c.groups.empty();
        QORActionGroupList list;
        ASSERT_EQ(parse(&list, c.text), ok ? qor_s_ok : QORStatus(qor_s_invalid_action_set));
        EXPECT_EQ(list.isInitialized(), ok);
        EXPECT_EQ(groups(list), c.groups);
        if (ok) {
            QORString out;
            ASSERT_TRUE(list.toText(&out));
            QORActionGroupList again;
            ASSERT_EQ(again.initialize(QORStringRef(out)), qor_s_ok);
            EXPECT_EQ(groups(again), c.groups) << out.c_str();
        }
        EXPECT_EQ(parse(&list, "w"), ok ? 0x35f0200fu : qor_s_ok);
        EXPECT_EQ(list.entries(), ok ? 0 : 1);
        EXPECT_EQ(list.isInitialized(), !ok);
    }
    QORActionGroupList list;
    ASSERT_EQ(parse(&list, "Tr[Audit]g[Audit]m"), qor_s_ok);
    QORString out;
    ASSERT_TRUE(list.toText(&out));
    EXPECT_STREQ(out.c_str(), "Tr[Audit]gm");
    EXPECT_EQ(list.shutdown(), qor_s_ok);
    EXPECT_EQ(list.entries(), 0);
    ASSERT_EQ(parse(&list, "[b]y"), qor_s_ok);
    EXPECT_EQ(groups(list), std::vector<std::string>{"b=y"});
}

TEST(QORActionGroupListText, EveryMemoryFailureLeavesAnEmptyListAndNoLeak)
{
    QORCountingAllocator a;
    int failures = 0;
    for (int grant = 0; grant < 40; grant++) {
        SCOPED_TRACE(grant);
        {
            QORActionGroupList list(&a);
            a.failAfter = grant;
            QORStatus st = parse(&list, "Tr[Audit]g[Audit]m[x]y");
            a.failAfter = -1;
            if (st == qor_s_ok) {
                EXPECT_EQ(list.entries(), 3);
                break;
            }
            failures++;
            EXPECT_EQ(st, qor_s_no_memory);
            EXPECT_EQ(list.entries(), 0);
            EXPECT_FALSE(list.isInitialized());
        }
        EXPECT_EQ(a.live(), 0);
    }
    EXPECT_GT(failures, 3);
}

TEST(QORActionGroupListResolve, EveryRequiredGroupNeedsItsActionsUnderTheSameName)
{
    const struct {
        const char* granted;
        const char* required;
        bool resolved;
    } cases[] = {
        {"Tr", "r", true},
        {"[Audit]r", "r", false},           // no "primary" at all
        {"Tr", "R", false},                 // exact characters
        {"Tr[Audit]g", "[Audit]", true},    // a group without actions needs the name only
        {"Tr", "[Audit]", false},
        {"Tr[Audit]g", "r[Audit]g", true},
        {"Tr[Audit]g", "r[Audit]gm", false},
        {"Tr[Audit]g", "[Audit]g", true},   // no "primary" required
        {"", "", true},                     // an empty primary requires nothing
        {"x", "[a]", false},
        {"rwx", "xr", true},
        {"[a]r[a]w", "[a]rw", true},        // repeated names were merged
        {"[a]r[b]w", "[a]w", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.granted) + " vs " + c.required);
        QORActionGroupList granted;
        QORActionGroupList required;
        ASSERT_EQ(parse(&granted, c.granted), qor_s_ok);
        ASSERT_EQ(parse(&required, c.required), qor_s_ok);
        EXPECT_EQ(granted.resolveActionGroupList(required), c.resolved);
    }
    QORActionGroupList granted;
    QORActionGroupList none;   // never initialized: no groups at all
    ASSERT_EQ(parse(&granted, "r"), qor_s_ok);
    EXPECT_TRUE(granted.resolveActionGroupList(none));
    EXPECT_TRUE(none.resolveActionGroupList(none));
}
