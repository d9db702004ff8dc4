// qorauthztestserver.cpp: running dxqor-authzd for a test.
#include "qorauthztestserver.h"
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include "core/sundry/qorbase64.h"
#include "qoripctesting.h"
#include "qortesttransaction.h"

#if defined(__SANITIZE_THREAD__)
#include <sys/sem.h>
// Links the race detector's view of semaphores (qortsansem.cpp) into every
// program that talks to the server through a plug-in core.
extern "C" int (*const qor_authz_test_ordered_semop)(int, struct sembuf*, size_t) = &semop;
#endif

namespace {

const int kWaitMs = 30000;

int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

QORAuthzTestServer::QORAuthzTestServer(const char* program, const char* tag)
    : m_program(program)
    , m_path(new QORTestIPCPath(tag))
{
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    m_dir = std::string(base && *base ? base : "/tmp") + "/authz-" + tag + "-" +
            std::to_string(getpid());
    mkdir(m_dir.c_str(), 0700);
}

QORAuthzTestServer::~QORAuthzTestServer()
{
    if (m_child > 0)
        stop();
    m_path.reset();
    // Everything the server made there goes too (its audit trail, output).
    if (DIR* d = opendir(m_dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink((m_dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(m_dir.c_str());
}

void QORAuthzTestServer::write(const std::string& name, const std::string& text)
{
    // Written aside and renamed, so that a reading server never sees half.
    std::string path = m_dir + "/" + name;
    std::ofstream(path + ".new") << text;
    rename((path + ".new").c_str(), path.c_str());
}

void QORAuthzTestServer::writePolicy(const std::string& serverEntries, const std::string& body)
{
    write("policy.conf", "[server]\nserver-id = " + std::string(m_path->c_str()) +
                             "\nusers-file = users\ngroups-file = groups\n"
                             "route = NOTICE:STDERR:\nroute = WARNING:STDERR:\n"
                             "route = ERROR:STDERR:\n" +
                             serverEntries + "\n" + body);
}

QORStatus QORAuthzTestServer::start()
{
    if (m_child > 0)
        return qor_s_invalid_argument;
    int before = count("serving");
    std::string policy = m_dir + "/policy.conf";
    std::string output = m_dir + "/output";
    pid_t child = fork();
    if (child < 0)
        return qor_s_system_call_failed;
    if (child == 0) {
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(m_program.c_str(), m_program.c_str(), "--config", policy.c_str(), "--foreground",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    m_child = child;
    qor_test_register_child(child);
    for (int64_t end = nowMs() + kWaitMs; nowMs() < end; usleep(5000)) {
        if (count("serving") > before)
            return qor_s_ok;
        if (waitpid(child, nullptr, WNOHANG) == child) {
            qor_test_unregister_child(child);
            m_child = -1;
            return qor_s_not_available;
        }
    }
    return qor_s_timed_out;
}

bool QORAuthzTestServer::reload()
{
    int done = count("policy reloaded");
    int refused = count("reload refused");
    if (m_child <= 0 || ::kill(m_child, SIGHUP) != 0)
        return false;
    for (int64_t end = nowMs() + kWaitMs; nowMs() < end; usleep(5000)) {
        if (count("policy reloaded") > done)
            return true;
        if (count("reload refused") > refused)
            return false;
    }
    return false;
}

void QORAuthzTestServer::kill()
{
    if (m_child <= 0)
        return;
    ::kill(m_child, SIGKILL);
    waitpid(m_child, nullptr, 0);
    qor_test_unregister_child(m_child);
    m_child = -1;
}

int QORAuthzTestServer::stop()
{
    if (m_child <= 0)
        return -1;
    ::kill(m_child, SIGTERM);
    int status = 0;
    pid_t got = 0;
    for (int64_t end = nowMs() + kWaitMs; got == 0 && nowMs() < end; usleep(5000))
        got = waitpid(m_child, &status, WNOHANG);
    if (got != m_child) {
        ::kill(m_child, SIGKILL);
        waitpid(m_child, nullptr, 0);
        status = -1;
    }
    qor_test_unregister_child(m_child);
    m_child = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* QORAuthzTestServer::serverID() const
{
    return m_path->c_str();
}

std::string QORAuthzTestServer::output() const
{
    std::ifstream in(m_dir + "/output");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int QORAuthzTestServer::count(const char* text) const
{
    std::istringstream in(output());
    int n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(text) != std::string::npos;
    return n;
}

int QORAuthzTestServer::poolObjects() const
{
    return m_path->countPoolObjects();
}

void qor_authz_test_http_message(QORTestRequest& r, const std::string& body)
{
    std::string m = r.method + " " + r.uri + (r.hasQuery ? "?" + r.query : "") + " " + r.version +
                    "\r\n";
    for (int i = 0; i < r.headers.size(); i++)
        m += r.headers[i].name + ": " + r.headers[i].value + "\r\n";
    r.httpBuffer = m + "\r\n" + body;
}

std::string qor_authz_test_basic(const std::string& user, const std::string& password)
{
    std::string plain = user + ":" + password;
    std::string out(static_cast<size_t>(qor_base64_encoded_length(static_cast<int>(plain.size()))) + 1, '\0');
    int n = 0;
    if (qor_base64_encode(reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()), &out[0], static_cast<int>(out.size()),
                          &n, qor_base64_standard) != qor_s_ok)
        n = 0; // the room is computed above: never
    out.resize(static_cast<size_t>(n));
    return "Basic " + out;
}

QORStatus QORAuthzTestRequest::getHTTPBuffer(QORBuffer* buffer)
{
    m_message = httpBuffer + postData;
    buffer->set(reinterpret_cast<const unsigned char*>(m_message.data()),
                static_cast<int>(m_message.size()));
    return qor_s_ok;
}

QORAuthzTestTransaction::QORAuthzTestTransaction()
{
    m_req.attach(&calls());
    m_request = &m_req;
}
