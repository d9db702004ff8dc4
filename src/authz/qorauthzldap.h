// qorauthzldap.h: QORAuthzLDAPDirectory, users and groups from an LDAP
// server, through OpenLDAP's libldap. A user is the one entry under the
// base DN that the user filter finds, the name escaped into it; a password
// is verified by a simple bind as that entry on a connection of its own
// (the directory never hands out a hash); a user's groups are the groups
// naming its DN in member or uniqueMember, or the values of its memberOf
// (nested groups are not followed). Searches go over a small pool of
// connections bound as the configured account (QORAuthzConnectionPool: one
// reconnect at a time, with back-off); each operation has a timeout, and a
// connection that fails is dropped and the next URI tried.
// Entries and groups are kept for the cache lifetime, so a request costs
// the directory nothing while its user is cached. Thread-safe.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>
#include "authz/qorauthzconnectionpool.h"
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"

typedef struct ldap LDAP;

class QORAuthzLDAPDirectory : public QORAuthzUserDirectory, public QORAuthzGroupDirectory {
public:
    // Reads the bind password file; null with why when it cannot be used.
    // Connects to nothing yet.
    static std::shared_ptr<QORAuthzLDAPDirectory> make(const QORAuthzLDAPSettings& s,
                                                       std::string* why);
    ~QORAuthzLDAPDirectory() override;
    QORAuthzLDAPDirectory(const QORAuthzLDAPDirectory&) = delete;
    QORAuthzLDAPDirectory& operator=(const QORAuthzLDAPDirectory&) = delete;

    // An empty password is refused before any bind: to LDAP it asks for an
    // unauthenticated bind, which succeeds.
    QORStatus verify(const std::string& user, const std::string& password) override;
    QORStatus lookup(const std::string& user) override;
    QORStatus groupsOf(const std::string& user, std::vector<std::string>* groups) override;

    // The clock of the entry cache, in seconds; tests set their own.
    void setClock(std::function<int64_t()> clock) { m_clock = std::move(clock); }
    // value escaped for a search filter (RFC 4515): "*", "(", ")", "\" and
    // every control character (NUL too) as "\" and two hexadecimal digits.
    static std::string escape(const std::string& value);

private:
    struct Entry {
        QORStatus found;   // qor_s_ok or qor_s_not_found
        std::string dn;
        std::vector<std::string> groups;
        int64_t expires;
    };

    explicit QORAuthzLDAPDirectory(const QORAuthzLDAPSettings& s);
    // The user's entry, from the cache or the directory.
    QORStatus entry(const std::string& user, Entry* out);
    // One search for it on connection ld; an LDAP result code.
    int search(LDAP* ld, const std::string& user, Entry* out);
    // A new connection to the first URI that answers (from the last one
    // that did), StartTLS done, bound as the account when service is set.
    LDAP* connect(bool service);

    QORAuthzLDAPSettings m_settings;
    std::string m_bindPassword;
    std::function<int64_t()> m_clock;

    // The URI tried first: the last that answered, or the one after a
    // failed one.
    std::atomic<size_t> m_nextURI{0};
    QORAuthzConnectionPool<LDAP> m_pool;

    std::mutex m_cacheLock;
    std::unordered_map<std::string, Entry> m_cache;
};
