#include "config_mgr/qorconfigmgr.h"

#include <cstdlib>
#include <set>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "qortestdir.h"
#include "core/svc/qorsvc.h"
#include "qortestreports.h"

namespace {

typedef std::vector<std::string> Strings;
typedef std::multiset<std::string> Set;

class ConfigMgrTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_scratch.ok()); }
    void TearDown() override { (void)m_mgr.shutdown(); }

    void open(const char* text)
    {
        ASSERT_TRUE(m_scratch.write("test.conf", text));
        ASSERT_EQ(qor_s_ok, m_mgr.initialize(m_path.c_str()));
    }

    Strings entry(const char* stanza, const char* qualifier, const char* name, bool ignoreCommas)
    {
        char** values = nullptr;
        EXPECT_TRUE(QORConfigMgr::loadEntry(&m_mgr, stanza, qualifier, name, &values, 0,
                                            ignoreCommas));
        Strings out;
        for (char** p = values; p && *p; p++)
            out.push_back(*p);
        QORConfigMgr::releaseEntryData(values);
        return out;
    }

    // name=value pairs, sorted (the array comes in table order); "(null)"
    // for a null value.
    Set stanza(const char* stanza, const char* qualifier, bool ignoreCommas)
    {
        dxw_config_entry_s* values = nullptr;
        EXPECT_TRUE(ignoreCommas
                        ? QORConfigMgr::loadStanzaIgnoreCommas(&m_mgr, stanza, qualifier, &values)
                        : QORConfigMgr::loadStanzaObserveCommas(&m_mgr, stanza, qualifier,
                                                                &values));
        EXPECT_NE(nullptr, values);
        Set out;
        for (dxw_config_entry_s* e = values; e && e->name; e++)
            out.insert(std::string(e->name) + "=" + (e->value ? e->value : "(null)"));
        QORConfigMgr::releaseStanzaData(values);
        return out;
    }

    struct EntryDef {
        const char* name;
        bool qualify;
        const char* def;
    };
    // An entries schema of stanza's entries, registered (validated when
    // asked); owned by the manager.
    QORConfigEntriesSchema* schemaOf(const char* name, const char* stanza,
                                     std::vector<EntryDef> entries,
                                     const char* qualifier = nullptr, bool validate = false)
    {
        QORConfigEntriesSchema* s = new QORConfigEntriesSchema(name);
        for (const EntryDef& d : entries) {
            QORConfigSchemaEntry* e = new QORConfigSchemaEntry();
            EXPECT_EQ(qor_s_ok, e->set(stanza, d.name, d.qualify, d.def));
            EXPECT_EQ(qor_s_ok, s->addEntry(e));
        }
        if (qualifier) {
            EXPECT_EQ(qor_s_ok, s->setQualifier(qualifier));
        }
        int id;
        EXPECT_EQ(qor_s_ok, m_mgr.registerSchema(s, &id, validate));
        return s;
    }

    QORConfigMgr m_mgr;
    QORTestDir m_scratch{"cfgmgr"};
    std::string m_path = m_scratch.file("test.conf");
    // Inserts of the messages whose arguments the tests look at; all strings.
    QORTestReports m_reports{[](QORStatus id) {
        if (id == qor_s_config_bad_value_logged || id == qor_s_config_unknown_logged)
            return 4;
        return id == qor_s_config_entry_required ? 3 : 0;
    }};
    std::vector<QORTestReport>& m_reported = m_reports.all();
};

const char kEntries[] =
    "[web]\n"
    "hosts = a,b\n"
    "hosts = c\n"
    "port = 80\n"
    "flag = maybe\n"
    "empty =\n"
    "only-plain = p1, p2\n"
    "[web:prod]\n"
    "port = 443\n"
    "hosts = x\n"
    "[n]\n"
    "v = 1\n"
    "v = two\n"
    "v = 3\n";

// A line of at least 25 columns, as dump pads names and values.
std::string pad(const std::string& s)
{
    return s.size() >= 25 ? s : s + std::string(25 - s.size(), ' ');
}

} // namespace

// Commas split values across lines unless ignored; a qualified stanza's
// entry replaces the plain one, which serves where it has none.
TEST_F(ConfigMgrTest, LoadEntry)
{
    open(kEntries);
    const struct {
        const char* qualifier;
        const char* name;
        bool ignoreCommas;
        Strings values;
    } rows[] = {
        {nullptr, "hosts", true, {"a,b", "c"}},
        {nullptr, "hosts", false, {"a", "b", "c"}},
        {"prod", "hosts", false, {"x"}},
        {"prod", "only-plain", false, {"p1", "p2"}},
        {"test", "only-plain", false, {"p1", "p2"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.qualifier ? row.qualifier : "-") + " " + row.name);
        EXPECT_EQ(row.values, entry("web", row.qualifier, row.name, row.ignoreCommas));
    }
}

TEST_F(ConfigMgrTest, LoadEntryMissingIsReportedUnlessOptional)
{
    open(kEntries);
    char** values = nullptr;
    EXPECT_FALSE(QORConfigMgr::loadEntry(&m_mgr, "web", nullptr, "absent", &values, 0, false));
    EXPECT_EQ(nullptr, values);
    ASSERT_EQ(1u, m_reported.size());
    EXPECT_EQ(qor_s_config_entry_required, m_reported[0].id);
    EXPECT_EQ((Strings{"web", m_path, "absent"}), m_reported[0].args);
    // An empty value gives no value either.
    m_reported.clear();
    EXPECT_FALSE(QORConfigMgr::loadEntryObserveCommas(&m_mgr, "web", nullptr, "empty", &values, 1));
    EXPECT_FALSE(QORConfigMgr::loadEntryIgnoreCommas(&m_mgr, "none", nullptr, "x", &values, 1));
    EXPECT_EQ(nullptr, values);
    EXPECT_TRUE(m_reported.empty());
    QORConfigMgr::releaseEntryData(nullptr);
}

// A qualified stanza replaces the plain one where it exists; commas split
// values unless ignored, empty pieces giving null values.
TEST_F(ConfigMgrTest, LoadStanza)
{
    open("[app]\na = 1\nb = 2\na = 3\nc =\n[app:x]\na = 9\n"
         "[s]\nlist = a, b,,c,\nplain = one\n");
    EXPECT_EQ((Set{"a=9"}), stanza("app", "x", false));
    EXPECT_EQ((Set{"a=1", "b=2", "c=(null)"}), stanza("app", "y", false));
    EXPECT_EQ((Set{"a=1", "b=2", "c=(null)"}), stanza("app", nullptr, true));
    EXPECT_EQ((Set{"list=a", "list=b", "list=(null)", "list=c", "list=(null)", "plain=one"}),
              stanza("s", nullptr, false));
    EXPECT_EQ((Set{"list=a, b,,c,", "plain=one"}), stanza("s", nullptr, true));
    // A missing stanza gives the terminator alone.
    EXPECT_EQ(Set{}, stanza("nope", nullptr, true));
    // Each call keeps its schema until shutdown.
    EXPECT_EQ(6, m_mgr.schemas());
}

TEST_F(ConfigMgrTest, RefusedValueIsReportedAndNotDefaulted)
{
    open(kEntries);
    QORConfigEntriesSchema* s = schemaOf("one", "web", {{"flag", false, "true"}});
    QORConfigBoolean b;
    EXPECT_EQ(qor_s_config_bad_value, s->loadData(&b, 0));
    EXPECT_FALSE(b.isSet());
    EXPECT_FALSE(b.isDefault());
    ASSERT_EQ(1u, m_reported.size());
    EXPECT_EQ(qor_s_config_bad_value_logged, m_reported[0].id);
    EXPECT_EQ(qor_svc_config_mgr, m_reported[0].subcomponent);
    EXPECT_EQ((Strings{"web", m_path, "flag", "maybe"}), m_reported[0].args);
    // In a multi-valued entry a refused value ends the scan.
    m_reported.clear();
    s = schemaOf("mv", "n", {{"v", false, nullptr}});
    QORConfigMVInt values;
    EXPECT_EQ(qor_s_config_bad_value, s->loadData(&values, 0));
    ASSERT_EQ(1u, m_reported.size());
    EXPECT_EQ((Strings{"n", m_path, "v", "two"}), m_reported[0].args);
    EXPECT_EQ(2, values.entries());
}

TEST_F(ConfigMgrTest, SingleValueQualifiedPlainAndDefault)
{
    open(kEntries);
    QORConfigEntriesSchema* s = schemaOf("web", "web",
                                         {{"port", true, nullptr}, {"port", false, nullptr},
                                          {"hosts", true, nullptr}, {"timeout", true, "30"},
                                          {"empty", false, "5"}},
                                         "prod");
    QORConfigInt port, plainPort, timeout;
    QORConfigString hosts;
    QORConfigLCPString empty;
    QORConfigData* data[] = {&port, &plainPort, &hosts, &timeout, &empty};
    ASSERT_EQ(qor_s_ok, s->loadData(data, -1));
    EXPECT_EQ(443, port.getValue());
    EXPECT_EQ(80, plainPort.getValue());
    EXPECT_STREQ("x", hosts.getValue());  // first line only
    EXPECT_EQ(30, timeout.getValue());
    EXPECT_TRUE(timeout.isDefault());
    EXPECT_FALSE(port.isDefault());
    // An empty value is a value: the default is not applied.
    EXPECT_STREQ("", empty.getValue());
    EXPECT_FALSE(empty.isDefault());
    QORConfigInt one;
    ASSERT_EQ(qor_s_ok, s->loadData(data + 1, 1));
    QORConfigData* single[] = {&one};
    ASSERT_EQ(qor_s_ok, s->loadData(single, 0));
    EXPECT_EQ(443, one.getValue());
    EXPECT_EQ(qor_s_config_bad_schema, s->loadData(&one, 5));
    EXPECT_EQ(qor_s_config_bad_schema, s->loadData(&one, -2));
}

TEST_F(ConfigMgrTest, FindSchemaAndReinitialize)
{
    open(kEntries);
    QORConfigEntriesSchema* s = schemaOf("one", "web", {{"port", false, nullptr}});
    QORConfigSchema* found = nullptr;
    ASSERT_EQ(qor_s_ok, m_mgr.findSchema(0, &found));
    EXPECT_EQ(s, found);
    EXPECT_EQ(qor_s_not_available, m_mgr.findSchema(-1, &found));
    EXPECT_EQ(qor_s_not_available, m_mgr.findSchema(1, &found));
    // A second initialize drops every schema.
    ASSERT_EQ(qor_s_ok, m_mgr.initialize(m_path.c_str()));
    EXPECT_EQ(0, m_mgr.schemas());
    EXPECT_EQ(qor_s_not_available, m_mgr.findSchema(0, &found));
    // A file that cannot be read leaves the manager uninitialized.
    std::string missing = m_scratch.file("missing.conf");
    EXPECT_NE(qor_s_ok, m_mgr.initialize(missing.c_str()));
    EXPECT_FALSE(m_mgr.isInitialized());
    EXPECT_STREQ(missing.c_str(), m_mgr.getFileName());
}

TEST_F(ConfigMgrTest, EntriesSchemaValidation)
{
    open("[debug]\nmemory-on = a\nmemory-typo = b\n"
         "[debug:q]\nmemory-on = c\nmemory-stats = yes\n"
         "[other]\nanything = 1\n");
    QORConfigEntriesSchema* s = schemaOf(
        "QORMemDebug", "debug", {{"memory-on", true, nullptr}, {"memory-stats", false, "false"}},
        "q", true);
    EXPECT_EQ(qor_s_config_unknown_entry, s->getStatus());
    // Only memory-typo in [debug], and memory-stats (which does not
    // qualify) in [debug:q]; [other] is not the schema's.
    ASSERT_EQ(2u, m_reported.size());
    EXPECT_EQ((Strings{"memory-typo", "b", "debug", m_path}), m_reported[0].args);
    EXPECT_EQ((Strings{"memory-stats", "yes", "debug:q", m_path}), m_reported[1].args);
    EXPECT_EQ(qor_s_ok, s->validateEntry("debug", "memory-on", true));
    EXPECT_EQ(qor_s_config_unknown_entry, s->validateEntry("other", "memory-on", false));
}

TEST_F(ConfigMgrTest, StanzaSchemaValidationAndLoadForms)
{
    open("[app]\na = 1\nb = 2\n[app:x]\na = 9\nz = 0\n");
    QORConfigStanzaSchema* s = new QORConfigStanzaSchema("App");
    EXPECT_EQ(qor_s_ok, s->setStanza("app"));
    EXPECT_EQ(qor_s_ok, s->setQualifier("x"));
    s->setValidEntries("a, b");
    int id;
    ASSERT_EQ(qor_s_ok, m_mgr.registerSchema(s, &id, true));
    EXPECT_EQ(qor_s_config_unknown_entry, s->getStatus());
    ASSERT_EQ(1u, m_reported.size());
    EXPECT_EQ((Strings{"z", "0", "app:x", m_path}), m_reported[0].args);
    QORHashTable<QORString, QORString> table(nullptr, true);
    QORHashTable<QORString, bool> inherited(nullptr, true);
    ASSERT_EQ(qor_s_ok, table.initialize(7));
    ASSERT_EQ(qor_s_ok, inherited.initialize(7));
    ASSERT_EQ(qor_s_ok, s->loadData(table, &inherited));
    EXPECT_STREQ("9", table.find(QORStringRef("a")).c_str());
    EXPECT_STREQ("2", table.find(QORStringRef("b")).c_str());
    EXPECT_EQ(3u, table.entries());
    EXPECT_EQ(1u, inherited.entries());
    EXPECT_TRUE(inherited.contains(QORStringRef("b")));
    QORSearchableList<qor_string_rule_pair, qor_string_rule_key> list(nullptr, true);
    ASSERT_EQ(qor_s_ok, s->loadData(list));
    ASSERT_EQ(3, list.entries());
    EXPECT_STREQ("a", list.head()->name.c_str());
    EXPECT_STREQ("9", list.head()->value.c_str());
    EXPECT_STREQ("b", list.tail()->name.c_str());
    QORConfigLCPStanzaSchema* missing = new QORConfigLCPStanzaSchema("Missing");
    EXPECT_EQ(qor_s_ok, missing->setStanza("none"));
    ASSERT_EQ(qor_s_ok, m_mgr.registerSchema(missing, &id, false));
    EXPECT_EQ(1, id);
    QORSearchableList<QORConfigPairT<QORLCPString>, QORLCPStringRef> lcp(nullptr, true);
    EXPECT_EQ(qor_s_not_available, missing->loadData(lcp));
    EXPECT_EQ(qor_s_ok, missing->setStanza("app"));
    missing->setInherit(false);
    ASSERT_EQ(qor_s_ok, missing->loadData(lcp));
    EXPECT_EQ(2, lcp.entries());
}

TEST_F(ConfigMgrTest, DumpLayout)
{
    open("[web]\nport = 80\nmode = fast\n[web:prod]\nport = 443\n[log]\nlevel = 3\n");
    schemaOf("WebSchema", "web",
             {{"port", true, nullptr}, {"stats", false, "false"}, {"mode", true, nullptr},
              {"unset", true, nullptr}},
             "prod");
    int id;
    // Two equal stanza schemas: the second is not written. Its name is long
    // enough to leave no dashes.
    const char* longName = "a-stanza-schema-with-a-name-of-more-than-sixty-one-characters-x";
    for (int i = 0; i < 2; i++) {
        QORConfigStanzaSchema* log = new QORConfigStanzaSchema(longName);
        EXPECT_EQ(qor_s_ok, log->setStanza("log"));
        EXPECT_EQ(qor_s_ok, m_mgr.registerSchema(log, &id, false));
    }
    char* dumped = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&dumped, &size);
    EXPECT_EQ(qor_s_ok, m_mgr.dump(f));
    fclose(f);
    std::string text(dumped, size), stars(76, '*');
    free(dumped);
    ASSERT_GT(text.size(), 77u + 26u);
    EXPECT_EQ(stars + "\n", text.substr(0, 77));
    // ctime's form: "Www Mmm dd hh:mm:ss yyyy\n".
    EXPECT_EQ('\n', text[77 + 24]);
    EXPECT_EQ(':', text[77 + 13]);
    std::string expected =
        stars + "\n\n"
        "\n---- Schema: WebSchema " + std::string(52, '-') + "\n"
        "\n[web:prod]\n" +
        pad("port") + " = " + pad("443") + "\n" +
        pad("mode") + " = " + pad("fast") + " # inherited from [web]\n" +
        pad("unset") + " = " + pad("") + "\n"
        "\n[web]\n" +
        pad("stats") + " = " + pad("false") + " # default\n"
        "\n---- Schema: " + longName + " \n"
        "\n[log]\n" +
        pad("level") + " = " + pad("3") + "\n"
        "\n" + stars + "\n\n";
    EXPECT_EQ(expected, text.substr(77 + 25));
}
