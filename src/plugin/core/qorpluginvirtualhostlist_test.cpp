#include "plugin/core/qorpluginvirtualhostlist.h"

#include "core/file/qorstanza.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/qorscopedlocale.h"
#include "qortestinstallroot.h"
#include "qortestvhosts.h"

namespace {

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

class VirtualHostConfTest : public ::testing::Test {
protected:
    void writeConf(const std::string& text) { std::ofstream(m_root.confPath()) << text; }

    QORTestInstallRoot m_root{"vhost", ""};
};

struct ConfCase {
    const char* name;
    const char* conf;
    const char* hosts;  // render() of the list after loadVHosts
};

// Flags: 01 case-insensitive, 02 Windows, 04 HTTPS, 08 HTTP, 10 unprotected.
#define PLUGINS "[dxweb-plugins]\n"
#define HOST_A PLUGINS "virtual-host = a\n[a]\n"
const ConfCase kConfCases[] = {
    {"defaults", PLUGINS "virtual-host = a\n", "a/0c"},
    {"unprotected first", PLUGINS "virtual-host = a\nunprotected-virtual-host = u\n", "u/1c a/0c"},
    {"repeats dropped", PLUGINS "virtual-host = b\nvirtual-host = a\nvirtual-host = b\n",
     "b/0c a/0c"},
    {"both kinds", PLUGINS "virtual-host = a\nunprotected-virtual-host = a\n", "a/1c a/0c"},
    {"entry names are case-sensitive",
     PLUGINS "Virtual-Host = x\nvirtual-hosts = y\nvirtual-host = a\n", "a/0c"},
    {"no value gives an empty name", PLUGINS "virtual-host =\n", "/0c"},
    {"global switches",
     PLUGINS "case-sensitive = no\nwindows-file-system = Yes\nvirtual-host = a\n", "a/0f"},
    {"host stanza overrides the global one",
     PLUGINS "case-sensitive = no\nvirtual-host = a\nvirtual-host = b\n"
             "[a]\ncase-sensitive = TRUE\nwindows-file-system = true\n",
     "a/0e b/0d"},
    {"switch words", PLUGINS "virtual-host = a\nvirtual-host = b\nvirtual-host = c\n"
                     "[a]\ncase-sensitive = FALSE\n[b]\ncase-sensitive = off\n"
                     "[c]\ncase-sensitive = No\nwindows-file-system = nO\n",
     "a/0d b/0c c/0d"},
    {"unknown switch value keeps the global one",
     PLUGINS "case-sensitive = no\nvirtual-host = a\n[a]\ncase-sensitive = maybe\n", "a/0d"},
    {"protocols HTTP", HOST_A "protocols = HTTP\n", "a/08"},
    {"protocols both", HOST_A "protocols = Both\n", "a/0c"},
    {"blank after a word belongs to it", HOST_A "protocols = http , https\n", "a/04"},
    {"blanks before a word are skipped", HOST_A "protocols = ftp,   http\n", "a/08"},
    {"no known word means both", HOST_A "protocols = ftp\n", "a/0c"},
    {"empty words", HOST_A "protocols = ,https,\n", "a/04"},
    {"quotes mean nothing", HOST_A "protocols = \"http\"\n", "a/0c"},
    {"protocols without a value", HOST_A "protocols =\n", "a/0c"},
    {"id replaces the stanza name",
     PLUGINS "unprotected-virtual-host = a\n[a]\nid = www.example.com:80\n",
     "www.example.com:80/1c"},
    {"id without a value keeps the name", HOST_A "id =\n", "a/0c"},
    {"id in UTF-8", HOST_A "id = caf\xc3\xa9\n", "caf\xc3\xa9/0c"},
    {"stanza names are case-sensitive",
     PLUGINS "virtual-host = a\n[A]\nprotocols = https\nid = other\n", "a/0c"},
    {"only the first global stanza", PLUGINS "virtual-host = a\n" PLUGINS "virtual-host = b\n",
     "a/0c"},
    {"no dxweb-plugins stanza", "[a]\nvirtual-host = a\n", ""},
    {"empty dxweb-plugins stanza", PLUGINS "[a]\nprotocols = https\n", ""},
};

} // namespace

TEST_F(VirtualHostConfTest, ConfigurationFileRules)
{
    QORScopedCtypeLocale loc("C.UTF-8");
    ASSERT_TRUE(loc.ok());
    for (const ConfCase& c : kConfCases) {
        SCOPED_TRACE(c.name);
        writeConf(c.conf);
        QORPluginVirtualHostList list;
        EXPECT_EQ(list.loadVHosts(), qor_s_ok);
        EXPECT_EQ(render(list), c.hosts);
    }
}

TEST_F(VirtualHostConfTest, LoadingAddsToTheListAndAFailureKeepsIt)
{
    QORPluginVirtualHostList list;
    ASSERT_EQ(list.add(qor_test_vhost("server", 0x14)), qor_s_ok);
    unlink(m_root.confPath().c_str());
    EXPECT_EQ(list.loadVHosts(), qor_s_stz_open_failed);
    EXPECT_EQ(render(list), "server/14");

    writeConf("[dxweb-plugins]\nvirtual-host = a\n");
    EXPECT_EQ(list.loadVHosts(), qor_s_ok);
    EXPECT_EQ(list.loadVHosts(), qor_s_ok);
    EXPECT_EQ(render(list), "server/14 a/0c a/0c");

    // A syntax error ends the walk: the hosts named before it are added and
    // the file's status is returned.
    writeConf("[dxweb-plugins]\nvirtual-host = b\nno separator here\nvirtual-host = c\n");
    EXPECT_EQ(list.loadVHosts(), qor_s_stz_no_separator);
    EXPECT_EQ(render(list), "server/14 a/0c a/0c b/0c");
}

// Readers look hosts up and read them under the read lock while a writer
// keeps replacing the whole list under the write lock: every host a reader
// finds must be whole (its ID and branch agree) until it lets the lock go.
TEST(VirtualHostList, ReplacementUnderTheLock)
{
    alarm(60);
    QORPluginVirtualHostList list;
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0}, torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; r++) {
        readers.emplace_back([&] {
            QORStringRef id("h");
            QORPluginVirtualHostKey key;
            key.initialize(id, true);
            while (!stop) {
                EXPECT_EQ(list.readLock(), qor_s_ok);
                if (QORPluginVirtualHost* h = list.find(key))
                    torn += std::string(h->getBranch().c_str())
                            != "/branch-" + std::to_string(h->getFlags());
                lookups++;
                EXPECT_EQ(list.unlock(), qor_s_ok);
            }
        });
    }
    // Until the readers have looked up often enough to have met replacements.
    for (unsigned long round = 0; round < 2000 || lookups < 1000; round++) {
        ASSERT_EQ(list.writeLock(), qor_s_ok);
        list.removeAll();
        unsigned long flags = qor_vhost_secure | (round & 0x13);
        for (int i = 0; i < 3; i++) {
            std::string branch = "/branch-" + std::to_string(flags);
            ASSERT_EQ(list.add(qor_test_vhost(i == 1 ? "h" : "other", flags, branch.c_str())),
                      qor_s_ok);
        }
        ASSERT_EQ(list.unlock(), qor_s_ok);
    }
    stop = true;
    for (std::thread& t : readers)
        t.join();
    alarm(0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(list.entries(), 3);
}
