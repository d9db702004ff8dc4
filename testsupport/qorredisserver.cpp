// qorredisserver.cpp: the redis-server of the tests.
#include "qorredisserver.h"
#include <vector>
#include "qorwebserver.h"

QORRedisServer::QORRedisServer(const std::string& dir, const std::string& password)
    : m_dir(dir)
    , m_password(password)
{
}

QORRedisServer::~QORRedisServer()
{
    if (m_server)
        (void)stop();
}

bool QORRedisServer::start()
{
    if (m_port == 0)
        m_port = qor_free_loopback_port();
    if (m_port == 0)
        return false;
    std::vector<std::string> argv = {"/usr/bin/redis-server", "--port", std::to_string(m_port),
                                     "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                                     "--dir", m_dir};
    if (!m_password.empty())
        argv.insert(argv.end(), {"--requirepass", m_password});
    m_server.reset(new QORWebServer(argv, m_port, m_dir + "/redis.log"));
    return m_server->start();
}

bool QORRedisServer::stop()
{
    bool stopped = m_server && m_server->stop();
    m_server.reset();
    return stopped;
}

pid_t QORRedisServer::pid() const
{
    return m_server ? m_server->pid() : -1;
}

std::string QORRedisServer::log() const
{
    return qor_read_file(m_dir + "/redis.log");
}
