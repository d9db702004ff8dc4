// qorredisserver.h: QORRedisServer, a real redis-server for tests, on a
// free loopback port, keeping nothing on disk (its directory is the
// test's), with a password when one is given. Stopped when the object
// goes; a restart keeps the port and loses the data.
#pragma once
#include <sys/types.h>
#include <memory>
#include <string>

class QORWebServer;

class QORRedisServer {
public:
    // dir: made by the caller, removed by the caller.
    explicit QORRedisServer(const std::string& dir, const std::string& password = "");
    ~QORRedisServer();
    QORRedisServer(const QORRedisServer&) = delete;
    QORRedisServer& operator=(const QORRedisServer&) = delete;

    // Waits until the port accepts connections.
    bool start();
    bool stop();
    int port() const { return m_port; }
    // The server's process; -1 when it is not running.
    pid_t pid() const;
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string log() const;

private:
    std::string m_dir;
    std::string m_password;
    int m_port = 0;
    std::unique_ptr<QORWebServer> m_server;
};
