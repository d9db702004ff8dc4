// qorslapd.cpp: the slapd of the tests.
#include "qorslapd.h"
#include <vector>
#include "qore2e.h"
#include "qortestdir.h"
#include "qorwebserver.h"

const char QORSlapd::kBase[] = "dc=test";
const char QORSlapd::kAdminDN[] = "cn=admin,dc=test";
const char QORSlapd::kAdminPassword[] = "admin-secret";

namespace {

const char kConfig[] =
    "include /etc/ldap/schema/core.schema\n"
    "include /etc/ldap/schema/cosine.schema\n"
    "include /etc/ldap/schema/inetorgperson.schema\n"
    "modulepath /usr/lib/ldap\n"
    "moduleload back_mdb\n"
    "moduleload memberof\n"
    "pidfile @DIR@/slapd.pid\n"
    "argsfile @DIR@/slapd.args\n"
    // As some servers do: a DN with an empty password binds, unauthenticated.
    "allow bind_anon_dn\n"
    "TLSCACertificateFile @DIR@/tls/ca.pem\n"
    "TLSCertificateFile @DIR@/tls/server.pem\n"
    "TLSCertificateKeyFile @DIR@/tls/server.key\n"
    "database mdb\n"
    "maxsize 16777216\n"
    "suffix \"dc=test\"\n"
    "rootdn \"cn=admin,dc=test\"\n"
    "rootpw admin-secret\n"
    "directory @DIR@/db\n"
    "overlay memberof\n";

const char kBaseEntries[] =
    "dn: dc=test\nobjectClass: dcObject\nobjectClass: organization\no: test\ndc: test\n\n"
    "dn: ou=people,dc=test\nobjectClass: organizationalUnit\nou: people\n\n"
    "dn: ou=groups,dc=test\nobjectClass: organizationalUnit\nou: groups\n";

} // namespace

QORSlapd::QORSlapd(const std::string& dir)
    : m_dir(dir)
{
}

QORSlapd::~QORSlapd()
{
    if (m_server)
        (void)stop();
}

bool QORSlapd::start()
{
    if (!m_made) {
        m_port = qor_free_loopback_port();
        m_tlsPort = qor_free_loopback_port();
        if (m_port == 0 || m_tlsPort == 0 || !qor_make_dirs(m_dir + "/db")
            || !qor_e2e_make_certificates(m_dir + "/tls")
            || !qor_write_file(m_dir + "/slapd.conf",
                               qor_fill_template(kConfig, {{"DIR", m_dir}})))
            return false;
    }
    // -d keeps slapd in the foreground, where the fixture can stop it.
    m_server.reset(new QORWebServer({"/usr/sbin/slapd", "-f", m_dir + "/slapd.conf", "-h",
                                     uri() + "/ " + ldapsURI() + "/", "-d", "0"},
                                    m_port, m_dir + "/slapd.log"));
    if (!m_server->start()
        || !qor_test_wait_until([&] { return QORWebServer::accepting(m_tlsPort); }))
        return false;
    if (!m_made && !add(kBaseEntries))
        return false;
    m_made = true;
    return true;
}

bool QORSlapd::stop()
{
    bool stopped = m_server && m_server->stop();
    m_server.reset();
    return stopped;
}

bool QORSlapd::tool(const char* program, const std::string& ldif)
{
    std::string out;
    return qor_run_program({program, "-x", "-H", uri(), "-D", kAdminDN, "-w", kAdminPassword},
                           ldif, &out) == 0;
}

bool QORSlapd::add(const std::string& ldif)
{
    return tool("ldapadd", ldif);
}

bool QORSlapd::modify(const std::string& ldif)
{
    return tool("ldapmodify", ldif);
}

std::string QORSlapd::uri() const
{
    return "ldap://127.0.0.1:" + std::to_string(m_port);
}

std::string QORSlapd::ldapsURI() const
{
    return "ldaps://127.0.0.1:" + std::to_string(m_tlsPort);
}

std::string QORSlapd::caFile() const
{
    return m_dir + "/tls/ca.pem";
}

std::string QORSlapd::log() const
{
    return qor_read_file(m_dir + "/slapd.log");
}
