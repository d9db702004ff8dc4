// qorwebserver.h: a web server under test, for end-to-end tests and
// scripts that run a real server (Apache, nginx) in front of the plug-in.
// The server is one process tree started from a command line in its own
// directory, ready once its port accepts connections, stopped with SIGTERM
// (SIGKILL after a generous wait) and reaped. Configuration files are made
// from templates whose @NAME@ fields are filled in.
#pragma once
#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

// A TCP port on 127.0.0.1 that nothing listens on now (the kernel's
// choice); 0 when none could be had.
int qor_free_loopback_port();

// text with every "@NAME@" replaced by values["NAME"]; unknown fields are
// left as they are.
std::string qor_fill_template(const std::string& text,
                              const std::map<std::string, std::string>& values);

// Writes text to path (mode 0644, or 0755 when executable); false on error.
bool qor_write_file(const std::string& path, const std::string& text, bool executable = false);
// The whole file, or "" when it cannot be read.
std::string qor_read_file(const std::string& path);
// Where a test keeps what a web server's workers must read. Started as
// root, Apache and nginx run their workers as another user, who can only
// reach files below directories everyone may search: base itself (made
// searchable) when the directories above it allow that, else a new
// directory under /tmp, which then also becomes DXQOR_TEST_TMPDIR for the
// rest of the process (so that key paths made later land there too) and is
// removed at exit when empty.
std::string qor_reachable_dir(const std::string& base);
// mkdir -p, mode 0755.
bool qor_make_dirs(const std::string& path);
// rm -rf of a directory the test made.
void qor_remove_tree(const std::string& path);

class QORWebServer {
public:
    // argv: the program and its arguments; port: where it listens;
    // logPath: a file shown when the server does not come up.
    QORWebServer(std::vector<std::string> argv, int port, std::string logPath = "");
    // Stops the server when it still runs.
    virtual ~QORWebServer();
    QORWebServer(const QORWebServer&) = delete;
    QORWebServer& operator=(const QORWebServer&) = delete;

    // Starts the program (stdout and stderr to the log file) and waits up to
    // timeoutMs until 127.0.0.1:port accepts a connection. False when the
    // program ended or the time ran out; then it is stopped again. The
    // program gets SIGTERM when the thread that started it ends, so that a
    // test killed before its teardown leaves no server behind.
    bool start(int timeoutMs = 30000);
    // SIGTERM to the process group, then waits up to timeoutMs for the
    // program to end (SIGKILL to the group after that). True when it ended
    // on SIGTERM.
    bool stop(int timeoutMs = 30000);
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    int port() const { return m_port; }
    // The log file's text (for failure messages).
    std::string log() const;

    // A file the server writes once it is configured (its pid file): start
    // waits for it as well as for the port, since a server may listen
    // before its configuration has failed.
    void setReadyFile(const std::string& path) { m_readyFile = path; }
    // Environment entries ("NAME=value") for the program, replacing any it
    // would inherit under the same name.
    void addEnvironment(const std::string& entry) { m_env.push_back(entry); }

    // True when a connection to 127.0.0.1:port succeeds now.
    static bool accepting(int port);
    // Waits until no process of group pgid is left (kill(-pgid, 0) fails).
    static bool waitGroupGone(pid_t pgid, int timeoutMs);

private:
    std::vector<std::string> m_argv;
    std::vector<std::string> m_env;
    int m_port;
    std::string m_logPath;
    std::string m_readyFile;
    pid_t m_pid = -1;
};
