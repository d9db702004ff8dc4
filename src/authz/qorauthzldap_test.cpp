// The LDAP directory against a real slapd.
#include "authz/qorauthzldap.h"
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <memory>
#include <string>
#include <vector>
#include "qorslapd.h"
#include "qortestdir.h"
#include "qorwebserver.h"

namespace {

const char kPeople[] =
    "dn: uid=alice,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: alice\ncn: Alice\n"
    "sn: A\nuserPassword: alice-pw\n\n"
    "dn: uid=bob,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: bob\ncn: Bob\nsn: B\n"
    "userPassword: bob-pw\n\n"
    "dn: uid=dave,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: dave\ncn: Dave\nsn: D\n"
    "userPassword: dave-pw\n\n"
    "dn: cn=staff,ou=groups,dc=test\nobjectClass: groupOfNames\ncn: staff\n"
    "member: uid=alice,ou=people,dc=test\nmember: uid=dave,ou=people,dc=test\n\n"
    "dn: cn=ops,ou=groups,dc=test\nobjectClass: groupOfUniqueNames\ncn: ops\n"
    "uniqueMember: uid=bob,ou=people,dc=test\n";

} // namespace

class QORAuthzLDAPTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QORTestDir("authz-ldap");
        s_slapd = new QORSlapd(s_dir->path());
        ASSERT_TRUE(s_slapd->start()) << s_slapd->log();
        ASSERT_TRUE(s_slapd->add(kPeople));
        ASSERT_TRUE(s_dir->write("bind-password", QORSlapd::kAdminPassword));
        chmod(s_dir->file("bind-password").c_str(), 0600);
    }
    static void TearDownTestSuite()
    {
        delete s_slapd;
        delete s_dir;
    }

    static QORAuthzLDAPSettings settings(const std::string& membership = "member")
    {
        QORAuthzLDAPSettings s;
        s.uris = {s_slapd->uri()};
        s.bindDN = QORSlapd::kAdminDN;
        s.bindPasswordFile = s_dir->file("bind-password");
        s.baseDN = "ou=people,dc=test";
        s.groupBaseDN = "ou=groups,dc=test";
        s.groupMembership = membership;
        s.timeoutMs = 5000;
        s.cacheLifetime = 0;
        s.retryMs = 20;
        return s;
    }
    static std::shared_ptr<QORAuthzLDAPDirectory> make(const QORAuthzLDAPSettings& s)
    {
        std::string why;
        auto d = QORAuthzLDAPDirectory::make(s, &why);
        EXPECT_TRUE(d) << why;
        return d;
    }

    static QORTestDir* s_dir;
    static QORSlapd* s_slapd;
};

QORTestDir* QORAuthzLDAPTest::s_dir = nullptr;
QORSlapd* QORAuthzLDAPTest::s_slapd = nullptr;

TEST_F(QORAuthzLDAPTest, PasswordsAndNamesThatWouldWidenTheFilter)
{
    auto d = make(settings());
    ASSERT_TRUE(d);
    const QORStatus ok = qor_s_ok, no = qor_s_permission_denied;
    struct {
        std::string user;
        const char* password;
        QORStatus verified;
        const char* why;
    } rows[] = {
        {"alice", "alice-pw", ok, "a bind as her entry"},
        {"alice", "bob-pw", no, "another's password"},
        {"alice", "", no, "the server takes an empty password as an unauthenticated bind"},
        {"nobody", "alice-pw", no, "no entry"},
        {"a*e", "alice-pw", no, "a wildcard would find alice"},
        {"*", "alice-pw", no, "a wildcard alone"},
        {"alice)(uid=alice", "alice-pw", no, "parentheses would close and add a term"},
        {"\\61lice", "alice-pw", no, "a backslash would start an escape of 'a'"},
        {std::string("alice\0x", 7), "alice-pw", no, "a NUL would cut the filter short"},
    };
    for (auto& row : rows)
        EXPECT_EQ(d->verify(row.user, row.password), row.verified) << row.why;
    EXPECT_EQ(d->lookup("alice"), qor_s_ok);
    EXPECT_EQ(d->lookup("a*"), qor_s_not_found);
    EXPECT_EQ(QORAuthzLDAPDirectory::escape(std::string("*()\\\0", 5)), "\\2a\\28\\29\\5c\\00");
}

TEST_F(QORAuthzLDAPTest, GroupsByEachMembershipAndAChangeSeenAfterTheCacheLifetime)
{
    struct {
        const char* membership;
        const char* user;
        std::vector<std::string> groups;
    } rows[] = {
        {"member", "alice", {"staff"}},
        {"member", "bob", {}},  // bob is a uniqueMember only
        {"uniqueMember", "bob", {"ops"}},
        {"memberOf", "alice", {"staff"}},
        {"member", "nobody", {}},
    };
    for (auto& row : rows) {
        auto d = make(settings(row.membership));
        std::vector<std::string> groups;
        ASSERT_EQ(d->groupsOf(row.user, &groups), qor_s_ok) << row.membership;
        EXPECT_EQ(groups, row.groups) << row.membership << " " << row.user;
    }

    QORAuthzLDAPSettings s = settings();
    s.cacheLifetime = 60;
    auto d = make(s);
    int64_t now = 1000;
    d->setClock([&] { return now; });
    std::vector<std::string> groups;
    ASSERT_EQ(d->groupsOf("dave", &groups), qor_s_ok);
    EXPECT_EQ(groups, std::vector<std::string>{"staff"});
    ASSERT_TRUE(s_slapd->modify("dn: cn=staff,ou=groups,dc=test\nchangetype: modify\n"
                                "delete: member\nmember: uid=dave,ou=people,dc=test\n"));
    now += 59;
    ASSERT_EQ(d->groupsOf("dave", &groups), qor_s_ok);
    EXPECT_EQ(groups, std::vector<std::string>{"staff"});  // still the cached entry
    now += 1;
    ASSERT_EQ(d->groupsOf("dave", &groups), qor_s_ok);
    EXPECT_TRUE(groups.empty());
}

TEST_F(QORAuthzLDAPTest, AStoppedServerIsUnavailableNeverNoAndIsFoundAgain)
{
    QORAuthzLDAPSettings s = settings();
    // A first URI where nothing listens: the next one is tried.
    s.uris.insert(s.uris.begin(), "ldap://127.0.0.1:" + std::to_string(qor_free_loopback_port()));
    auto d = make(s);
    std::vector<std::string> groups;
    ASSERT_EQ(d->verify("bob", "bob-pw"), qor_s_ok);
    ASSERT_TRUE(s_slapd->stop());
    EXPECT_EQ(d->verify("bob", "bob-pw"), qor_s_not_available);
    EXPECT_EQ(d->verify("bob", "wrong"), qor_s_not_available);
    EXPECT_EQ(d->lookup("bob"), qor_s_not_available);
    EXPECT_EQ(d->groupsOf("bob", &groups), qor_s_not_available);
    ASSERT_TRUE(s_slapd->start()) << s_slapd->log();
    // Found again once the back-off after the failed reconnects is over.
    EXPECT_TRUE(qor_test_wait_until([&] { return d->verify("bob", "bob-pw") == qor_s_ok; }));
    EXPECT_EQ(d->verify("bob", "wrong"), qor_s_permission_denied);
}

TEST_F(QORAuthzLDAPTest, TLSWithTheTestCAAndNotWithoutIt)
{
    struct {
        bool ldaps;
        bool startTLS;
        bool rightCA;
        QORStatus verified;
    } rows[] = {
        {true, false, true, qor_s_ok},
        {false, true, true, qor_s_ok},
        {true, false, false, qor_s_not_available},   // a certificate no CA of ours signed
        {false, true, false, qor_s_not_available},
    };
    for (auto& row : rows) {
        QORAuthzLDAPSettings s = settings();
        s.uris = {row.ldaps ? s_slapd->ldapsURI() : s_slapd->uri()};
        s.startTLS = row.startTLS;
        // The client certificate is not a CA: nothing verifies against it.
        s.caFile = row.rightCA ? s_slapd->caFile() : s_dir->file("tls/client.pem");
        auto d = make(s);
        EXPECT_EQ(d->verify("alice", "alice-pw"), row.verified)
            << (row.ldaps ? "ldaps" : "StartTLS") << (row.rightCA ? "" : " with a wrong CA");
    }
}
