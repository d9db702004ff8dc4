// qorchannelprocess.h: child processes for tests of the channel between
// plug-in and server. qor_test_spawn runs a body in a child that ends itself
// after a bound; qor_test_reap waits for it with a cap; QORTestServerProcess
// is a server in a child process, answering with QORTestEchoHandler and
// obeying one-letter commands sent over a pipe.
#pragma once
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"
#include "qortestintmessages.h"

// Reads n bytes, waiting at most timeoutMs for each part (-1: no bound).
inline bool qor_test_read_full(int fd, void* buf, size_t n, int timeoutMs = 20000)
{
    char* p = static_cast<char*>(buf);
    while (n > 0) {
        pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t got = read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= (size_t)got;
    }
    return true;
}

inline bool qor_test_write_full(int fd, const void* buf, size_t n)
{
    return write(fd, buf, n) == (ssize_t)n;
}

// Runs body in a child process that ends with its result; the child kills
// itself (SIGALRM) after 90 seconds. The watchdog knows the child.
inline pid_t qor_test_spawn(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGALRM, SIG_DFL);
        alarm(90);
        _exit(body());
    }
    if (pid > 0)
        qor_test_register_child(pid);
    return pid;
}

// The child's exit status, 128 + signal when it was killed, or -1 when it
// did not end within timeoutMs (it is killed then).
inline int qor_test_reap(pid_t pid, int timeoutMs = 20000)
{
    int status = 0;
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            qor_test_unregister_child(pid);
            return -1;
        }
        usleep(10000);
    }
    qor_test_unregister_child(pid);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// A server process. call() sends a command and returns the server's reply:
// 'r' reset, 'c' clean, 'f' free, 'a' answers of a worker, 's' state of a
// worker, 'R' reclaim workers, 'h' whether the handler holds a question,
// 'e' release it, 'q' shut down and end.
class QORTestServerProcess {
public:
    static const unsigned kBufferSize = 1024;

    ~QORTestServerProcess() { stop(); }

    bool start(const char* path, int workers,
               unsigned reclaimMs = QORSrvWorkerPool::kReclaimMs)
    {
        int cmd[2], reply[2];
        if (pipe(cmd) != 0 || pipe(reply) != 0)
            return false;
        std::string name = path;
        m_pid = qor_test_spawn([=] {
            close(cmd[1]);
            close(reply[0]);
            return serve(name.c_str(), workers, reclaimMs, cmd[0], reply[1]);
        });
        close(cmd[0]);
        close(reply[1]);
        m_cmd = cmd[1];
        m_reply = reply[0];
        int32_t ready = 0;
        return m_pid > 0 && qor_test_read_full(m_reply, &ready, 4, 20000) && ready == 1;
    }
    int32_t call(char op, int32_t arg = 0)
    {
        Command c = {op, arg};
        int32_t r = -999;
        if (!qor_test_write_full(m_cmd, &c, sizeof c) ||
            !qor_test_read_full(m_reply, &r, 4, 20000))
            return -999;
        return r;
    }
    // Ends the server as a crash would: nothing is removed.
    void kill9()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            qor_test_reap(m_pid);
            m_pid = -1;
        }
        closeFds();
    }
    // An orderly end; the exit status of the server.
    int stop()
    {
        int rc = 0;
        if (m_pid > 0) {
            call('q');
            rc = qor_test_reap(m_pid);
            m_pid = -1;
        }
        closeFds();
        return rc;
    }

private:
    struct Command {
        char op;
        int32_t arg;
    };

    static int serve(const char* path, int workers, unsigned reclaimMs, int cmd, int reply)
    {
        QORTestEchoHandler handler;
        QORSrvWorkerPool pool;
        pool.setReclaimInterval(reclaimMs);
        if (pool.start(path, workers, kBufferSize, &handler) != qor_s_ok)
            return 2;
        int32_t ready = 1;
        qor_test_write_full(reply, &ready, 4);
        Command c;
        while (qor_test_read_full(cmd, &c, sizeof c, -1)) {
            int32_t r = 0;
            switch (c.op) {
            case 'r': r = (int32_t)pool.resetWorker(c.arg); break;
            case 'c': r = (int32_t)pool.cleanWorker(c.arg); break;
            case 'f': r = (int32_t)pool.freeWorker(c.arg); break;
            case 'a': r = (int32_t)pool.answered(c.arg); break;
            case 's': r = pool.getState(c.arg); break;
            case 'R': r = pool.reclaimWorkers(); break;
            case 'h': r = handler.held ? 1 : 0; break;
            case 'e': handler.release = true; break;
            case 'q':
                handler.release = true;
                r = (int32_t)pool.shutdown();
                qor_test_write_full(reply, &r, 4);
                return r == 0 ? 0 : 3;
            default: r = -1;
            }
            qor_test_write_full(reply, &r, 4);
        }
        handler.release = true;
        return pool.shutdown() == qor_s_ok ? 0 : 3;
    }
    void closeFds()
    {
        if (m_cmd >= 0)
            close(m_cmd);
        if (m_reply >= 0)
            close(m_reply);
        m_cmd = m_reply = -1;
    }

    pid_t m_pid = -1;
    int m_cmd = -1;
    int m_reply = -1;
};
