// qornginxecho.h: the echo page of the end-to-end site for web servers
// without CGI (nginx): a loopback HTTP server on a thread of the test that
// answers every request with the text the site's echo CGI prints
// ("method=", "query=", "user=", "spoof=", "body=" lines), one connection
// at a time, each closed after its response.
#pragma once
#include <atomic>
#include <thread>

class QORTestEchoServer {
public:
    QORTestEchoServer() = default;
    ~QORTestEchoServer();
    QORTestEchoServer(const QORTestEchoServer&) = delete;
    QORTestEchoServer& operator=(const QORTestEchoServer&) = delete;

    // Listens on a free loopback port; false when it cannot.
    bool start();
    void stop();
    int port() const { return m_port; }

private:
    void serve();

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
