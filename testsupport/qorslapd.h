// qorslapd.h: QORSlapd, a real OpenLDAP slapd for tests: a throwaway mdb
// database and configuration under a directory of the test's own, the
// suffix dc=test with ou=people and ou=groups, listening on free loopback
// ports for ldap:// (StartTLS offered) and ldaps://, with a test CA made
// by the openssl program. Entries are loaded and changed with ldapadd and
// ldapmodify as the test's administrator. Stopped when the object goes.
#pragma once
#include <memory>
#include <string>

class QORWebServer;

class QORSlapd {
public:
    static const char kBase[];           // "dc=test"
    static const char kAdminDN[];
    static const char kAdminPassword[];

    // dir: made by the caller, removed by the caller.
    explicit QORSlapd(const std::string& dir);
    ~QORSlapd();
    QORSlapd(const QORSlapd&) = delete;
    QORSlapd& operator=(const QORSlapd&) = delete;

    // The first start makes the certificates, the configuration and the
    // base entries; later ones reuse the database and the ports. Waits
    // until both ports accept connections.
    bool start();
    bool stop();
    // ldapadd / ldapmodify with ldif; true when the tool succeeded.
    bool add(const std::string& ldif);
    bool modify(const std::string& ldif);

    std::string uri() const;        // ldap://127.0.0.1:PORT
    std::string ldapsURI() const;   // ldaps://127.0.0.1:PORT
    std::string caFile() const;     // the CA that signed the server's certificate
    std::string log() const;

private:
    bool tool(const char* program, const std::string& ldif);

    std::string m_dir;
    int m_port = 0;
    int m_tlsPort = 0;
    bool m_made = false;
    std::unique_ptr<QORWebServer> m_server;
};
