// qorauthzbackends.cpp: choosing the backends.
#include "authz/qorauthzbackends.h"
#include "authz/qorauthzgroupstore.h"
#include "authz/qorauthzldap.h"
#include "authz/qorauthzredis.h"
#include "authz/qorauthzsessions.h"
#include "authz/qorauthzuserstore.h"

bool qor_authz_make_directories(const QORAuthzSettings& s, QORAuthzErrors* errors,
                                QORAuthzErrors* warnings,
                                std::shared_ptr<QORAuthzUserDirectory>* users,
                                std::shared_ptr<QORAuthzGroupDirectory>* groups)
{
    std::shared_ptr<QORAuthzLDAPDirectory> ldap;
    if (s.userDirectory == "ldap" || s.groupDirectory == "ldap") {
        std::string why;
        ldap = QORAuthzLDAPDirectory::make(s.ldap, &why);
        if (!ldap) {
            errors->add(s.ldap.bindPasswordFile, 0, "[ldap]", why);
            return false;
        }
    }
    if (s.userDirectory == "ldap")
        *users = ldap;
    else
        *users = QORAuthzUserStore::load(s.usersFile, errors, warnings);
    if (s.groupDirectory == "ldap")
        *groups = ldap;
    else
        *groups = QORAuthzGroupStore::load(s.groupsFile, errors);
    return *users && *groups;
}

std::shared_ptr<QORAuthzSessionStore> qor_authz_make_session_store(const QORAuthzSettings& s,
                                                                   std::string* why)
{
    if (s.sessionStore == "redis")
        return QORAuthzRedisStore::make(s.redis, why);
    return std::make_shared<QORAuthzSessions>();
}
