#include "msg/plugin/qorconfiganswerunmarshaller.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "core/msg/qormsg.h"
#include "core/trace/qorlog.h"
#include "msg/plugin/qorconfiganswercontext.h"
#include "msg/plugin/qorconfiganswerfactory.h"
#include "msg/server/qorconfiganswerwriter.h"
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "qortestdir.h"
#include "qortestlog.h"
#include "qortestregion.h"

namespace {

// Error lines of the unmarshaller's component start so.
const std::string kErrorLine = std::string("DXQor ") + QORLog::severityText(qor_log_error) + " ";

typedef QORProtectedHashTable<QORString, int> PostTable;
typedef QORProtectedHashTable<QORString, unsigned int> FlagTable;

// The core's targets, a region the server side writes the answer into, and
// the reading of it.
class ConfigAnswerTest : public ::testing::Test {
public:
    ConfigAnswerTest()
        : m_postURIs(nullptr, true)
        , m_flags(nullptr, true)
        , m_writer(m_alloc)
    {
        m_ctx.log = &m_log;
        m_ctx.postURIs = &m_postURIs;
        m_ctx.postURIBuckets = 20;
        m_ctx.configFlags = &m_flags;
        m_ctx.configFlagBuckets = 20;
        m_ctx.vhostList = &m_hosts;
    }
    void SetUp() override { alarm(60); }
    void TearDown() override { alarm(0); }

    // Helpers, public for the cases' damage functions and threads.

    // Appends one element holding the items, one after the other.
    void element(std::initializer_list<const QORProxyIFMsgData*> items)
    {
        int size = 0;
        for (const QORProxyIFMsgData* i : items)
            size += i->marshal(nullptr, 0);
        void* data = nullptr;
        ASSERT_EQ(m_alloc.allocate(static_cast<unsigned int>(size), &data), qor_s_ok);
        unsigned char* p = static_cast<unsigned char*>(data);
        for (const QORProxyIFMsgData* i : items)
            p += i->marshal(p, i->marshal(nullptr, 0));
    }
    // Appends one element of raw bytes.
    void rawElement(const void* bytes, unsigned int length)
    {
        void* data = nullptr;
        ASSERT_EQ(m_alloc.allocate(length, &data), qor_s_ok);
        memcpy(data, bytes, length);
    }
    // A host "bad" as far as its map size and the item after it: the pair
    // name/value, or name alone without a value, or nothing without a name.
    // A size below 0 writes an empty element in place of the flags instead.
    void badHost(int mapSize, const char* name = nullptr, const char* value = nullptr)
    {
        QORProxyIFMsgString id, text;
        id.set(QORStringRef("bad"));
        QORProxyIFMsgInt flags(0x0c), size(mapSize);
        QORProxyIFMsgNameValue pair;
        element({&id});
        element({&id});
        if (mapSize < 0)
            return rawElement("", 0);
        element({&flags});
        element({&size});
        if (value != nullptr) {
            pair.set(QORStringRef(name), QORStringRef(value));
            element({&pair});
        } else if (name != nullptr) {
            text.set(QORStringRef(name));
            element({&text});
        }
    }
    void fileHost(const char* id)
    {
        QORPluginVirtualHost* h = qor_new<QORPluginVirtualHost>(nullptr);
        ASSERT_EQ(h->setID(QORStringRef(id)), qor_s_ok);
        h->setFlags(qor_vhost_secure | qor_vhost_unsecure);
        ASSERT_EQ(m_hosts.add(h), qor_s_ok);
    }
    void addHost(const char* id, const char* branch, unsigned flags, const char* defaultPerms,
                 std::vector<QORConfigPermEntry> methods = {})
    {
        ASSERT_EQ(m_writer.addVHost(QORStringRef(id), QORStringRef(branch), flags,
                                    QORStringRef(defaultPerms), methods.data(),
                                    static_cast<int>(methods.size())),
                  qor_s_ok);
    }

    QORStatus read(QORConfigAnswerContext* ctx)
    {
        QORConfigAnswerUnmarshaller answer;
        QORStatus st = answer.unmarshal(m_region.reader(), ctx);
        m_numCmds = answer.getNumCmds();
        return st;
    }
    QORStatus read() { return read(&m_ctx); }

    // "id/flags/branch/perms" per host, perms as "default;METHOD:groups" and
    // groups as "name=actions,...".
    std::string hosts()
    {
        std::string out;
        EXPECT_EQ(m_hosts.readLock(), qor_s_ok);
        for (auto it = m_hosts.begin(); it.isValid(); it.next()) {
            QORPluginVirtualHost* h = it.get();
            char flags[16];
            snprintf(flags, sizeof flags, "%02lx", h->getFlags());
            out += (out.empty() ? "" : " ") + std::string(h->getID().c_str()) + "/" + flags +
                   "/" + h->getBranch().c_str();
            if (h->getPermMap() != nullptr)
                out += "/" + perms(*h->getPermMap());
        }
        EXPECT_EQ(m_hosts.unlock(), qor_s_ok);
        return out;
    }
    static std::string text(const QORActionGroupList* list)
    {
        if (list == nullptr)
            return "(none)";
        std::string out;
        for (auto it = list->begin(); it.isValid(); it.next()) {
            const QORActionGroup* g = it.get();
            out += (out.empty() ? "" : ",") + std::string(g->getName()->c_str()) + "=" +
                   (g->getActions() != nullptr ? g->getActions()->c_str() : "");
        }
        return out;
    }
    static std::string perms(const QORPermMap& map)
    {
        std::string out = text(map.getDefaultPerms());
        for (const char* m : {"GET", "POST", "PUT"}) {
            const QORActionGroupList* l = map.getPerms(QORStringRef(m));
            if (l != map.getDefaultPerms())
                out += std::string(";") + m + ":" + text(l);
        }
        return out;
    }
    // Whether every lock the answer may take has been given back.
    void expectUnlocked()
    {
        EXPECT_TRUE(m_postURIs.tryWriteLock());
        m_postURIs.unlock();
        EXPECT_TRUE(m_flags.tryWriteLock());
        m_flags.unlock();
        // A write lock left behind would make this stop the process.
        EXPECT_EQ(m_hosts.writeLock(), qor_s_ok);
        EXPECT_EQ(m_hosts.unlock(), qor_s_ok);
    }

    QORTestRegion m_region;
    QORSharedMemAllocator& m_alloc = m_region.alloc;
    PostTable m_postURIs;
    FlagTable m_flags;
    QORPluginVirtualHostList m_hosts;
    QORTestLog m_log;
    QORConfigAnswerContext m_ctx;
    QORConfigAnswerWriter m_writer;
    int m_numCmds = -1;
};

} // namespace

// A count alone changes nothing; a table's commands replace that table and
// nothing else.
TEST_F(ConfigAnswerTest, TablesAreReplacedByTheirCommands)
{
    ASSERT_EQ(m_flags.initialize(3), qor_s_ok);
    ASSERT_EQ(m_flags.insert(qor_new<QORString>(nullptr, "old"), 9), qor_s_ok);
    fileHost("file");
    m_ctx.urcEnabled = true;
    m_ctx.urcPollInterval = 5;
    ASSERT_EQ(m_writer.begin(), qor_s_ok);
    EXPECT_EQ(read(), qor_s_ok);
    EXPECT_EQ(m_numCmds, 0);
    EXPECT_EQ(m_flags.entries(), 1u);
    EXPECT_EQ(m_flags.bucketCount(), 3u);
    ASSERT_EQ(m_writer.addConfigFlag(QORStringRef("a"), 1), qor_s_ok);
    ASSERT_EQ(m_writer.addPostURI(QORStringRef("/web:GET"), 512), qor_s_ok);
    ASSERT_EQ(m_writer.addConfigFlag(QORStringRef("b"), 0xffffffffu), qor_s_ok);
    ASSERT_EQ(m_writer.addPostURI(QORStringRef("/web:GET"), 1024), qor_s_ok);
    EXPECT_EQ(read(), qor_s_ok);
    EXPECT_EQ(m_numCmds, 4);
    EXPECT_EQ(m_flags.entries(), 2u);
    EXPECT_EQ(m_flags.bucketCount(), 20u);
    EXPECT_FALSE(m_flags.contains(QORStringRef("old")));
    EXPECT_EQ(m_flags.find(QORStringRef("a")), 1u);
    EXPECT_EQ(m_flags.find(QORStringRef("b")), 0xffffffffu);
    // A repeated name is a second entry in front of the first.
    EXPECT_EQ(m_postURIs.entries(), 2u);
    EXPECT_EQ(m_postURIs.find(QORStringRef("/web:GET")), 1024);
    EXPECT_EQ(m_postURIs.bucketCount(), 20u);
    EXPECT_EQ(hosts(), "file/0c/");
    EXPECT_TRUE(m_ctx.urcEnabled);
    EXPECT_EQ(m_ctx.urcPollInterval, 5);
    EXPECT_TRUE(m_log.lines().empty());
    expectUnlocked();
}

TEST_F(ConfigAnswerTest, TableLocksAreHeldToTheEndOfTheAnswer)
{
    // The answer is read on another thread; it stops inside the host list,
    // whose lock this thread holds, after the flags command. The flags table
    // must then be write-locked, and free once the answer is done.
    ASSERT_EQ(m_writer.begin(), qor_s_ok);
    ASSERT_EQ(m_writer.addConfigFlag(QORStringRef("a"), 1), qor_s_ok);
    ASSERT_EQ(m_writer.beginVHostList(0), qor_s_ok);
    QORStatus status = 1;
    ASSERT_EQ(m_hosts.readLock(), qor_s_ok);
    std::thread reader([&] { status = read(); });
    // The reader stays blocked on the host list until it is unlocked here,
    // so the flags table stays locked for as long as this waits.
    EXPECT_TRUE(qor_test_wait_until([this] {
        if (!m_flags.tryWriteLock())
            return true;
        m_flags.unlock();
        return false;
    }));
    EXPECT_EQ(m_hosts.unlock(), qor_s_ok);
    reader.join();
    EXPECT_EQ(status, qor_s_ok);
    expectUnlocked();
}

TEST_F(ConfigAnswerTest, AnEmptyHostListEmptiesTheList)
{
    fileHost("from-file");
    ASSERT_EQ(m_writer.begin(), qor_s_ok);
    ASSERT_EQ(m_writer.beginVHostList(0), qor_s_ok);
    EXPECT_EQ(read(), qor_s_ok);
    EXPECT_TRUE(m_hosts.isEmpty());
}

// Each case writes a valid flags command, then a host list whose first host
// is good, then the damage. What was read before the damage stays; every
// lock is given back; the failure is logged.
TEST_F(ConfigAnswerTest, MalformedAnswers)
{
    struct Case {
        const char* name;
        QORStatus expected;
        void (*damage)(ConfigAnswerTest*);
    };
    Case cases[] = {
        {"host missing at the end of the chain", qor_s_no_memory, [](ConfigAnswerTest*) {}},
        {"map size 0", qor_s_msg_unmarshal_failed, [](ConfigAnswerTest* t) { t->badHost(0); }},
        {"first pair not the default", qor_s_msg_unmarshal_failed,
         [](ConfigAnswerTest* t) { t->badHost(1, "GET", "r"); }},
        {"map shorter than its size", qor_s_no_memory,
         [](ConfigAnswerTest* t) { t->badHost(3, "<default>", "r"); }},
        {"name/value without its value", qor_s_msg_unmarshal_failed,
         [](ConfigAnswerTest* t) { t->badHost(1, "<default>"); }},
        {"bad action group text", qor_s_invalid_action_set, [](ConfigAnswerTest* t) {
             t->addHost("bad", "", 0x0c, "r", {{QORStringRef("GET"), QORStringRef("[a]x[b")}});
         }},
        {"string count past its element", qor_s_msg_unmarshal_failed, [](ConfigAnswerTest* t) {
             uint32_t w[] = {1000, 0};
             t->rawElement(w, sizeof w);
         }},
        {"flags element empty", qor_s_msg_unmarshal_failed,
         [](ConfigAnswerTest* t) { t->badHost(-1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_alloc.reset();
        m_log.clear();
        fileHost("from-file");
        QORConfigAnswerWriter w(m_alloc);
        ASSERT_EQ(w.begin(), qor_s_ok);
        ASSERT_EQ(w.addConfigFlag(QORStringRef("kept"), 7), qor_s_ok);
        ASSERT_EQ(w.beginVHostList(2), qor_s_ok);
        ASSERT_EQ(w.addVHost(QORStringRef("good"), QORStringRef("/p"), 0x0c, QORStringRef(""),
                             nullptr, 0),
                  qor_s_ok);
        c.damage(this);
        EXPECT_EQ(read(), c.expected);
        EXPECT_EQ(hosts(), "good/0c//p/primary=");
        EXPECT_EQ(m_flags.find(QORStringRef("kept")), 7u);
        EXPECT_EQ(m_flags.entries(), 1u);
        ASSERT_EQ(m_log.lines().size(), 1u);
        dx_error_string_t expectedText;
        int st;
        dx_error_inq_text(c.expected, expectedText, &st);
        EXPECT_EQ(m_log.lines()[0], kErrorLine + expectedText);
        expectUnlocked();
        m_hosts.removeAll();
    }
}

TEST_F(ConfigAnswerTest, InvalidCommands)
{
    struct Case {
        const char* name;
        uint32_t id;
        bool withTargets;
    } cases[] = {
        {"unknown identifier", 4, true},
        {"negative identifier", 0xfffffffeu, true},
        {"post URIs not asked for", 0, false},
        {"flags not asked for", 1, false},
        {"cache settings without a context", 2, false},
        {"host list not asked for", 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_alloc.reset();
        m_log.clear();
        QORConfigAnswerWriter w(m_alloc);
        ASSERT_EQ(w.begin(), qor_s_ok);
        uint32_t command[] = {c.id, 0};
        rawElement(command, sizeof command);
        QORConfigAnswerContext bare;   // a log, no targets
        bare.log = &m_log;
        EXPECT_EQ(read(c.withTargets ? &m_ctx : c.id == 2 ? nullptr : &bare),
                  qor_s_config_invalid_command);
        if (c.id == 2)
            continue;  // no context, no log
        ASSERT_EQ(m_log.lines().size(), 1u);
        char hex[16];
        snprintf(hex, sizeof hex, "%#x", c.id);
        std::string line = m_log.lines()[0];
        EXPECT_NE(line.find("XLTIC0662E"), std::string::npos) << line;
        EXPECT_NE(line.find(hex), std::string::npos) << line;
        EXPECT_EQ(line.rfind(kErrorLine, 0), 0u) << line;
    }
}

TEST_F(ConfigAnswerTest, DamagedChains)
{
    const uint32_t S = QORTestRegion::kStart;
    const uint32_t kNone = QORTestRegion::kNoNext;
    struct Case {
        const char* name;
        std::vector<uint32_t> words;  // the whole region from its start
        QORStatus expected;
    } cases[] = {
        {"no element", {}, qor_s_msg_unmarshal_failed},
        {"count element empty", {0, kNone}, qor_s_msg_unmarshal_failed},
        {"count longer than the region", {100, kNone, 0}, qor_s_ipc_no_more_segments},
        {"command without identifier", {4, S + 12, 0, 0, kNone}, qor_s_msg_unmarshal_failed},
        {"link backwards", {4, S, 0, 4, kNone, 1}, qor_s_ipc_no_more_segments},
        {"cache enabled, interval missing", {4, S + 12, 1, 8, kNone, 2, 1}, qor_s_no_memory},
        // The host list is kept when its count cannot be read.
        {"negative host count", {4, S + 12, 1, 8, kNone, 3, 0xffffffffu},
         qor_s_msg_unmarshal_failed},
        {"host count missing", {4, S + 12, 1, 4, kNone, 3}, qor_s_msg_unmarshal_failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fileHost("from-file");
        m_region.put(c.words);
        m_ctx.urcEnabled = false;
        EXPECT_EQ(read(), c.expected);
        EXPECT_EQ(hosts(), "from-file/0c/");
        expectUnlocked();
        m_hosts.removeAll();
    }
}

TEST_F(ConfigAnswerTest, OutOfMemoryAnywhereLeaksNothing)
{
    ASSERT_EQ(m_writer.begin(), qor_s_ok);
    ASSERT_EQ(m_writer.addPostURI(QORStringRef("/a:POST"), 1), qor_s_ok);
    ASSERT_EQ(m_writer.addConfigFlag(QORStringRef(std::string(300, 'f').c_str()), 2), qor_s_ok);
    ASSERT_EQ(m_writer.beginVHostList(2), qor_s_ok);
    std::string longID(300, 'h');
    addHost(longID.c_str(), "/b", 0x0c, "Tr[Audit]g",
            {{QORStringRef("GET"), QORStringRef("r")}, {QORStringRef("PUT"), QORStringRef("[x]w")}});
    addHost("h2", std::string(300, 'b').c_str(), 0x04, "r");
    bool completed = false;
    int grant = 0;
    for (; grant < 200 && !completed; grant++) {
        SCOPED_TRACE(grant);
        QORCountingAllocator alloc;
        {
            PostTable posts(&alloc, true);
            FlagTable flags(&alloc, true);
            QORPluginVirtualHostList list(&alloc);
            QORConfigAnswerContext ctx;
            ctx.postURIs = &posts;
            ctx.postURIBuckets = 20;
            ctx.configFlags = &flags;
            ctx.configFlagBuckets = 20;
            ctx.vhostList = &list;
            alloc.failAfter = grant;
            QORStatus st = read(&ctx);
            completed = st == qor_s_ok;
            if (!completed)
                EXPECT_EQ(st, qor_s_no_memory);
            else
                EXPECT_EQ(list.entries(), 2);
            EXPECT_TRUE(posts.tryWriteLock());
            posts.unlock();
            EXPECT_TRUE(flags.tryWriteLock());
            flags.unlock();
        }
        EXPECT_EQ(alloc.live(), 0);
    }
    EXPECT_TRUE(completed);
    // Tables, keys, hosts, strings, maps, lists and groups: many steps fail.
    EXPECT_GT(grant, 20);
}
