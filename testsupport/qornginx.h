// qornginx.h: an nginx of the test's own for end-to-end tests: its prefix,
// configuration, pid file and logs in a directory under $DXQOR_TEST_TMPDIR,
// listening on free loopback ports, started in the foreground and stopped
// (with every process it made) by the object. Also a small HTTP/1.1 client
// for loopback requests, bounded in time.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>

struct QORTestHTTPResponse {
    int status = -1;            // -1: no response
    std::string head;           // status line and headers
    std::string body;
    // The first value of header name, or "" (case-insensitive name).
    std::string header(const std::string& name) const;
};

// A socket connected to 127.0.0.1:port, or -1.
int qor_test_connect(int port);
// A loopback port nobody listens on at the moment.
int qor_test_free_port();
// Sends request as it is to 127.0.0.1:port and reads the response until
// the server closes (send "Connection: close"), for at most timeoutMs.
QORTestHTTPResponse qor_test_http(int port, const std::string& request, int timeoutMs = 30000);
// A GET of target with Connection: close and the extra header lines given
// ("Name: value\r\n" each).
std::string qor_test_get(const std::string& target, const std::string& headers = "");

class QORTestNginx {
public:
    // modulePath: the dxqor module to load; ports: how many listening ports
    // to pick (their numbers replace "@PORT0@", "@PORT1@"... in the
    // configuration).
    QORTestNginx(const std::string& tag, const std::string& modulePath, int ports = 2);
    // Stops nginx and removes the directory.
    ~QORTestNginx();
    QORTestNginx(const QORTestNginx&) = delete;
    QORTestNginx& operator=(const QORTestNginx&) = delete;

    // Writes nginx.conf (main-context lines, then an http block holding
    // httpLines) and starts nginx with one worker; waits (at most 30 s) until
    // every port accepts connections. False, with the error log on standard
    // error, when it does not come up.
    bool start(const std::string& mainLines, const std::string& httpLines);
    // Fast shutdown, waited for (30 s, then the whole process group is
    // killed).
    void stop();

    // Environment entries ("NAME=value") for nginx only.
    void addEnvironment(const std::string& entry) { m_env.push_back(entry); }

    int port(int i = 0) const { return m_ports.at(static_cast<size_t>(i)); }
    const std::string& dir() const { return m_dir; }
    std::string errorLog() const;
    // Waits (at most timeoutMs) until the error log holds text.
    bool waitForLog(const std::string& text, int timeoutMs = 30000) const;

private:
    std::string m_dir;
    std::string m_module;
    std::vector<int> m_ports;
    std::vector<std::string> m_env;
    pid_t m_pid = -1;
};
