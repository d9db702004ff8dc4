// qorauthzldap.cpp: the LDAP directory.
#include "authz/qorauthzldap.h"
#define LDAP_DEPRECATED 0
#include <ldap.h>
#include <time.h>
#include "authz/qorauthzhex.h"
#include "authz/qorauthzlog.h"

namespace {

// How many entries a user search may find at most: two tell an ambiguous
// filter from a unique one.
const int kUserSearchLimit = 2;
// Cache entries kept at most; past it the cache starts again.
const size_t kMaxCached = 100000;

int64_t monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

struct timeval timevalOf(int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

// A result code that says the server could not be asked, rather than
// answering no.
bool unreachable(int rc)
{
    return rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR
           || rc == LDAP_TIMELIMIT_EXCEEDED || rc == LDAP_BUSY || rc == LDAP_UNAVAILABLE
           || rc == LDAP_OTHER || rc == LDAP_LOCAL_ERROR || rc == LDAP_NO_MEMORY
           || rc == LDAP_OPERATIONS_ERROR;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The value of the first RDN of dn ("staff" of "cn=staff,ou=groups,...").
std::string firstRDNValue(const char* dn)
{
    LDAPDN parsed = nullptr;
    std::string value;
    if (ldap_str2dn(dn, &parsed, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS && parsed != nullptr
        && parsed[0] != nullptr && parsed[0][0] != nullptr)
        value.assign(parsed[0][0]->la_value.bv_val, parsed[0][0]->la_value.bv_len);
    ldap_dnfree(parsed);
    return value;
}

} // namespace

std::string QORAuthzLDAPDirectory::escape(const std::string& value)
{
    std::string out;
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c < 0x20 || c == 0x7f)
            out += "\\" + qor_authz_hex(&c, 1);
        else
            out.push_back(static_cast<char>(c));
    }
    return out;
}

std::shared_ptr<QORAuthzLDAPDirectory> QORAuthzLDAPDirectory::make(const QORAuthzLDAPSettings& s,
                                                                   std::string* why)
{
    std::shared_ptr<QORAuthzLDAPDirectory> d(new QORAuthzLDAPDirectory(s));
    if (!s.bindPasswordFile.empty()
        && !qor_authz_read_secret(s.bindPasswordFile, &d->m_bindPassword, why))
        return nullptr;
    return d;
}

QORAuthzLDAPDirectory::QORAuthzLDAPDirectory(const QORAuthzLDAPSettings& s)
    : m_settings(s)
    , m_clock(monotonicSeconds)
    , m_pool([this] { return connect(true); },
             [](LDAP* ld) { ldap_unbind_ext_s(ld, nullptr, nullptr); }, s.poolSize, s.timeoutMs,
             s.retryMs)
{
    if (m_settings.groupBaseDN.empty())
        m_settings.groupBaseDN = m_settings.baseDN;
}

QORAuthzLDAPDirectory::~QORAuthzLDAPDirectory() = default;

LDAP* QORAuthzLDAPDirectory::connect(bool service)
{
    const std::vector<std::string>& uris = m_settings.uris;
    size_t first = m_nextURI;
    struct timeval timeout = timevalOf(m_settings.timeoutMs);
    for (size_t i = 0; i < uris.size(); i++) {
        size_t index = (first + i) % uris.size();
        LDAP* ld = nullptr;
        if (ldap_initialize(&ld, uris[index].c_str()) != LDAP_SUCCESS || ld == nullptr)
            continue;
        bool tls = m_settings.startTLS || uris[index].compare(0, 8, "ldaps://") == 0;
        int version = LDAP_VERSION3, demand = LDAP_OPT_X_TLS_DEMAND, newContext = 0;
        int rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        if (rc == LDAP_SUCCESS)
            rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        if (rc == LDAP_SUCCESS)
            rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
        if (rc == LDAP_SUCCESS)
            rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
        if (rc == LDAP_SUCCESS && tls && !m_settings.caFile.empty())
            rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, m_settings.caFile.c_str());
        if (rc == LDAP_SUCCESS && tls)
            rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
        // The options above apply to this handle only once it has a TLS
        // context of its own.
        if (rc == LDAP_SUCCESS && tls)
            rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContext);
        if (rc == LDAP_SUCCESS && m_settings.startTLS)
            rc = ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc == LDAP_SUCCESS && service && !m_settings.bindDN.empty()) {
            struct berval cred;
            cred.bv_val = const_cast<char*>(m_bindPassword.data());
            cred.bv_len = m_bindPassword.size();
            rc = ldap_sasl_bind_s(ld, m_settings.bindDN.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                                  nullptr, nullptr);
            if (rc == LDAP_INVALID_CREDENTIALS)
                qor_authz_log(dx_svc_c_sev_error, "the LDAP bind as " + m_settings.bindDN +
                                                      " is refused: check bind-password-file");
        }
        if (rc == LDAP_SUCCESS) {
            m_nextURI = index;
            return ld;
        }
        qor_authz_log(dx_svc_c_sev_warning,
                      "LDAP server " + uris[index] + ": " + ldap_err2string(rc));
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    }
    return nullptr;
}

int QORAuthzLDAPDirectory::search(LDAP* ld, const std::string& user, Entry* out)
{
    const QORAuthzLDAPSettings& s = m_settings;
    struct timeval timeout = timevalOf(s.timeoutMs);
    std::string filter = replaceAll(s.userFilter, "%s", escape(user));
    bool memberOf = s.groupMembership == "memberOf";
    char* attrs[] = {const_cast<char*>(memberOf ? "memberOf" : LDAP_NO_ATTRS), nullptr};
    LDAPMessage* res = nullptr;
    int rc = ldap_search_ext_s(ld, s.baseDN.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0,
                               nullptr, nullptr, &timeout, kUserSearchLimit, &res);
    out->found = qor_s_not_found;
    out->dn.clear();
    out->groups.clear();
    if (rc == LDAP_SIZELIMIT_EXCEEDED || (rc == LDAP_SUCCESS && ldap_count_entries(ld, res) > 1)) {
        // Two entries for one name: neither may log in.
        qor_authz_log(dx_svc_c_sev_warning, "the LDAP user filter finds more than one entry");
        ldap_msgfree(res);
        return LDAP_SUCCESS;
    }
    LDAPMessage* e = rc == LDAP_SUCCESS ? ldap_first_entry(ld, res) : nullptr;
    if (e != nullptr) {
        char* dn = ldap_get_dn(ld, e);
        if (dn != nullptr) {
            out->found = qor_s_ok;
            out->dn = dn;
            ldap_memfree(dn);
        }
        struct berval** values = memberOf ? ldap_get_values_len(ld, e, "memberOf") : nullptr;
        for (int i = 0; values != nullptr && values[i] != nullptr; i++) {
            std::string name = firstRDNValue(std::string(values[i]->bv_val, values[i]->bv_len).c_str());
            if (!name.empty())
                out->groups.push_back(name);
        }
        ldap_value_free_len(values);
    }
    ldap_msgfree(res);
    if (rc != LDAP_SUCCESS || memberOf || out->found != qor_s_ok)
        return rc;

    filter = "(&" + s.groupFilter + "(" + s.groupMembership + "=" + escape(out->dn) + "))";
    char* nameAttrs[] = {const_cast<char*>(s.groupNameAttribute.c_str()), nullptr};
    rc = ldap_search_ext_s(ld, s.groupBaseDN.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                           nameAttrs, 0, nullptr, nullptr, &timeout, 0, &res);
    for (e = rc == LDAP_SUCCESS ? ldap_first_entry(ld, res) : nullptr; e != nullptr;
         e = ldap_next_entry(ld, e)) {
        struct berval** values = ldap_get_values_len(ld, e, s.groupNameAttribute.c_str());
        for (int i = 0; values != nullptr && values[i] != nullptr; i++)
            out->groups.emplace_back(values[i]->bv_val, values[i]->bv_len);
        ldap_value_free_len(values);
    }
    ldap_msgfree(res);
    return rc;
}

QORStatus QORAuthzLDAPDirectory::entry(const std::string& user, Entry* out)
{
    int64_t now = m_clock();
    {
        std::lock_guard<std::mutex> guard(m_cacheLock);
        auto it = m_cache.find(user);
        if (it != m_cache.end() && now < it->second.expires) {
            *out = it->second;
            return qor_s_ok;
        }
    }
    // A connection that died since its last use fails at once: then one
    // more try on a new one, which may be to the next server.
    int rc = LDAP_SERVER_DOWN;
    for (int attempt = 0; attempt < 2 && unreachable(rc); attempt++) {
        LDAP* ld = m_pool.acquire();
        if (ld == nullptr)
            break;
        rc = search(ld, user, out);
        bool healthy = !unreachable(rc);
        m_pool.release(ld, healthy);
        if (!healthy && !m_settings.uris.empty())
            m_nextURI = (m_nextURI + 1) % m_settings.uris.size();
    }
    if (rc != LDAP_SUCCESS) {
        qor_authz_log(dx_svc_c_sev_error, std::string("LDAP search failed: ") + ldap_err2string(rc));
        return qor_s_not_available;
    }
    out->expires = now + m_settings.cacheLifetime;
    std::lock_guard<std::mutex> guard(m_cacheLock);
    if (m_cache.size() >= kMaxCached)
        m_cache.clear();
    m_cache[user] = *out;
    return qor_s_ok;
}

QORStatus QORAuthzLDAPDirectory::lookup(const std::string& user)
{
    Entry e;
    QORStatus st = entry(user, &e);
    return st == qor_s_ok ? e.found : st;
}

QORStatus QORAuthzLDAPDirectory::groupsOf(const std::string& user,
                                          std::vector<std::string>* groups)
{
    Entry e;
    groups->clear();
    QORStatus st = entry(user, &e);
    if (st == qor_s_ok)
        *groups = e.groups;
    return st;
}

QORStatus QORAuthzLDAPDirectory::verify(const std::string& user, const std::string& password)
{
    if (password.empty())
        return qor_s_permission_denied;
    Entry e;
    QORStatus st = entry(user, &e);
    if (st != qor_s_ok)
        return st;
    if (e.found != qor_s_ok)
        return qor_s_permission_denied;
    // The user's bind changes who the connection is: never a pooled one.
    LDAP* ld = connect(false);
    if (ld == nullptr)
        return qor_s_not_available;
    struct berval cred;
    cred.bv_val = const_cast<char*>(password.data());
    cred.bv_len = password.size();
    int rc = ldap_sasl_bind_s(ld, e.dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                              nullptr);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    if (rc == LDAP_SUCCESS)
        return qor_s_ok;
    if (unreachable(rc)) {
        qor_authz_log(dx_svc_c_sev_error, std::string("LDAP bind failed: ") + ldap_err2string(rc));
        return qor_s_not_available;
    }
    return qor_s_permission_denied;
}
