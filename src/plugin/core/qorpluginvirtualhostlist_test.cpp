#include "plugin/core/qorpluginvirtualhostlist.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/file/qorstanza.h"
#include "core/memory/qorcountingallocator.h"
#include "core/platform/qorscopedlocale.h"
#include "core/system/qorinstallpath.h"
#include "core/system/qorreport.h"
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"

namespace {

std::vector<QORStatus> g_reported;

void recordReport(const char*, int, int, QORStatus id, va_list)
{
    g_reported.push_back(id);
}

// "id/flags" of every host in list order, flags in hex.
std::string render(const QORPluginVirtualHostList& list)
{
    std::string out;
    for (auto it = list.begin(); it.isValid(); it.next()) {
        char flags[16];
        snprintf(flags, sizeof flags, "%02lx", it.get()->getFlags());
        out += (out.empty() ? "" : " ") + std::string(it.get()->getID().c_str()) + "/" + flags;
    }
    return out;
}

QORPluginVirtualHost* newHost(const char* id, unsigned long flags)
{
    QORPluginVirtualHost* host = qor_new<QORPluginVirtualHost>(nullptr);
    EXPECT_EQ(host->setID(QORStringRef(id)), qor_s_ok);
    host->setFlags(flags);
    return host;
}

// An installation tree under the test's scratch directory, with DXQOR_ROOT
// pointing at it, so that loadVHosts() finds the test's dxqor.conf.
class VirtualHostConfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        std::string root = base != nullptr ? base : "/tmp";
        mkdir(root.c_str(), 0777);
        std::string tmpl = root + "/vhostXXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        m_root = tmpl;
        m_etc = m_root + "/opt/dxqor/etc/";
        for (const char* d : {"/opt", "/opt/dxqor", "/opt/dxqor/etc"})
            ASSERT_EQ(mkdir((m_root + d).c_str(), 0777), 0);
        const char* old = getenv("DXQOR_ROOT");
        m_hadRoot = old != nullptr;
        m_oldRoot = old != nullptr ? old : "";
        setenv("DXQOR_ROOT", m_root.c_str(), 1);
        qor_install_path_reset();
    }
    void TearDown() override
    {
        unlink((m_etc + "dxqor.conf").c_str());
        for (const char* d : {"/opt/dxqor/etc", "/opt/dxqor", "/opt", ""})
            rmdir((m_root + d).c_str());
        if (m_hadRoot)
            setenv("DXQOR_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("DXQOR_ROOT");
        qor_install_path_reset();
    }
    void writeConf(const std::string& text)
    {
        FILE* fp = fopen((m_etc + "dxqor.conf").c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        fwrite(text.data(), 1, text.size(), fp);
        fclose(fp);
    }

    std::string m_root;
    std::string m_etc;
    std::string m_oldRoot;
    bool m_hadRoot = false;
};

struct ConfCase {
    const char* name;
    const char* conf;
    const char* hosts;  // render() of the list after loadVHosts
};

// Flags: 01 case-insensitive, 02 Windows, 04 HTTPS, 08 HTTP, 10 unprotected.
const ConfCase kConfCases[] = {
    {"defaults", "[dxweb-plugins]\nvirtual-host = a\n", "a/0c"},
    {"unprotected first", "[dxweb-plugins]\nvirtual-host = a\nunprotected-virtual-host = u\n",
     "u/1c a/0c"},
    {"repeats dropped, first-seen order",
     "[dxweb-plugins]\nvirtual-host = b\nvirtual-host = a\nvirtual-host = b\n", "b/0c a/0c"},
    {"both kinds give two hosts",
     "[dxweb-plugins]\nvirtual-host = a\nunprotected-virtual-host = a\n", "a/1c a/0c"},
    {"entry names are case-sensitive, others ignored",
     "[dxweb-plugins]\nVirtual-Host = x\nvirtual-hosts = y\nvirtual-host = a\n", "a/0c"},
    {"no value gives an empty name", "[dxweb-plugins]\nvirtual-host =\n", "/0c"},
    {"global switches apply to every host",
     "[dxweb-plugins]\ncase-sensitive = no\nwindows-file-system = Yes\nvirtual-host = a\n",
     "a/0f"},
    {"host stanza overrides the global one",
     "[dxweb-plugins]\ncase-sensitive = no\nvirtual-host = a\nvirtual-host = b\n"
     "[a]\ncase-sensitive = TRUE\nwindows-file-system = true\n",
     "a/0e b/0d"},
    {"switch words", "[dxweb-plugins]\nvirtual-host = a\nvirtual-host = b\nvirtual-host = c\n"
                     "[a]\ncase-sensitive = FALSE\n[b]\ncase-sensitive = off\n"
                     "[c]\ncase-sensitive = No\nwindows-file-system = nO\n",
     "a/0d b/0c c/0d"},
    {"unknown switch value leaves the global setting",
     "[dxweb-plugins]\ncase-sensitive = no\nvirtual-host = a\n[a]\ncase-sensitive = maybe\n",
     "a/0d"},
    {"protocols https", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = https\n", "a/04"},
    {"protocols HTTP", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = HTTP\n", "a/08"},
    {"protocols both", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = Both\n", "a/0c"},
    {"blank after a word belongs to it",
     "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = http , https\n", "a/04"},
    {"blanks before a word are skipped",
     "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = ftp,   http\n", "a/08"},
    {"no known word means both", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = ftp\n",
     "a/0c"},
    {"empty words", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = ,https,\n", "a/04"},
    {"quotes mean nothing", "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols = \"http\"\n",
     "a/0c"},
    {"protocols without a value is no setting",
     "[dxweb-plugins]\nvirtual-host = a\n[a]\nprotocols =\n", "a/0c"},
    {"id replaces the stanza name",
     "[dxweb-plugins]\nunprotected-virtual-host = a\n[a]\nid = www.example.com:80\n",
     "www.example.com:80/1c"},
    {"id without a value keeps the name", "[dxweb-plugins]\nvirtual-host = a\n[a]\nid =\n",
     "a/0c"},
    {"stanza names are case-sensitive",
     "[dxweb-plugins]\nvirtual-host = a\n[A]\nprotocols = https\nid = other\n", "a/0c"},
    {"global stanza only in the file's first heading of that name",
     "[dxweb-plugins]\nvirtual-host = a\n[dxweb-plugins]\nvirtual-host = b\n", "a/0c"},
    {"no dxweb-plugins stanza", "[a]\nvirtual-host = a\n", ""},
    {"empty dxweb-plugins stanza", "[dxweb-plugins]\n[a]\nprotocols = https\n", ""},
};

} // namespace

TEST_F(VirtualHostConfTest, ConfigurationFileRules)
{
    for (const ConfCase& c : kConfCases) {
        SCOPED_TRACE(c.name);
        writeConf(c.conf);
        QORPluginVirtualHostList list;
        EXPECT_EQ(list.loadVHosts(), qor_s_ok);
        EXPECT_EQ(render(list), c.hosts);
    }
}

TEST_F(VirtualHostConfTest, AddsToWhatTheListHolds)
{
    writeConf("[dxweb-plugins]\nvirtual-host = a\n");
    QORPluginVirtualHostList list;
    ASSERT_EQ(list.add(newHost("server", 0x14)), qor_s_ok);
    EXPECT_EQ(list.loadVHosts(), qor_s_ok);
    EXPECT_EQ(list.loadVHosts(), qor_s_ok);
    EXPECT_EQ(render(list), "server/14 a/0c a/0c");
}

TEST_F(VirtualHostConfTest, MissingFileLeavesTheListAlone)
{
    QORPluginVirtualHostList list;
    ASSERT_EQ(list.add(newHost("server", 0x14)), qor_s_ok);
    EXPECT_EQ(list.loadVHosts(), qor_s_stz_open_failed);
    EXPECT_EQ(render(list), "server/14");
    EXPECT_EQ(list.loadVHosts((m_etc + "none.conf").c_str()), qor_s_stz_open_failed);
    EXPECT_EQ(render(list), "server/14");
}

TEST_F(VirtualHostConfTest, SyntaxErrorStopsReadingButKeepsWhatWasRead)
{
    // The scanner's error leaves the cursor past the end: the hosts named
    // before the bad line are added, without their own stanzas, and the
    // file's status is returned.
    writeConf("[dxweb-plugins]\nvirtual-host = a\nno separator here\nvirtual-host = b\n");
    QORPluginVirtualHostList list;
    g_reported.clear();
    qor_report_sink_t old = qor_report_set_sink(recordReport);
    QORStatus st = list.loadVHosts();
    qor_report_set_sink(old);
    EXPECT_EQ(st, qor_s_stz_no_separator);
    EXPECT_EQ(render(list), "a/0c");
    ASSERT_FALSE(g_reported.empty());
    EXPECT_EQ(g_reported[0], qor_s_stz_bad_entry_msg);
}

TEST_F(VirtualHostConfTest, IdIsConvertedToUTF8)
{
    QORScopedCtypeLocale loc("C.UTF-8");
    ASSERT_TRUE(loc.ok());
    writeConf("[dxweb-plugins]\nvirtual-host = a\n[a]\nid = caf\xc3\xa9\n");
    QORPluginVirtualHostList list;
    EXPECT_EQ(list.loadVHosts(), qor_s_ok);
    EXPECT_EQ(render(list), "caf\xc3\xa9/0c");
}

TEST_F(VirtualHostConfTest, ReadVHostFromAnOpenFile)
{
    writeConf("[dxweb-plugins]\nwindows-file-system = yes\n[h]\nprotocols = http\n");
    QORStatus st = 1;
    qorStanzaFile* file = qorStzFileOpen((m_etc + "dxqor.conf").c_str(), QOR_STZ_READ_ONLY, &st);
    ASSERT_NE(file, nullptr);
    QORPluginVirtualHostList list;
    QORPluginVirtualHost* h = list.readVHost(file, QORString("h"), true);
    QORPluginVirtualHost* other = list.readVHost(file, QORString("other"), false);
    qorStzFileClose(file);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(h->getID().c_str(), "h");
    EXPECT_EQ(h->getFlags(), 0x1aul);
    EXPECT_TRUE(h->getBranch().isEmpty());
    EXPECT_EQ(h->getPermMap(), nullptr);
    EXPECT_EQ(other->getFlags(), 0x0eul);
    qor_delete(h);
    qor_delete(other);
}

TEST(VirtualHostKey, OrderWithoutProtocol)
{
    QORPluginVirtualHost host;
    ASSERT_EQ(host.setID(QORStringRef("abc")), qor_s_ok);
    host.setFlags(qor_vhost_secure);
    struct {
        const char* id;
        int expected;
    } cases[] = {{"abc", 0}, {"abd", 1}, {"abb", -1}, {"ab", -1}, {"abcd", 1}, {"", -1},
                 {"ABC", -1}, {"\xff", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        QORStringRef id(c.id);
        QORPluginVirtualHostKey key;
        key.initialize(id);
        int r = key.compare(host);
        EXPECT_EQ(r < 0 ? -1 : r > 0 ? 1 : 0, c.expected);
    }
}

TEST(VirtualHostKey, ProtocolRefusedByTheHost)
{
    QORPluginVirtualHost httpsOnly;
    ASSERT_EQ(httpsOnly.setID(QORStringRef("h")), qor_s_ok);
    httpsOnly.setFlags(qor_vhost_secure);
    QORStringRef id("h");
    QORPluginVirtualHostKey key;
    key.initialize(id, false);
    EXPECT_EQ(key.compare(httpsOnly), -1);
    EXPECT_FALSE(httpsOnly.match(id, false));
    key.initialize(id, true);
    EXPECT_EQ(key.compare(httpsOnly), 0);

    QORPluginVirtualHost httpOnly;
    ASSERT_EQ(httpOnly.setID(QORStringRef("h")), qor_s_ok);
    httpOnly.setFlags(qor_vhost_unsecure);
    EXPECT_EQ(key.compare(httpOnly), 1);
    // A different ID orders by the IDs whatever the protocol.
    QORStringRef later("i");
    key.initialize(later, true);
    EXPECT_GT(key.compare(httpOnly), 0);
    QORStringRef earlier("g");
    key.initialize(earlier, false);
    EXPECT_LT(key.compare(httpsOnly), 0);
}

TEST(VirtualHostKey, MatchComparesEveryByte)
{
    QORPluginVirtualHost host;
    const char raw[] = {'a', 0, 'b'};
    ASSERT_EQ(host.setID(QORStringRef(raw, 3)), qor_s_ok);
    host.setFlags(qor_vhost_secure | qor_vhost_unsecure);
    const char other[] = {'a', 0, 'c'};
    EXPECT_TRUE(host.match(QORStringRef(raw, 3), true));
    EXPECT_FALSE(host.match(QORStringRef(other, 3), true));
    EXPECT_FALSE(host.match(QORStringRef("a"), false));
    QORStringRef key3(other, 3);
    QORPluginVirtualHostKey key;
    key.initialize(key3);
    EXPECT_GT(key.compare(host), 0);
}

TEST(VirtualHostList, LookupRules)
{
    QORPluginVirtualHostList list;
    ASSERT_EQ(list.add(newHost("shared", qor_vhost_unsecure)), qor_s_ok);
    ASSERT_EQ(list.add(newHost("shared", qor_vhost_secure | qor_vhost_case_insensitive)), qor_s_ok);
    ASSERT_EQ(list.add(newHost("both", 0x1c)), qor_s_ok);
    ASSERT_EQ(list.add(newHost("both", 0x0c)), qor_s_ok);
    ASSERT_EQ(list.add(newHost("secure", qor_vhost_secure)), qor_s_ok);
    ASSERT_EQ(list.readLock(), qor_s_ok);

    auto lookup = [&list](const char* s, bool secure) {
        QORStringRef id(s);
        QORPluginVirtualHostKey key;
        key.initialize(id, secure);
        return list.find(key);
    };
    QORPluginVirtualHost* plain = lookup("shared", false);
    QORPluginVirtualHost* tls = lookup("shared", true);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(plain->getFlags(), static_cast<unsigned long>(qor_vhost_unsecure));
    EXPECT_TRUE(tls->isCaseInsensitive());
    // The first host that accepts the protocol wins.
    ASSERT_NE(lookup("both", false), nullptr);
    EXPECT_TRUE(lookup("both", false)->isUnprotected());
    EXPECT_EQ(lookup("secure", false), nullptr);
    EXPECT_NE(lookup("secure", true), nullptr);
    EXPECT_EQ(lookup("Shared", true), nullptr);
    EXPECT_EQ(lookup("", true), nullptr);

    QORStringRef id("both");
    QORPluginVirtualHostKey anyProtocol;
    anyProtocol.initialize(id);
    EXPECT_EQ(list.find(anyProtocol), lookup("both", true));
    EXPECT_EQ(list.unlock(), qor_s_ok);
}

TEST(VirtualHost, SettersAndOutOfMemory)
{
    QORCountingAllocator alloc;
    {
        QORPluginVirtualHost host(&alloc);
        ASSERT_EQ(host.setID(QORStringRef("short")), qor_s_ok);
        std::string longID(300, 'x');
        alloc.failAfter = 0;
        EXPECT_EQ(host.setID(QORStringRef(longID.c_str())), qor_s_no_memory);
        EXPECT_EQ(host.setBranch(QORStringRef(longID.c_str())), qor_s_no_memory);
        EXPECT_STREQ(host.getID().c_str(), "short");
        EXPECT_TRUE(host.getBranch().isEmpty());
        alloc.failAfter = -1;
        ASSERT_EQ(host.setBranch(QORStringRef(longID.c_str())), qor_s_ok);
        EXPECT_EQ(host.getBranch().length(), 300);
        host.setFlags(qor_vhost_secure);
        host.addFlags(qor_vhost_unprotected | qor_vhost_win32_filesystem);
        EXPECT_EQ(host.getFlags(), 0x16ul);
        EXPECT_TRUE(host.isWin32Filesystem());
        EXPECT_FALSE(host.isUnsecure());
    }
    EXPECT_EQ(alloc.live(), 0);
}

namespace {

// Readers look hosts up and read them under the read lock while a writer
// keeps replacing the whole list under the write lock: every host a reader
// finds must be whole (its ID and branch agree) until it lets the lock go.
struct Shared {
    QORPluginVirtualHostList list;
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0};
    std::atomic<long> torn{0};
};

void* readerThread(void* arg)
{
    Shared* s = static_cast<Shared*>(arg);
    QORStringRef id("h");
    QORPluginVirtualHostKey key;
    key.initialize(id, true);
    while (!s->stop.load()) {
        s->list.readLock();
        QORPluginVirtualHost* h = s->list.find(key);
        if (h != nullptr) {
            std::string branch(h->getBranch().c_str());
            if (branch != "/branch-" + std::to_string(h->getFlags()))
                s->torn++;
        }
        s->lookups++;
        s->list.unlock();
    }
    return nullptr;
}

} // namespace

TEST(VirtualHostList, ReplacementUnderTheLock)
{
    alarm(60);
    Shared s;
    pthread_t readers[3];
    for (pthread_t& t : readers)
        ASSERT_EQ(pthread_create(&t, nullptr, readerThread, &s), 0);
    for (unsigned long round = 0; round < 2000; round++) {
        ASSERT_EQ(s.list.writeLock(), qor_s_ok);
        s.list.removeAll();
        unsigned long flags = qor_vhost_secure | (round & 0x13);
        for (int i = 0; i < 3; i++) {
            QORPluginVirtualHost* h = newHost(i == 1 ? "h" : "other", flags);
            std::string branch = "/branch-" + std::to_string(flags);
            ASSERT_EQ(h->setBranch(QORStringRef(branch.c_str())), qor_s_ok);
            ASSERT_EQ(s.list.add(h), qor_s_ok);
        }
        ASSERT_EQ(s.list.unlock(), qor_s_ok);
    }
    s.stop = true;
    for (pthread_t t : readers)
        pthread_join(t, nullptr);
    alarm(0);
    EXPECT_GT(s.lookups.load(), 0);
    EXPECT_EQ(s.torn.load(), 0);
    EXPECT_EQ(s.list.entries(), 3);
}

namespace {

struct WriterProbe {
    QORPluginVirtualHostList* list;
    std::atomic<bool> locked{false};
};

void* writerThread(void* arg)
{
    WriterProbe* p = static_cast<WriterProbe*>(arg);
    p->list->writeLock();
    p->locked = true;
    p->list->unlock();
    return nullptr;
}

} // namespace

TEST(VirtualHostList, WriterWaitsForReaders)
{
    alarm(30);
    QORPluginVirtualHostList list;
    WriterProbe probe;
    probe.list = &list;
    ASSERT_EQ(list.readLock(), qor_s_ok);
    pthread_t writer;
    ASSERT_EQ(pthread_create(&writer, nullptr, writerThread, &probe), 0);
    usleep(100 * 1000);
    EXPECT_FALSE(probe.locked.load());
    ASSERT_EQ(list.unlock(), qor_s_ok);
    pthread_join(writer, nullptr);
    alarm(0);
    EXPECT_TRUE(probe.locked.load());
}

TEST(VirtualHost, OwnsItsPermissionMap)
{
    QORCountingAllocator alloc;
    {
        QORPluginVirtualHost host;
        QORPermMap* first = qor_new<QORPermMap>(&alloc, &alloc);
        ASSERT_EQ(first->initialize(), qor_s_ok);
        QORActionGroupList* perms = qor_new<QORActionGroupList>(&alloc, &alloc);
        ASSERT_EQ(perms->initialize(QORStringRef("rx")), qor_s_ok);
        first->setDefaultPerms(perms);
        host.setPermMap(first);
        host.setPermMap(first);
        EXPECT_EQ(host.getPermMap(), first);
        int withFirst = alloc.live();

        QORPermMap* second = qor_new<QORPermMap>(&alloc, &alloc);
        ASSERT_EQ(second->initialize(), qor_s_ok);
        int both = alloc.live();
        host.setPermMap(second);
        EXPECT_EQ(host.getPermMap(), second);
        EXPECT_EQ(alloc.live(), both - withFirst);
    }
    EXPECT_EQ(alloc.live(), 0);
}
