// Reading the policy, users and groups files.
#include "authz/qorauthzpolicy.h"
#include <gtest/gtest.h>
#include <fstream>
#include <string>
#include "authz/qorauthzgroupstore.h"
#include "authz/qorauthzuserstore.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "qortestdir.h"

namespace {

std::string errorsOf(const std::string& policy)
{
    QORTestDir dir("authz");
    std::string path = dir.file("bad.conf");
    std::ofstream(path) << policy;
    QORAuthzErrors errors;
    bool loaded = QORAuthzPolicy::load(path, &errors) != nullptr;
    std::string all = loaded ? "loaded" : "";
    for (auto& l : errors.lines())
        all += l.substr(l.find(':') + 1) + "\n";
    return all;
}

} // namespace

TEST(QORAuthzPolicyTest, EveryProblemIsReportedWithLineAndEntry)
{
    struct {
        const char* policy;
        const char* error;
    } rows[] = {
        {"[server]\nworkers = 0\n", "2: [server] workers: not a number from 1 to 256"},
        {"[server]\nworker-size = 12k\n", "2: [server] worker-size: not a number"},
        {"[server]\nurc-enabled = maybe\n", "2: [server] urc-enabled: not yes or no"},
        {"[server]\nrealm = a\"b\n", "2: [server] realm: empty, or holds a character"},
        {"[server]\nunknown-host = perhaps\n", "2: [server] unknown-host: not allow or deny"},
        {"[server]\ncolour = red\n", "2: [server] colour: unknown entry"},
        // Metrics stay on the machine; the audit trail goes somewhere named.
        {"[server]\nmetrics-address = 0.0.0.0:9464\n", "2: [server] metrics-address: not a loopback"},
        {"[server]\nmetrics-address = 127.0.0.1:70000\n", "2: [server] metrics-address: not a loopback"},
        {"[server]\naudit = /var/log/a\n", "2: [server] audit: not off, syslog or file:PATH"},
        {"\n[mystery]\n", "2: [mystery]: unknown stanza"},
        {"[server]\n[server]\n", "2: [server]: the stanza is repeated"},
        {"[server]\njust words\n", "2: neither a heading nor an entry: just words"},
        {"workers = 2\n[server]\n", "1: an entry before the first stanza heading"},
        {"[server\n", "1: neither a heading nor an entry: [server"},
        {"[server]\r\nrealm x\r\n", "2: neither a heading nor an entry: realm x\n"},
        {"[server]\n# c\nrealm = r\nrealm = \"\n", "4: [server] realm: empty, or holds"},
        {"[virtual-host a]\nprotocols = ftp\n", "2: [virtual-host a] protocols: not http"},
        {"[virtual-host a]\nbranch = web\n", "2: [virtual-host a] branch: must begin with /"},
        {"[virtual-host a]\npermission = GET\n", "2: [virtual-host a] permission: not \"METHOD"},
        {"[virtual-host a]\npermission = GET r[x\n", "2: [virtual-host a] permission: not"},
        {"[virtual-host a]\ndefault-permission = *\n", "default-permission: not an action"},
        {"[object web]\n", "1: [object web]: an object name begins with /"},
        {"[object /w/]\n", "1: [object /w/]: an object name begins with /"},
        {"[object /w]\nuser = alice\n", "2: [object /w] user: not \"NAME actions\""},
        {"[object /w]\ngroup = g [x\n", "2: [object /w] group: not \"NAME actions\""},
        {"[object /w]\nunauthenticated = [x\n", "unauthenticated: not * or an action list"},
        {"[object /w]\nmethod = digest\n", "2: [object /w] method: not basic or form"},
        {"[login]\nlogin-url = login\n", "2: [login] login-url: must be a path"},
        {"[login]\nlogout-url = /dxqor/login\n", "[login]: the login and logout URLs are the same"},
        {"[login]\nmax-form-body = 1\n", "2: [login] max-form-body: not a number"},
        {"[config-flags]\nx = -1\n", "2: [config-flags] x: not a flag word"},
        {"[post-sizes]\nx = big\n", "2: [post-sizes] x: not a number"},
        {"[backends]\nusers = nis\n", "2: [backends] users: not one of file|ldap: nis"},
        {"[ldap]\ntimeout = 5\n", "2: [ldap] timeout: not a number from 100 to 600000"},
        {"[ldap]\ncolour = red\n", "2: [ldap] colour: unknown entry"},
        {"[ldap]\ngroup-membership = owner\n", "2: [ldap] group-membership: not one of"},
        {"[backends]\ngroups = ldap\n", "0: [ldap] uri: required by the backends chosen"},
        {"[backends]\nusers = ldap\n[ldap]\nuri = http://x\nbase-dn = dc=x\n"
         "user-filter = (uid=x)\n",
         "0: [ldap] user-filter: has no %s for the name"},
        {"[backends]\nusers = ldap\n[ldap]\nuri = http://x\n", "0: [ldap] uri: not ldap://"},
        {"[backends]\nsessions = redis\n", "0: [redis] key-file: required by the backends"},
        {"[redis]\nlocal-cache = maybe\n", "2: [redis] local-cache: not yes or no: maybe"},
        {"[redis]\nlocal-cache-size = 0\n", "2: [redis] local-cache-size: not a number from 1 to"},
        // A secret anyone may read (or one not ours) is refused, not warned of.
        {"[redis]\npassword-file = /etc/hostname\n",
         "2: [redis] password-file: /etc/hostname must be a file of this server's user"},
    };
    for (auto& row : rows)
        EXPECT_NE(errorsOf(row.policy).find(row.error), std::string::npos)
            << row.policy << "\n gave: " << errorsOf(row.policy);
    // The stanza reader's limit: a line of 511 bytes is one line, a longer
    // one is refused (the reader would read it as two).
    std::string realm = "realm = " + std::string(511 - 8, 'r');
    EXPECT_EQ(errorsOf("[server]\n" + realm + "\n[object /w]\n").substr(0, 6), "loaded");
    EXPECT_EQ(errorsOf("[server]\n" + realm + "r\n"), "2: the line is longer than 511 bytes\n");
    EXPECT_EQ(errorsOf("[server]\r\nrealm = r\r\n\r\n[object /w]\r\n").substr(0, 6), "loaded");
    // Every error of a file, not only the first.
    EXPECT_EQ(errorsOf("[server]\nworkers = 0\nrealm =\n[object x]\n"),
              "2: [server] workers: not a number from 1 to 256: 0\n"
              "3: [server] realm: empty, or holds a character not allowed here\n"
              "4: [object x]: an object name begins with / and does not end with it\n");
}

TEST(QORAuthzPolicyTest, HostsObjectsAndCacheDataFromAValidPolicy)
{
    QORTestDir dir("authz");
    std::string path = dir.file("good.conf");
    std::ofstream(path) << ("[server]\nusers-file = u\n"
                           "[virtual-host www]\nid = www.example.com\nbranch = /w\n"
                           "protocols = https\ncase-sensitive = no\n"
                           "default-permission = r\npermission = POST rw\n"
                           "[virtual-host static]\nunprotected = yes\n"
                           "[object /w]\nunauthenticated = *\n"
                           "[object /w/p]\nuser = a r\n"
                           "[object /w/d]\nunauthenticated = r\nmethod = form\n"
                           "[object /other]\n[redis]\nlocal-cache = off\n");
    QORAuthzErrors errors;
    std::unique_ptr<QORAuthzPolicy> p = QORAuthzPolicy::load(path, &errors);
    ASSERT_TRUE(p != nullptr) << (errors.empty() ? "" : errors.lines()[0]);
    EXPECT_EQ(p->settings().usersFile, path.substr(0, path.rfind('/') + 1) + "u");
    EXPECT_FALSE(p->settings().redis.localCache);
    ASSERT_EQ(p->vhosts().size(), 2u);
    EXPECT_EQ(p->vhosts()[0].flags, unsigned(qor_vhost_secure | qor_vhost_case_insensitive));
    EXPECT_EQ(p->vhosts()[1].flags,
              unsigned(qor_vhost_secure | qor_vhost_unsecure | qor_vhost_unprotected));
    const char id[] = "www.example.com";
    EXPECT_EQ(p->findHost(id, 15, true), &p->vhosts()[0]);
    EXPECT_EQ(p->findHost(id, 15, false), nullptr);
    EXPECT_EQ(p->findHost(id, 3, true), nullptr);
    EXPECT_TRUE(p->usesForms());

    // The cache data of the protected host's branch: its objects only.
    ASSERT_EQ(p->branches().size(), 1u);
    std::string data;
    for (auto* o : p->branches()[0].second)
        data += o->name + "=" + o->cacheText() + " ";
    EXPECT_EQ(data, "/w=* /w/d=r /w/p=[-] ");
    EXPECT_EQ(p->findObject("/w/p/x/y")->name, "/w/p");
    EXPECT_EQ(p->findObject("/w/px")->name, "/w");
    EXPECT_EQ(p->findObject("/nowhere"), nullptr);
}

TEST(QORAuthzPolicyTest, PasswordsOfEveryScheme)
{
    QORTestDir dir("authz");
    std::string path = dir.file("users");
    std::ofstream(path) << (
        "# comment\n\n"
        "bc:$2y$05$LabAjCr3nvtZl5ZIX.uGt.dQQuKU3ImvjEiGHnriCYcNyH2k8oyQy\n"
        "apr:$apr1$N/FqldgB$tCgYE3S.r3A72M6W4QQ4n/\n"
        "sha:{SHA}X9zPCbMFzMPlYX7+7QubnxKI7iM=\n"
        "s512:$6$s4ltS4lt$cNV0lDFAhalb/I4J9lSBEDGEhYNZA9N6ASR41Q3rq3U7HgyoR82/7ABZwYetaW31bgyzSiUMppoEBHEkI1fEr/\n"
        "yes:$y$j9T$TRRVb3vZ6zJCGZb1M/bbb0$GOyn8WpacDn00yacs0a1uMHUUtdVW4Dsjch2R1O7dX7\n"
        "md5:$1$yL1a1ge2$Y72UHt.BbghHEqjzVBwQT1\n"
        "plain:secret\n"
        "broken:$2y$05$short\n");
    QORAuthzErrors errors, warnings;
    auto users = QORAuthzUserStore::load(path, &errors, &warnings);
    ASSERT_TRUE(users != nullptr);
    const QORStatus ok = qor_s_ok, no = qor_s_permission_denied;
    struct {
        const char* user;
        const char* password;
        QORStatus check;
    } rows[] = {
        {"bc", "wonderland", ok}, {"bc", "wonderlan", no},
        {"apr", "builder", ok},   {"apr", "builder!", no},
        {"sha", "singer", ok},    {"sha", "", no},
        {"s512", "diver", ok},    {"s512", "diver ", no},
        {"yes", "yes", ok},       {"yes", "no", no},
        {"md5", "md5", ok},       {"md5", "md4", no},
        {"plain", "secret", no},   {"nobody", "", no},
        // A hash libcrypt cannot compute says nothing of the password.
        {"broken", "x", qor_s_not_available},
    };
    for (auto& row : rows)
        EXPECT_EQ(users->verify(row.user, row.password), row.check) << row.user << " " << row.password;
    ASSERT_EQ(warnings.lines().size(), 1u);
    EXPECT_NE(warnings.lines()[0].find(":9: plain: refused"), std::string::npos);
    EXPECT_EQ(warnings.lines()[0].find("secret"), std::string::npos);

    std::ofstream(path) << "a:{SHA}x\nno colon here\na:{SHA}y\n";
    QORAuthzErrors bad;
    EXPECT_EQ(QORAuthzUserStore::load(path, &bad, &warnings), nullptr);
    ASSERT_EQ(bad.lines().size(), 2u);
    EXPECT_NE(bad.lines()[0].find(":2: not \"name:hash\""), std::string::npos);
    EXPECT_NE(bad.lines()[1].find(":3: a: the user is named twice"), std::string::npos);

    std::ofstream(path) << "# groups\nstaff: a b\nops:b\nstaff: c a\n bad line\n";
    EXPECT_EQ(QORAuthzGroupStore::load(path, &bad), nullptr);
    EXPECT_NE(bad.lines().back().find(":5: not \"group: user"), std::string::npos);
    std::ofstream(path) << "staff: a b\nops:b\nstaff: c a\n";
    auto groups = QORAuthzGroupStore::load(path, &bad);
    ASSERT_TRUE(groups != nullptr);
    EXPECT_EQ(groups->groupsOf("b"), (std::vector<std::string>{"staff", "ops"}));
    EXPECT_EQ(groups->groupsOf("a"), (std::vector<std::string>{"staff"}));
    EXPECT_TRUE(groups->groupsOf("z").empty());
}
