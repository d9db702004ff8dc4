// qore2ebackends.cpp: the shared backends of many-site tests.
#include "qore2ebackends.h"
#include <sys/stat.h>
#include "qorauthztestserver.h"
#include "qore2erows.h"
#include "qorwebserver.h"

namespace {

const char* const kUsers[][2] = {
    {"alice", "wonderland"}, {"bob", "builder"}, {"carol", "singer"}, {"dave", "diver"}};
const char* const kGroups[][3] = {
    {"staff", "alice", "bob"}, {"auditors", "carol", nullptr}, {"admins", "dave", nullptr}};

std::string dnOf(const std::string& user)
{
    return "uid=" + user + ",ou=people,dc=test";
}

} // namespace

QORE2EBackends::QORE2EBackends(const std::string& dir)
    : m_dir(dir)
    , m_slapd(dir + "/ldap")
    , m_redis(dir + "/redis")
{
}

bool QORE2EBackends::start()
{
    if (!qor_make_dirs(m_dir + "/ldap") || !qor_make_dirs(m_dir + "/redis") || !m_slapd.start()
        || !m_redis.start())
        return false;
    std::string ldif;
    for (auto& u : kUsers)
        ldif += "dn: " + dnOf(u[0]) + "\nobjectClass: inetOrgPerson\nuid: " + u[0] + "\ncn: " +
                u[0] + "\nsn: " + u[0] + "\nuserPassword: " + u[1] + "\n\n";
    for (auto& g : kGroups) {
        ldif += std::string("dn: cn=") + g[0] + ",ou=groups,dc=test\nobjectClass: groupOfNames\n" +
                "cn: " + g[0] + "\n";
        for (int i = 1; i < 3 && g[i] != nullptr; i++)
            ldif += "member: " + dnOf(g[i]) + "\n";
        ldif += "\n";
    }
    return m_slapd.add(ldif);
}

void QORE2EBackends::configure(QORAuthzTestServer& server, const std::string& serverEntries) const
{
    for (auto& f : {std::make_pair("bind-password", QORSlapd::kAdminPassword),
                    std::make_pair("session-key", "shared by every site")}) {
        server.write(f.first, f.second);
        chmod((server.dir() + "/" + f.first).c_str(), 0600);
    }
    server.writePolicy(serverEntries,
                       std::string(kQORE2EAuthzdPolicy) +
                           "[backends]\nusers = ldap\ngroups = ldap\nsessions = redis\n"
                           "[ldap]\nuri = " + m_slapd.uri() + "\nbind-dn = " + QORSlapd::kAdminDN +
                           "\nbind-password-file = bind-password\nbase-dn = dc=test\n"
                           "cache-lifetime = 1\nretry-interval = 20\n"
                           "[redis]\naddress = " + m_redis.address() +
                           "\nkey-file = session-key\nretry-interval = 20\n");
}

bool QORE2EBackends::removeFromGroup(const std::string& user, const std::string& group)
{
    return m_slapd.modify("dn: cn=" + group + ",ou=groups,dc=test\nchangetype: modify\n"
                          "delete: member\nmember: " + dnOf(user) + "\n");
}
