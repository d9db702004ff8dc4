// qorauthzpolicy.cpp: reading and checking the policy file.
#include "authz/qorauthzpolicy.h"
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include "authz/qorauthzmetrics.h"
#include "core/buffers/qorstring.h"
#include "core/file/qorstanza.h"
#include "core/system/qorinstallpath.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "urc/plugin/qorunprotresourcecacheclient.h"

const char QORAuthzObject::kNothing[] = "[-]";

void QORAuthzErrors::add(const std::string& file, int line, const std::string& where,
                         const std::string& text)
{
    std::string s = file + ":" + std::to_string(line) + ": ";
    if (!where.empty())
        s += where + ": ";
    m_lines.push_back(s + text);
}

bool qor_authz_read_file(const std::string& path, std::string* text)
{
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    text->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        text->append(buf, n);
    bool ok = ferror(fp) == 0;
    fclose(fp);
    return ok;
}

std::vector<std::string> qor_authz_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        size_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(text.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

bool QORAuthzLDAPSettings::operator==(const QORAuthzLDAPSettings& o) const
{
    return uris == o.uris && startTLS == o.startTLS && caFile == o.caFile && bindDN == o.bindDN
           && bindPasswordFile == o.bindPasswordFile && baseDN == o.baseDN
           && userFilter == o.userFilter && groupBaseDN == o.groupBaseDN
           && groupFilter == o.groupFilter && groupMembership == o.groupMembership
           && groupNameAttribute == o.groupNameAttribute && timeoutMs == o.timeoutMs
           && poolSize == o.poolSize && cacheLifetime == o.cacheLifetime && retryMs == o.retryMs;
}

bool QORAuthzRedisSettings::operator==(const QORAuthzRedisSettings& o) const
{
    return address == o.address && passwordFile == o.passwordFile && database == o.database
           && keyPrefix == o.keyPrefix && keyFile == o.keyFile && timeoutMs == o.timeoutMs
           && poolSize == o.poolSize && retryMs == o.retryMs && localCache == o.localCache
           && localCacheSize == o.localCacheSize;
}

bool qor_authz_private_file(const std::string& path, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *why = std::string("cannot be read: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        // A secret others can read is no secret: refuse rather than warn.
        *why = "must be a file of this server's user that no group or other user can read "
               "(mode 0600 or 0400)";
        return false;
    }
    return true;
}

bool qor_authz_read_secret(const std::string& path, std::string* secret, std::string* why)
{
    std::string text;
    if (!qor_authz_private_file(path, why))
        return false;
    if (!qor_authz_read_file(path, &text)) {
        *why = std::string("cannot be read: ") + strerror(errno);
        return false;
    }
    std::vector<std::string> lines = qor_authz_lines(text);
    *secret = lines.empty() ? std::string() : lines[0];
    if (secret->empty()) {
        *why = "is empty";
        return false;
    }
    return true;
}

namespace {

// One entry of a stanza read by table, as nginx's command arrays: its
// name, the kind of its value, the bounds or the words it takes, and the
// field of S it sets.
template <class S>
struct QORAuthzSettingRow {
    enum Kind { number, flag, text, file, secret, choice, list };
    const char* name;
    Kind kind;
    long min = 0, max = 0;     // number
    const char* words = "";    // text: characters refused; choice: "a|b|c"
    int S::*num = nullptr;
    bool S::*yes = nullptr;
    std::string S::*str = nullptr;
    std::vector<std::string> S::*many = nullptr;
};

template <class S>
QORAuthzSettingRow<S> numberRow(const char* name, long min, long max, int S::*field)
{
    QORAuthzSettingRow<S> r{name, QORAuthzSettingRow<S>::number};
    r.min = min;
    r.max = max;
    r.num = field;
    return r;
}

template <class S>
QORAuthzSettingRow<S> flagRow(const char* name, bool S::*field)
{
    QORAuthzSettingRow<S> r{name, QORAuthzSettingRow<S>::flag};
    r.yes = field;
    return r;
}

template <class S>
QORAuthzSettingRow<S> textRow(const char* name, typename QORAuthzSettingRow<S>::Kind kind,
                              std::string S::*field, const char* words = "")
{
    QORAuthzSettingRow<S> r{name, kind};
    r.str = field;
    r.words = words;
    return r;
}

template <class S>
QORAuthzSettingRow<S> listRow(const char* name, std::vector<std::string> S::*field)
{
    QORAuthzSettingRow<S> r{name, QORAuthzSettingRow<S>::list};
    r.many = field;
    return r;
}

typedef QORAuthzSettingRow<QORAuthzSettings> ServerRow;
typedef QORAuthzSettingRow<QORAuthzLDAPSettings> LDAPRow;
typedef QORAuthzSettingRow<QORAuthzRedisSettings> RedisRow;

const ServerRow kBackendRows[] = {
    textRow<QORAuthzSettings>("users", ServerRow::choice, &QORAuthzSettings::userDirectory,
                              "file|ldap"),
    textRow<QORAuthzSettings>("groups", ServerRow::choice, &QORAuthzSettings::groupDirectory,
                              "file|ldap"),
    textRow<QORAuthzSettings>("sessions", ServerRow::choice, &QORAuthzSettings::sessionStore,
                              "memory|redis"),
};

typedef QORAuthzLDAPSettings L;
const LDAPRow kLDAPRows[] = {
    listRow<L>("uri", &L::uris),
    flagRow<L>("start-tls", &L::startTLS),
    textRow<L>("ca-file", LDAPRow::file, &L::caFile),
    textRow<L>("bind-dn", LDAPRow::text, &L::bindDN),
    textRow<L>("bind-password-file", LDAPRow::secret, &L::bindPasswordFile),
    textRow<L>("base-dn", LDAPRow::text, &L::baseDN),
    textRow<L>("user-filter", LDAPRow::text, &L::userFilter),
    textRow<L>("group-base-dn", LDAPRow::text, &L::groupBaseDN),
    textRow<L>("group-filter", LDAPRow::text, &L::groupFilter),
    textRow<L>("group-membership", LDAPRow::choice, &L::groupMembership,
               "member|uniqueMember|memberOf"),
    textRow<L>("group-name-attribute", LDAPRow::text, &L::groupNameAttribute, " ()=*\\"),
    numberRow<L>("timeout", 100, 600000, &L::timeoutMs),
    numberRow<L>("pool-size", 1, 64, &L::poolSize),
    numberRow<L>("cache-lifetime", 0, 86400, &L::cacheLifetime),
    numberRow<L>("retry-interval", 10, 30000, &L::retryMs),
};

typedef QORAuthzRedisSettings R;
const RedisRow kRedisRows[] = {
    textRow<R>("address", RedisRow::text, &R::address, " "),
    textRow<R>("password-file", RedisRow::secret, &R::passwordFile),
    numberRow<R>("database", 0, 1000000, &R::database),
    textRow<R>("key-prefix", RedisRow::text, &R::keyPrefix, " "),
    textRow<R>("key-file", RedisRow::secret, &R::keyFile),
    numberRow<R>("timeout", 10, 600000, &R::timeoutMs),
    numberRow<R>("pool-size", 1, 64, &R::poolSize),
    numberRow<R>("retry-interval", 10, 30000, &R::retryMs),
    flagRow<R>("local-cache", &R::localCache),
    numberRow<R>("local-cache-size", 1, 1000000, &R::localCacheSize),
};

std::unique_ptr<QORActionGroupList> parseActions(const std::string& text)
{
    std::unique_ptr<QORActionGroupList> list(new QORActionGroupList());
    if (list->initialize(QORStringRef(text.data(), static_cast<int>(text.size()))) != qor_s_ok)
        return nullptr;
    return list;
}

bool validActions(const std::string& text)
{
    return text == "*" || parseActions(text) != nullptr;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "first rest": the first word and what follows it, trimmed.
bool splitPair(const std::string& value, std::string* first, std::string* rest)
{
    std::string v = trim(value);
    size_t sp = v.find_first_of(" \t");
    if (sp == std::string::npos)
        return false;
    *first = v.substr(0, sp);
    *rest = trim(v.substr(sp));
    return !first->empty() && !rest->empty();
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

} // namespace

bool QORAuthzPermMap::build()
{
    m_default = parseActions(defaultText);
    if (!m_default)
        return false;
    m_methods.clear();
    for (auto& m : methodTexts) {
        auto list = parseActions(m.second);
        if (!list)
            return false;
        m_methods.emplace_back(m.first, std::move(list));
    }
    return true;
}

const QORActionGroupList& QORAuthzPermMap::required(const std::string& method) const
{
    // A later entry for a method shadows an earlier one, as in the plug-in's
    // map.
    for (auto it = m_methods.rbegin(); it != m_methods.rend(); ++it)
        if (it->first == method)
            return *it->second;
    return *m_default;
}

std::string QORAuthzObject::cacheText() const
{
    if (open)
        return "*";
    return unauthenticated.empty() ? std::string(kNothing) : unauthenticated;
}

// The reader of one policy file: the stanza reader's cursor with the line
// numbers of a scan of its own, and the checks of every entry.
class QORAuthzPolicy::Reader {
public:
    Reader(const std::string& path, QORAuthzPolicy& policy, QORAuthzErrors& errors)
        : m_path(path)
        , m_policy(policy)
        , m_errors(errors)
    {
    }

    void read()
    {
        if (!scan())
            return;
        QORStatus st = qor_s_ok;
        qorStanzaFile* stz = qorStzFileOpen(m_path.c_str(), QOR_STZ_READ_ONLY, &st);
        if (stz == nullptr) {
            m_errors.add(m_path, 0, "", "cannot be read");
            return;
        }
        std::set<std::string> seen;
        size_t index = 0;
        for (qorStzMoveFirstStanza(stz); stz->stanzaName != nullptr; qorStzMoveNextStanza(stz)) {
            m_stanza = stz->stanzaName;
            m_stanzaLine = index < m_headingLines.size() ? m_headingLines[index] : 0;
            ++index;
            if (!seen.insert(m_stanza).second)
                error("", "the stanza is repeated");
            std::vector<Entry> entries;
            for (; stz->entryName != nullptr; qorStzMoveNextEntry(stz))
                entries.push_back({stz->entryName, stz->value ? stz->value : "",
                                   lineAt(stz->entryOffset)});
            stanza(entries);
        }
        if (stz->status != qor_s_ok)
            m_errors.add(m_path, 0, "", "the stanza reader failed");
        qorStzFileClose(stz);
        finish();
    }

private:
    struct Entry {
        std::string name;
        std::string value;
        int line;
    };

    // Lines the stanza reader would refuse (its own grammar decides),
    // reported with their numbers, and entries before the first heading,
    // which it would pass over; where each line starts, for the numbers of
    // entries.
    bool scan()
    {
        std::string text;
        if (!qor_authz_read_file(m_path, &text)) {
            m_errors.add(m_path, 0, "", std::string("cannot be read: ") + strerror(errno));
            return false;
        }
        bool ok = true;
        size_t start = 0;
        int line = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            m_lineStarts.push_back(start);
            ++line;
            QORStzLine kind = qorStzClassifyLine(text.data() + start, end - start);
            bool heading = kind == QORStzLine::heading || kind == QORStzLine::noBracket;
            std::string problem;
            if (kind == QORStzLine::tooLong)
                problem = "the line is longer than " + std::to_string(QOR_STZ_MAX_LINE) + " bytes";
            else if (kind == QORStzLine::unconvertible)
                problem = "the line is not text in the local code page";
            else if (kind != QORStzLine::skipped && !heading && m_headingLines.empty())
                problem = "an entry before the first stanza heading";
            else if (kind == QORStzLine::noBracket || kind == QORStzLine::noSeparator) {
                std::string l = trim(text.substr(start, end - start));
                if (!l.empty() && l.back() == '\r')
                    l.pop_back();
                problem = "neither a heading nor an entry: " + l;
            }
            if (heading)
                m_headingLines.push_back(line);
            if (!problem.empty()) {
                m_errors.add(m_path, line, "", problem);
                ok = false;
            }
            start = end + 1;
        }
        return ok;
    }

    int lineAt(int32_t offset) const
    {
        auto it = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(),
                                   static_cast<size_t>(offset < 0 ? 0 : offset));
        return static_cast<int>(it - m_lineStarts.begin());
    }

    void error(const std::string& entry, const std::string& text, int line = -1)
    {
        m_errors.add(m_path, line < 0 ? m_stanzaLine : line,
                     "[" + m_stanza + "]" + (entry.empty() ? "" : " " + entry), text);
    }

    bool number(const Entry& e, long min, long max, int* out)
    {
        char* end = nullptr;
        errno = 0;
        long v = strtol(e.value.c_str(), &end, 0);
        if (e.value.empty() || *end != 0 || errno != 0 || v < min || v > max) {
            error(e.name, "not a number from " + std::to_string(min) + " to " +
                              std::to_string(max) + ": " + e.value, e.line);
            return false;
        }
        *out = static_cast<int>(v);
        return true;
    }

    bool flag(const Entry& e, bool* out)
    {
        const char* v = e.value.c_str();
        if (strcasecmp(v, "yes") == 0 || strcasecmp(v, "true") == 0 || strcasecmp(v, "on") == 0)
            *out = true;
        else if (strcasecmp(v, "no") == 0 || strcasecmp(v, "false") == 0
                 || strcasecmp(v, "off") == 0)
            *out = false;
        else {
            error(e.name, "not yes or no: " + e.value, e.line);
            return false;
        }
        return true;
    }

    std::string file(const std::string& value) const
    {
        return value.empty() || value[0] == '/' ? value : directoryOf(m_path) + value;
    }

    // A text entry: not empty, no control characters, nothing of reject.
    bool text(const Entry& e, std::string* out, const char* reject = "")
    {
        bool ok = !e.value.empty();
        for (unsigned char c : e.value)
            if (c < 0x20 || c == 0x7f || strchr(reject, c) != nullptr)
                ok = false;
        if (!ok) {
            error(e.name, "empty, or holds a character not allowed here", e.line);
            return false;
        }
        *out = e.value;
        return true;
    }

    void unknown(const Entry& e) { error(e.name, "unknown entry", e.line); }

    template <class S, size_t N>
    void table(const QORAuthzSettingRow<S> (&rows)[N], S& s, const std::vector<Entry>& entries)
    {
        typedef QORAuthzSettingRow<S> Row;
        for (auto& e : entries) {
            const Row* row = nullptr;
            for (const Row& r : rows)
                if (e.name == r.name)
                    row = &r;
            if (row == nullptr) {
                unknown(e);
                continue;
            }
            std::string v, why;
            switch (row->kind) {
            case Row::number:
                number(e, row->min, row->max, &(s.*row->num));
                break;
            case Row::flag:
                flag(e, &(s.*row->yes));
                break;
            case Row::text:
                text(e, &(s.*row->str), row->words);
                break;
            case Row::file:
            case Row::secret:
                if (!text(e, &v))
                    break;
                s.*row->str = file(v);
                if (row->kind == Row::secret && !qor_authz_private_file(s.*row->str, &why))
                    error(e.name, s.*row->str + " " + why, e.line);
                break;
            case Row::choice:
                if (("|" + std::string(row->words) + "|").find("|" + e.value + "|")
                        == std::string::npos || e.value.empty())
                    error(e.name, "not one of " + std::string(row->words) + ": " + e.value,
                          e.line);
                else
                    s.*row->str = e.value;
                break;
            case Row::list:
                if (text(e, &v))
                    (s.*row->many).push_back(v);
                break;
            }
        }
    }

    // The entries a chosen backend cannot do without.
    void backendsComplete()
    {
        const QORAuthzSettings& s = m_policy.m_settings;
        auto missing = [&](const char* stanza, const char* entry) {
            m_errors.add(m_path, 0, std::string("[") + stanza + "] " + entry,
                         "required by the backends chosen");
        };
        if (s.userDirectory == "ldap" || s.groupDirectory == "ldap") {
            const QORAuthzLDAPSettings& l = s.ldap;
            if (l.uris.empty())
                missing("ldap", "uri");
            if (l.baseDN.empty())
                missing("ldap", "base-dn");
            if (!l.bindDN.empty() && l.bindPasswordFile.empty())
                missing("ldap", "bind-password-file");
            if (l.userFilter.find("%s") == std::string::npos)
                m_errors.add(m_path, 0, "[ldap] user-filter", "has no %s for the name");
            for (auto& u : l.uris)
                if (u.compare(0, 7, "ldap://") != 0 && u.compare(0, 8, "ldaps://") != 0)
                    m_errors.add(m_path, 0, "[ldap] uri", "not ldap:// or ldaps://: " + u);
        }
        if (s.sessionStore == "redis" && s.redis.keyFile.empty())
            missing("redis", "key-file");
    }

    void stanza(const std::vector<Entry>& entries)
    {
        if (m_stanza == "server")
            server(entries);
        else if (m_stanza == "login")
            login(entries);
        else if (m_stanza == "backends")
            table(kBackendRows, m_policy.m_settings, entries);
        else if (m_stanza == "ldap")
            table(kLDAPRows, m_policy.m_settings.ldap, entries);
        else if (m_stanza == "redis")
            table(kRedisRows, m_policy.m_settings.redis, entries);
        else if (m_stanza == "post-sizes") {
            for (auto& e : entries) {
                int v = 0;
                if (number(e, 0, 0x7fffffff, &v))
                    m_policy.m_postSizes.emplace_back(e.name, v);
            }
        } else if (m_stanza == "config-flags") {
            for (auto& e : entries) {
                char* end = nullptr;
                errno = 0;
                unsigned long v = strtoul(e.value.c_str(), &end, 0);
                if (e.value.empty() || *end != 0 || errno != 0 || v > 0xffffffffUL
                    || e.value[0] == '-')
                    error(e.name, "not a flag word: " + e.value, e.line);
                else
                    m_policy.m_configFlags.emplace_back(e.name, static_cast<unsigned int>(v));
            }
        } else if (m_stanza.compare(0, 13, "virtual-host ") == 0)
            vhost(trim(m_stanza.substr(13)), entries);
        else if (m_stanza.compare(0, 7, "object ") == 0)
            object(trim(m_stanza.substr(7)), entries);
        else
            error("", "unknown stanza");
    }

    void server(const std::vector<Entry>& entries)
    {
        QORAuthzSettings& s = m_policy.m_settings;
        for (auto& e : entries) {
            const std::string& n = e.name;
            if (n == "server-id")
                text(e, &s.serverID);
            else if (n == "workers")
                number(e, 1, 256, &s.workers);
            else if (n == "worker-size")
                number(e, 4096, 16 * 1024 * 1024, &s.workerSize);
            else if (n == "users-file") {
                if (text(e, &s.usersFile))
                    s.usersFile = file(s.usersFile);
            } else if (n == "groups-file") {
                if (text(e, &s.groupsFile))
                    s.groupsFile = file(s.groupsFile);
            } else if (n == "identity-header")
                text(e, &s.identityHeader, " \t:()<>@,;\\\"/[]?={}");
            else if (n == "realm")
                text(e, &s.realm, "\"\\");
            else if (n == "credential-cache-lifetime")
                number(e, 0, 86400 * 30, &s.credentialLifetime);
            else if (n == "credential-cache-size")
                number(e, 1, 10000000, &s.credentialCacheSize);
            else if (n == "urc-enabled")
                flag(e, &s.urcEnabled);
            else if (n == "urc-poll-interval")
                number(e, 1, 86400 * 365, &s.urcPollInterval);
            else if (n == "decision-cache-lifetime")
                number(e, 0, 3600, &s.decisionCacheLifetime);
            else if (n == "failure-window")
                number(e, 1, 86400, &s.failureWindow);
            else if (n == "failure-delay-after")
                number(e, 0, 1000000, &s.failureDelayAfter);
            else if (n == "failure-delay")
                number(e, 0, 5000, &s.failureDelayMs);
            else if (n == "failure-limit")
                number(e, 0, 1000000, &s.failureLimit);
            else if (n == "unknown-host") {
                if (e.value == "allow" || e.value == "deny")
                    s.unknownHostAllowed = e.value == "allow";
                else
                    error(n, "not allow or deny: " + e.value, e.line);
            } else if (n == "audit" || n == "metrics-address")
                monitoring(e, &s);
            else if (n == "route") {
                std::string r;
                if (text(e, &r))
                    s.routes.push_back(r);
            } else
                unknown(e);
        }
    }

    void monitoring(const Entry& e, QORAuthzSettings* s)
    {
        std::string host, checked;
        int port = 0;
        if (e.name == "metrics-address") {
            if (e.value != "off" && !qor_authz_parse_loopback(e.value, &host, &port))
                error(e.name, "not a loopback HOST:PORT: " + e.value, e.line);
            else
                s->metricsAddress = e.value == "off" ? "" : e.value;
        } else if (e.value == "off" || e.value == "syslog")
            s->audit = e.value == "off" ? "" : e.value;
        else if (e.value.compare(0, 5, "file:") == 0 && e.value.size() > 5 && text(e, &checked))
            s->audit = "file:" + file(e.value.substr(5));
        else
            error(e.name, "not off, syslog or file:PATH: " + e.value, e.line);
    }

    void login(const std::vector<Entry>& entries)
    {
        QORAuthzSettings& s = m_policy.m_settings;
        for (auto& e : entries) {
            const std::string& n = e.name;
            if (n == "login-url" || n == "logout-url") {
                std::string& url = n == "login-url" ? s.loginURL : s.logoutURL;
                if (text(e, &url, " ?#\\") && url[0] != '/')
                    error(n, "must be a path beginning with /", e.line);
            } else if (n == "template") {
                if (text(e, &s.loginTemplate))
                    s.loginTemplate = file(s.loginTemplate);
            } else if (n == "cookie-name")
                text(e, &s.cookieName, " \t()<>@,;:\\\"/[]?={}");
            else if (n == "session-idle-lifetime")
                number(e, 1, 86400 * 30, &s.sessionIdle);
            else if (n == "session-absolute-lifetime")
                number(e, 1, 86400 * 365, &s.sessionAbsolute);
            else if (n == "max-sessions")
                number(e, 1, 10000000, &s.maxSessions);
            else if (n == "max-sessions-per-user")
                number(e, 1, 10000000, &s.maxSessionsPerUser);
            else if (n == "max-form-body")
                number(e, 64, 1024 * 1024, &s.maxFormBody);
            else if (n == "strip-session-cookie")
                flag(e, &s.stripSessionCookie);
            else
                unknown(e);
        }
    }

    void vhost(const std::string& label, const std::vector<Entry>& entries)
    {
        QORAuthzVHost h;
        h.label = label;
        h.id = label;
        h.branch = "/" + label;
        bool caseSensitive = true, windows = false, unprotected = false;
        unsigned int protocols = qor_vhost_secure | qor_vhost_unsecure;
        if (label.empty())
            error("", "the host has no label");
        for (auto& e : entries) {
            const std::string& n = e.name;
            if (n == "id")
                text(e, &h.id);
            else if (n == "branch") {
                if (text(e, &h.branch) &&
                    (h.branch.size() < 2 || h.branch[0] != '/' || h.branch.back() == '/'))
                    error(n, "must begin with / and not end with it", e.line);
            } else if (n == "protocols") {
                if (e.value == "http")
                    protocols = qor_vhost_unsecure;
                else if (e.value == "https")
                    protocols = qor_vhost_secure;
                else if (e.value == "both")
                    protocols = qor_vhost_secure | qor_vhost_unsecure;
                else
                    error(n, "not http, https or both: " + e.value, e.line);
            } else if (n == "case-sensitive")
                flag(e, &caseSensitive);
            else if (n == "windows-file-system")
                flag(e, &windows);
            else if (n == "unprotected")
                flag(e, &unprotected);
            else if (n == "default-permission") {
                if (!validActions(e.value) || e.value == "*")
                    error(n, "not an action list: " + e.value, e.line);
                else
                    h.perms.defaultText = e.value;
            } else if (n == "permission") {
                std::string method, actions;
                if (!splitPair(e.value, &method, &actions) || actions == "*"
                    || !validActions(actions))
                    error(n, "not \"METHOD actions\": " + e.value, e.line);
                else
                    h.perms.methodTexts.emplace_back(method, actions);
            } else
                unknown(e);
        }
        h.flags = protocols;
        if (!caseSensitive)
            h.flags |= qor_vhost_case_insensitive;
        if (windows)
            h.flags |= qor_vhost_win32_filesystem;
        if (unprotected)
            h.flags |= qor_vhost_unprotected;
        if (!h.perms.build())
            error("", "a permission does not parse");
        m_policy.m_vhosts.push_back(std::move(h));
    }

    void object(const std::string& name, const std::vector<Entry>& entries)
    {
        QORAuthzObject o;
        o.name = name;
        if (name.empty() || name[0] != '/' || (name.size() > 1 && name.back() == '/'))
            error("", "an object name begins with / and does not end with it");
        for (auto& e : entries) {
            const std::string& n = e.name;
            if (n == "unauthenticated") {
                if (e.value == "*")
                    o.open = true;
                else if (validActions(e.value))
                    o.unauthenticated = e.value;
                else
                    error(n, "not * or an action list: " + e.value, e.line);
            } else if (n == "user" || n == "group") {
                QORAuthzGrant g;
                if (!splitPair(e.value, &g.name, &g.actions) || !validActions(g.actions))
                    error(n, "not \"NAME actions\": " + e.value, e.line);
                else
                    (n == "user" ? o.users : o.groups).push_back(g);
            } else if (n == "method") {
                if (e.value == "basic")
                    o.login = QORAuthzLogin::basic;
                else if (e.value == "form") {
                    o.login = QORAuthzLogin::form;
                    m_policy.m_usesForms = true;
                } else
                    error(n, "not basic or form: " + e.value, e.line);
            } else
                unknown(e);
        }
        if (!o.open) {
            o.unauthList = parseActions(o.cacheText());
            if (!o.unauthList)
                error("unauthenticated", "does not parse");
        }
        if (!m_policy.m_objects.emplace(name, std::move(o)).second)
            error("", "the object is named twice");
    }

    void finish()
    {
        QORAuthzSettings& s = m_policy.m_settings;
        const char* sm = nullptr;
        if (s.serverID.empty() && qor_install_path(qor_path_sm, &sm) == qor_s_ok)
            s.serverID = std::string(sm) + "dxqor-authzd";
        if (s.usersFile.empty())
            s.usersFile = directoryOf(m_path) + "htpasswd";
        backendsComplete();
        if (s.loginURL == s.logoutURL)
            m_errors.add(m_path, 0, "[login]", "the login and logout URLs are the same");
        std::set<std::string> branches;
        for (auto& h : m_policy.m_vhosts)
            if ((h.flags & qor_vhost_unprotected) == 0)
                branches.insert(h.branch);
        for (auto& b : branches) {
            std::vector<const QORAuthzObject*> objects;
            for (auto& o : m_policy.m_objects)
                if (o.first == b || o.first.compare(0, b.size() + 1, b + "/") == 0)
                    objects.push_back(&o.second);
            std::sort(objects.begin(), objects.end(),
                      [](const QORAuthzObject* a, const QORAuthzObject* z) {
                          return a->name < z->name;
                      });
            m_policy.m_branches.emplace_back(b, std::move(objects));
        }
    }

    std::string m_path;
    QORAuthzPolicy& m_policy;
    QORAuthzErrors& m_errors;
    std::vector<size_t> m_lineStarts;
    std::vector<int> m_headingLines;
    std::string m_stanza;
    int m_stanzaLine = 0;
};

std::unique_ptr<QORAuthzPolicy> QORAuthzPolicy::load(const std::string& path,
                                                     QORAuthzErrors* errors)
{
    std::unique_ptr<QORAuthzPolicy> policy(new QORAuthzPolicy());
    size_t before = errors->lines().size();
    Reader(path, *policy, *errors).read();
    if (errors->lines().size() != before)
        return nullptr;
    return policy;
}

const QORAuthzVHost* QORAuthzPolicy::findHost(const char* id, int idLength, bool secure) const
{
    unsigned int need = secure ? qor_vhost_secure : qor_vhost_unsecure;
    for (auto& h : m_vhosts)
        if ((h.flags & need) != 0 && h.id.size() == static_cast<size_t>(idLength)
            && h.id.compare(0, h.id.size(), id, static_cast<size_t>(idLength)) == 0)
            return &h;
    return nullptr;
}

const QORAuthzObject* QORAuthzPolicy::findObject(const std::string& name) const
{
    auto it = m_objects.find(name);
    if (it != m_objects.end())
        return &it->second;
    QORString walk;
    if (!walk.set(name.data(), static_cast<int>(name.size())))
        return nullptr;
    while (qor_obj_get_parent(walk)) {
        it = m_objects.find(std::string(walk.data(), static_cast<size_t>(walk.length())));
        if (it != m_objects.end())
            return &it->second;
    }
    return nullptr;
}
