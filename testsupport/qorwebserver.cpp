// qorwebserver.cpp: starting, watching and stopping a web server under test.
#include "qorwebserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void pause(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Reaps pid without blocking; true when it has ended.
bool reaped(pid_t pid)
{
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

} // namespace

int qor_free_loopback_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::string qor_fill_template(const std::string& text,
                              const std::map<std::string, std::string>& values)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t at = text.find('@', i);
        size_t end = at == std::string::npos ? at : text.find('@', at + 1);
        if (end == std::string::npos) {
            out.append(text, i, std::string::npos);
            break;
        }
        auto v = values.find(text.substr(at + 1, end - at - 1));
        if (v == values.end()) {
            out.append(text, i, end - i);
            i = end;
            continue;
        }
        out.append(text, i, at - i);
        out += v->second;
        i = end + 1;
    }
    return out;
}

bool qor_write_file(const std::string& path, const std::string& text, bool executable)
{
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        if (!f)
            return false;
        f << text;
        if (!f)
            return false;
    }
    return chmod(path.c_str(), executable ? 0755 : 0644) == 0;
}

std::string qor_read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {

char g_madeDir[32];

void removeMadeDir()
{
    rmdir(g_madeDir);
}

} // namespace

std::string qor_reachable_dir(const std::string& base)
{
    qor_make_dirs(base);
    char* real = realpath(base.c_str(), nullptr);
    std::string dir = real ? real : base;
    free(real);
    bool reachable = true;
    for (size_t i = 1; reachable && i < dir.size(); ++i) {
        if (dir[i] != '/')
            continue;
        struct stat st;
        reachable = stat(dir.substr(0, i).c_str(), &st) == 0 && (st.st_mode & S_IXOTH) != 0;
    }
    if (reachable) {
        chmod(dir.c_str(), 0711);
        return dir;
    }
    std::strcpy(g_madeDir, "/tmp/dxqor-e2e-XXXXXX");
    if (mkdtemp(g_madeDir) == nullptr)
        return dir;
    chmod(g_madeDir, 0711);
    setenv("DXQOR_TEST_TMPDIR", g_madeDir, 1);
    std::atexit(removeMadeDir);
    return g_madeDir;
}

bool qor_make_dirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

void qor_remove_tree(const std::string& path)
{
    if (path.size() < 5 || path == "/")
        return;
    pid_t pid = fork();
    if (pid == 0) {
        execlp("rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
}

QORWebServer::QORWebServer(std::vector<std::string> argv, int port, std::string logPath)
    : m_argv(std::move(argv))
    , m_port(port)
    , m_logPath(std::move(logPath))
{
}

QORWebServer::~QORWebServer()
{
    if (running())
        stop();
}

bool QORWebServer::accepting(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool QORWebServer::waitGroupGone(pid_t pgid, int timeoutMs)
{
    long long until = nowMs() + timeoutMs;
    while (kill(-pgid, 0) == 0) {
        if (nowMs() > until)
            return false;
        pause(20);
    }
    return true;
}

bool QORWebServer::start(int timeoutMs)
{
    if (running() || m_argv.empty())
        return false;
    std::vector<char*> args;
    for (auto& a : m_argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envText;
    // An entry given here replaces the inherited one of the same name.
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        size_t n = eq ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
        bool replaced = false;
        for (auto& mine : m_env)
            replaced = replaced || mine.compare(0, n, *e, n) == 0;
        if (!replaced)
            envText.push_back(*e);
    }
    for (auto& e : m_env)
        envText.push_back(e);
    std::vector<char*> env;
    for (auto& e : envText)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    if (!m_readyFile.empty())
        unlink(m_readyFile.c_str());
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        setpgid(0, 0);
        // A test killed before its teardown (a sanitizer's report, a crash)
        // takes its servers with it rather than leaving them on their ports.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        if (!m_logPath.empty()) {
            int fd = open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
    long long until = nowMs() + timeoutMs;
    while (!(accepting(m_port) && (m_readyFile.empty() || access(m_readyFile.c_str(), F_OK) == 0))) {
        if (reaped(m_pid) || nowMs() > until) {
            if (kill(m_pid, 0) == 0 || kill(-m_pid, 0) == 0)
                stop();
            m_pid = -1;
            return false;
        }
        pause(20);
    }
    return true;
}

bool QORWebServer::stop(int timeoutMs)
{
    if (!running())
        return true;
    pid_t pid = m_pid;
    m_pid = -1;
    kill(pid, SIGTERM);
    long long until = nowMs() + timeoutMs;
    bool clean = true;
    while (!reaped(pid)) {
        if (nowMs() > until) {
            kill(-pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            clean = false;
            break;
        }
        pause(20);
    }
    // Children the server left behind end with their group.
    if (!waitGroupGone(pid, timeoutMs)) {
        kill(-pid, SIGKILL);
        clean = false;
        waitGroupGone(pid, timeoutMs);
    }
    return clean;
}

std::string QORWebServer::log() const
{
    return m_logPath.empty() ? std::string() : qor_read_file(m_logPath);
}
