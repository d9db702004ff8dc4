// qorauthzpolicy.h: QORAuthzPolicy, the authorization server's policy as
// read from its stanza file (docs/authz-server.md): server settings, the
// plug-in's configuration tables, the virtual hosts with their permission
// maps and the protected object space with its access-control entries.
// A policy is built once by load() and only read afterwards, by any number
// of worker threads at once.
#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include "plugin/core/qoractiongrouplist.h"

// Problems found in the files, one line each: "FILE:LINE: [stanza] entry:
// what is wrong" (line 0 when the problem is the file as a whole).
class QORAuthzErrors {
public:
    void add(const std::string& file, int line, const std::string& where,
             const std::string& text);
    bool empty() const { return m_lines.empty(); }
    const std::vector<std::string>& lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};

// Reads a whole file into text; false (errno set) when it cannot.
bool qor_authz_read_file(const std::string& path, std::string* text);
// The lines of text without their line ends ("\n" or "\r\n").
std::vector<std::string> qor_authz_lines(const std::string& text);

enum class QORAuthzLogin { basic, form };

// What a virtual host's methods require.
class QORAuthzPermMap {
public:
    // The text forms, for the configuration answer.
    std::string defaultText = "r";
    std::vector<std::pair<std::string, std::string>> methodTexts;

    // Parses the texts; false (and nothing usable) on a bad text.
    bool build();
    // The list for method (exact name), else the default list.
    const QORActionGroupList& required(const std::string& method) const;

private:
    std::unique_ptr<QORActionGroupList> m_default;
    std::vector<std::pair<std::string, std::unique_ptr<QORActionGroupList>>> m_methods;
};

struct QORAuthzVHost {
    std::string label;
    std::string id;
    std::string branch;
    unsigned int flags = 0;   // qor_vhost_* bits
    QORAuthzPermMap perms;
};

// A user or group entry of an object: the actions it grants ("*": all).
struct QORAuthzGrant {
    std::string name;
    std::string actions;
};

struct QORAuthzObject {
    // The group that stands for "no action at all": no method requires it
    // alone, so an entry holding only it never resolves.
    static const char kNothing[];   // "[-]"

    std::string name;
    bool open = false;              // unauthenticated = *
    std::string unauthenticated;    // actions, when given and not "*"
    std::vector<QORAuthzGrant> users;
    std::vector<QORAuthzGrant> groups;
    QORAuthzLogin login = QORAuthzLogin::basic;
    // Parsed unauthenticated actions (kNothing when none were given); null
    // for an open object.
    std::unique_ptr<QORActionGroupList> unauthList;

    // The text the unprotected-resource cache gets: "*", the actions, or
    // kNothing.
    std::string cacheText() const;
};

// Where users and groups come from when the directory is an LDAP server.
struct QORAuthzLDAPSettings {
    std::vector<std::string> uris;  // tried in order
    bool startTLS = false;
    std::string caFile;
    std::string bindDN;             // empty: anonymous searches
    std::string bindPasswordFile;
    std::string baseDN;
    std::string userFilter = "(&(objectClass=inetOrgPerson)(uid=%s))";
    std::string groupBaseDN;        // empty: baseDN
    std::string groupFilter = "(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))";
    std::string groupMembership = "member";  // member, uniqueMember or memberOf
    std::string groupNameAttribute = "cn";
    int timeoutMs = 5000;
    int poolSize = 4;
    int cacheLifetime = 60;         // seconds a user's entry and groups are kept
    int retryMs = 1000;             // the first wait before reconnecting; doubles to 30 s

    bool operator==(const QORAuthzLDAPSettings& o) const;
};

// Where sessions, login tokens and failure counts live when they are
// shared through a Redis server.
struct QORAuthzRedisSettings {
    std::string address = "127.0.0.1:6379";  // host:port, or the path of a unix socket
    std::string passwordFile;       // empty: no AUTH
    int database = 0;
    std::string keyPrefix = "dxqor:";
    std::string keyFile;            // the secret that hashes session identifiers
    int timeoutMs = 2000;
    int poolSize = 4;
    int retryMs = 1000;             // the first wait before reconnecting; doubles to 30 s
    bool localCache = true;         // sessions read lately kept here, invalidated by Redis
    int localCacheSize = 10000;     // entries

    bool operator==(const QORAuthzRedisSettings& o) const;
};

struct QORAuthzSettings {
    std::string serverID;
    int workers = 8;
    int workerSize = 65536;
    std::string usersFile;
    std::string groupsFile;
    std::string identityHeader = "X-Dxqor-User";
    std::string realm = "dxqor";
    int credentialLifetime = 300;
    int credentialCacheSize = 10000;
    bool urcEnabled = true;
    int urcPollInterval = 600;
    // Seconds a plug-in may reuse a decision for the same request; 0: never.
    int decisionCacheLifetime = 0;
    int failureWindow = 300;
    int failureDelayAfter = 3;
    int failureDelayMs = 500;
    int failureLimit = 10;
    bool unknownHostAllowed = false;
    std::vector<std::string> routes;
    // Monitoring: the audit trail ("", "syslog" or "file:PATH") and the
    // loopback "HOST:PORT" of the metrics endpoint ("": none).
    std::string audit;
    std::string metricsAddress;

    // Form logins and sessions.
    std::string loginURL = "/dxqor/login";
    std::string logoutURL = "/dxqor/logout";
    std::string loginTemplate;      // file; empty: the built-in page
    std::string cookieName = "DXQORSESSION";
    int sessionIdle = 900;
    int sessionAbsolute = 28800;
    int maxSessions = 10000;
    int maxSessionsPerUser = 10;
    int maxFormBody = 8192;
    bool stripSessionCookie = true;

    // Backends.
    std::string userDirectory = "file";   // file or ldap
    std::string groupDirectory = "file";  // file or ldap
    std::string sessionStore = "memory";  // memory or redis
    QORAuthzLDAPSettings ldap;
    QORAuthzRedisSettings redis;
};

// Whether path is a regular file that only this process's user can read or
// write (owner us, no group or other bits); false with why.
bool qor_authz_private_file(const std::string& path, std::string* why);
// The first line of a secret file, without its line end.
bool qor_authz_read_secret(const std::string& path, std::string* secret, std::string* why);

class QORAuthzPolicy {
public:
    // Reads and validates the policy file; relative file names in it are
    // made absolute against its directory. Null, with every problem in
    // errors, when anything is wrong.
    static std::unique_ptr<QORAuthzPolicy> load(const std::string& path, QORAuthzErrors* errors);

    const QORAuthzSettings& settings() const { return m_settings; }
    const std::vector<std::pair<std::string, int>>& postSizes() const { return m_postSizes; }
    const std::vector<std::pair<std::string, unsigned int>>& configFlags() const
    {
        return m_configFlags;
    }
    const std::vector<QORAuthzVHost>& vhosts() const { return m_vhosts; }
    // The branches of the protected hosts, each with the names of the
    // objects under it, for the unprotected-resource cache.
    const std::vector<std::pair<std::string, std::vector<const QORAuthzObject*>>>& branches() const
    {
        return m_branches;
    }

    // The first host with that ID that takes the protocol, as the plug-in
    // searches its list; null when none.
    const QORAuthzVHost* findHost(const char* id, int idLength, bool secure) const;
    // The object that decides for name: name itself or its nearest
    // ancestor with an entry, found as the unprotected-resource cache does;
    // null when none.
    const QORAuthzObject* findObject(const std::string& name) const;
    bool usesForms() const { return m_usesForms; }

private:
    QORAuthzPolicy() = default;
    class Reader;

    QORAuthzSettings m_settings;
    std::vector<std::pair<std::string, int>> m_postSizes;
    std::vector<std::pair<std::string, unsigned int>> m_configFlags;
    std::vector<QORAuthzVHost> m_vhosts;
    std::unordered_map<std::string, QORAuthzObject> m_objects;
    std::vector<std::pair<std::string, std::vector<const QORAuthzObject*>>> m_branches;
    bool m_usesForms = false;
};
