#include "qornginx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "qoripctesting.h"

namespace {

const char* const kNginx = "/usr/sbin/nginx";

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string replacePorts(std::string text, const std::vector<int>& ports)
{
    for (size_t i = 0; i < ports.size(); i++) {
        std::string key = "@PORT" + std::to_string(i) + "@";
        for (size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), std::to_string(ports[i]));
    }
    return text;
}

void removeTree(const std::string& dir)
{
    // Only our own directory under the test area, made by the constructor.
    std::string command = "rm -rf '" + dir + "'";
    int ignored = system(command.c_str());
    (void)ignored;
}

} // namespace

std::string QORTestHTTPResponse::header(const std::string& name) const
{
    std::istringstream lines(head);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(':');
        if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
            size_t v = line.find_first_not_of(' ', colon + 1);
            return v == std::string::npos ? "" : line.substr(v);
        }
    }
    return "";
}

int qor_test_connect(int port)
{
    return connectLoopback(port);
}

int qor_test_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

QORTestHTTPResponse qor_test_http(int port, const std::string& request, int timeoutMs)
{
    QORTestHTTPResponse rsp;
    int fd = connectLoopback(port);
    if (fd < 0)
        return rsp;
    long long deadline = nowMs() + timeoutMs;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string all;
    for (;;) {
        long long left = deadline - nowMs();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[16384];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t end = all.find("\r\n\r\n");
    if (all.compare(0, 9, "HTTP/1.1 ") != 0 && all.compare(0, 9, "HTTP/1.0 ") != 0)
        return rsp;
    rsp.status = atoi(all.c_str() + 9);
    rsp.head = all.substr(0, end);
    rsp.body = end == std::string::npos ? "" : all.substr(end + 4);
    return rsp;
}

std::string qor_test_get(const std::string& target, const std::string& headers)
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers
           + "Connection: close\r\n\r\n";
}

QORTestNginx::QORTestNginx(const std::string& tag, const std::string& modulePath, int ports)
    : m_module(modulePath)
{
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    std::string root = base && *base ? base : "/tmp";
    mkdir(root.c_str(), 0700);
    m_dir = root + "/nginx-" + tag + "-" + std::to_string(getpid());
    mkdir(m_dir.c_str(), 0700);
    mkdir((m_dir + "/logs").c_str(), 0700);
    mkdir((m_dir + "/html").c_str(), 0700);
    for (int i = 0; i < ports; i++)
        m_ports.push_back(qor_test_free_port());
}

QORTestNginx::~QORTestNginx()
{
    stop();
    removeTree(m_dir);
}

bool QORTestNginx::start(const std::string& mainLines, const std::string& httpLines)
{
    std::ofstream conf(m_dir + "/nginx.conf");
    conf << "load_module " << m_module << ";\n"
         << "worker_processes 1;\n"
         // As root, nginx would run its worker as nobody, who may not use
         // the test's IPC objects and files.
         << (geteuid() == 0 ? "user root;\n" : "")
         << "error_log " << m_dir << "/logs/error.log info;\n"
         << "pid " << m_dir << "/logs/nginx.pid;\n"
         << replacePorts(mainLines, m_ports) << "\n"
         << "events { worker_connections 512; }\n"
         << "http {\n"
         << "  access_log " << m_dir << "/logs/access.log;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "  " << temp << "_temp_path " << m_dir << "/" << temp << ";\n";
    conf << replacePorts(httpLines, m_ports) << "\n}\n";
    conf.close();

    m_pid = fork();
    if (m_pid == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        for (const std::string& e : m_env)
            putenv(const_cast<char*>(e.c_str()));
        execl(kNginx, "nginx", "-p", m_dir.c_str(), "-c", (m_dir + "/nginx.conf").c_str(), "-g",
              "daemon off;", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid < 0)
        return false;
    qor_test_register_child(m_pid);
    long long deadline = nowMs() + 30000;
    size_t up = 0;
    while (up < m_ports.size() && nowMs() < deadline) {
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            qor_test_unregister_child(m_pid);
            m_pid = -1;
            break;
        }
        int fd = connectLoopback(m_ports[up]);
        if (fd >= 0) {
            close(fd);
            up++;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (up == m_ports.size())
        return true;
    fprintf(stderr, "nginx did not start:\n%s\n", errorLog().c_str());
    stop();
    return false;
}

void QORTestNginx::stop()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    // Seen exited but not reaped, the master keeps its process group's
    // number reserved while any straggler of the group is killed.
    long long deadline = nowMs() + 30000;
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
            && info.si_pid == m_pid)
            break;
        if (nowMs() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-m_pid, SIGKILL);
    int status;
    waitpid(m_pid, &status, 0);
    qor_test_unregister_child(m_pid);
    m_pid = -1;
}

std::string QORTestNginx::errorLog() const
{
    std::ifstream in(m_dir + "/logs/error.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool QORTestNginx::waitForLog(const std::string& text, int timeoutMs) const
{
    long long deadline = nowMs() + timeoutMs;
    while (errorLog().find(text) == std::string::npos) {
        if (nowMs() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
