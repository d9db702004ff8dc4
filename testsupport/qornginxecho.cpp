#include "qornginxecho.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The value of header name in head ("" when absent).
std::string headerValue(const std::string& head, const char* name)
{
    size_t len = strlen(name);
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        size_t line = at + 2;
        if (head.compare(line, len, name) == 0 || strncasecmp(head.c_str() + line, name, len) == 0) {
            if (head.size() > line + len && head[line + len] == ':') {
                size_t v = head.find_first_not_of(' ', line + len + 1);
                size_t end = head.find("\r\n", line);
                return v == std::string::npos || v > end ? "" : head.substr(v, end - v);
            }
        }
    }
    return "";
}

// Reads one request with a deadline of 30 s; false when it does not come.
bool readRequest(int fd, std::string* head, std::string* body)
{
    std::string all;
    size_t end = std::string::npos;
    size_t want = 0;
    for (int rounds = 0; rounds < 3000; rounds++) {
        if (end == std::string::npos && (end = all.find("\r\n\r\n")) != std::string::npos) {
            *head = all.substr(0, end + 2);
            want = end + 4 + static_cast<size_t>(atol(headerValue(*head, "Content-Length").c_str()));
        }
        if (end != std::string::npos && all.size() >= want) {
            *body = all.substr(end + 4, want - end - 4);
            return true;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10) < 0)
            return false;
        if (p.revents == 0)
            continue;
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        all.append(buf, static_cast<size_t>(n));
    }
    return false;
}

void answer(int fd)
{
    std::string head, body;
    if (!readRequest(fd, &head, &body))
        return;
    size_t sp = head.find(' ');
    size_t sp2 = head.find(' ', sp + 1);
    std::string method = head.substr(0, sp);
    std::string target = head.substr(sp + 1, sp2 - sp - 1);
    size_t q = target.find('?');
    std::string text = "method=" + method + "\nquery="
                       + (q == std::string::npos ? "" : target.substr(q + 1)) + "\nuser="
                       + headerValue(head, "X-Dxqor-User") + "\nspoof="
                       + headerValue(head, "X-Spoofed") + "\nbody=" + body + "\n";
    std::string rsp = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                      + std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
    size_t sent = 0;
    while (sent < rsp.size()) {
        ssize_t n = send(fd, rsp.data() + sent, rsp.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
}

} // namespace

QORTestEchoServer::~QORTestEchoServer()
{
    stop();
}

bool QORTestEchoServer::start()
{
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || listen(m_listen, 64) != 0
        || getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        stop();
        return false;
    }
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void QORTestEchoServer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0)
        close(m_listen);
    m_listen = -1;
}

void QORTestEchoServer::serve()
{
    // The stop flag is looked at between waits of at most 50 ms.
    while (!m_stop) {
        pollfd p = {m_listen, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        answer(fd);
        close(fd);
    }
}
