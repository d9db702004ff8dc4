// qorauthztestserver.h: QORAuthzTestServer, the real dxqor-authzd run by a
// test: its policy, users and groups files in a directory of the test's
// own, the server ID a key path whose IPC objects are removed when the
// object goes, the program started in the foreground as a child whose
// output is kept in a file of that directory. Also the raw request text a
// test transaction hands to the server.
#pragma once
#include <sys/types.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include "core/system/qorstatus.h"
#include "qortesttransaction.h"

class QORTestIPCPath;

class QORAuthzTestServer {
public:
    // program: the dxqor-authzd binary; tag names the directory.
    QORAuthzTestServer(const char* program, const char* tag);
    // Stops the server, removes its objects and every file made.
    ~QORAuthzTestServer();
    QORAuthzTestServer(const QORAuthzTestServer&) = delete;
    QORAuthzTestServer& operator=(const QORAuthzTestServer&) = delete;

    // Writes name (in the directory) with text.
    void write(const std::string& name, const std::string& text);
    // The policy: a [server] stanza with the server ID, the files "users"
    // and "groups" of the directory, routes of every severity to standard
    // error, then serverEntries; then body (the other stanzas).
    void writePolicy(const std::string& serverEntries, const std::string& body);

    // Starts the program and waits (30 s at most) until it serves.
    QORStatus start();
    // Sends SIGHUP and waits until the server reports the outcome; true
    // when the new policy is in force.
    bool reload();
    // SIGKILL: the objects stay, as after a crash.
    void kill();
    // SIGTERM, then waits for the exit; its status, or -1.
    int stop();

    const char* serverID() const;
    const std::string& dir() const { return m_dir; }
    std::string output() const;
    // Lines of the output holding text.
    int count(const char* text) const;
    // How many of the four pool objects exist.
    int poolObjects() const;

private:
    std::string m_program;
    std::string m_dir;
    std::unique_ptr<QORTestIPCPath> m_path;
    pid_t m_child = -1;
};

// Sets the request's raw message from its method, URI and headers (and
// body), as an adapter hands it over.
void qor_authz_test_http_message(QORTestRequest& request, const std::string& body = "");
// "Basic " and the Base64 of "user:password".
std::string qor_authz_test_basic(const std::string& user, const std::string& password);

// A request whose raw message holds the body read so far, as a web
// server's does after the authorization server asked for the body.
class QORAuthzTestRequest : public QORTestRequest {
public:
    QORStatus getHTTPBuffer(QORBuffer* buffer) override;

private:
    std::string m_message;
};

// A test transaction on such a request.
class QORAuthzTestTransaction : public QORTestTransaction {
public:
    QORAuthzTestTransaction();
    QORAuthzTestRequest& req() { return m_req; }
    // What the test's last handleReq on it returned.
    QORStatus handled = qor_s_ok;

private:
    QORAuthzTestRequest m_req;
};
