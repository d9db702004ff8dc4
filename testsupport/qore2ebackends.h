// qore2ebackends.h: QORE2EBackends, what the sites of a many-site
// end-to-end test share: one slapd holding the sample users (the passwords
// of packaging/htpasswd) and groups (packaging/groups), one redis-server,
// and the policy that points an authorization server at both (the
// end-to-end policy with users and groups from LDAP, sessions in Redis).
#pragma once
#include <string>
#include "qorredisserver.h"
#include "qorslapd.h"

class QORAuthzTestServer;

class QORE2EBackends {
public:
    // dir: made here, removed by the caller.
    explicit QORE2EBackends(const std::string& dir);

    // Starts both and loads the users and groups.
    bool start();
    // Writes server's policy (its [server] entries, then the end-to-end
    // policy and the backends' stanzas) and the secret files it names.
    void configure(QORAuthzTestServer& server, const std::string& serverEntries) const;
    // Takes user out of group in the directory.
    bool removeFromGroup(const std::string& user, const std::string& group);

    QORSlapd& slapd() { return m_slapd; }
    QORRedisServer& redis() { return m_redis; }

private:
    std::string m_dir;
    QORSlapd m_slapd;
    QORRedisServer m_redis;
};
