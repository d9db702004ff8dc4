// qortestauthserver.h: a test authorization server in a child process, for
// tests and benchmarks that run the plug-in core against a real channel. It
// is built on the server side of the worker pool and the server's message
// writers, and answers from a script that the test fills in before start():
// configuration questions (POST sizes, flags, cache settings, virtual hosts
// with permission maps), cache version questions (a database under a version
// whose counter the test can raise at any time) and web request questions.
//
// What the server saw is counted in a page shared with the test, which can
// also change a few answers while the server runs. Everything the server
// makes is removed by stop() and the destructor; the server processes die
// with the test and are killed by the IPC test watchdog (qoripctesting.h).
#pragma once
#include <sys/types.h>
#include <atomic>
#include <string>
#include <utility>
#include <vector>
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"

struct QORTestAuthVHost {
    std::string id;
    std::string branch;
    unsigned int flags = 0;          // qor_vhost_* bits
    std::string defaultPerms;         // action group list text
    std::vector<std::pair<std::string, std::string>> methods;  // method, text
};

struct QORTestAuthBranch {
    std::string name;
    // Object name and "*" (open to all) or an action group list text.
    std::vector<std::pair<std::string, std::string>> objects;
};

// A header command of a web transaction answer.
struct QORTestAuthHeader {
    bool response;   // response header, else request header
    bool add;        // add, else set
    std::string name;
    std::string value;
};

// One command of a web transaction answer: cmd is a
// QORWebTransAnswerBase::qor_proxy_rsp_cmds_e value. Header commands send
// name and value, removals the name, number commands (response code, body
// request) the number, body commands the value's bytes, the others the
// value. A value "$subject" is replaced by the client certificate's
// subject from the question.
struct QORTestAuthCommand {
    int cmd;
    std::string name;
    std::string value;
    int number = 0;
};

// A web answer chosen by the question: the first rule whose uriPrefix
// starts the question's URI (and whose messageHas, when not empty, is in
// the raw request, body included) answers instead of rspCode and headers.
// A response rule answers response questions whose raw response holds
// messageHas instead (uriPrefix is not used).
struct QORTestAuthRule {
    std::string uriPrefix;
    std::string messageHas;
    // The body is asked for first, unless the question says it was.
    bool askForBody = false;
    int rspCode = 1;
    std::vector<QORTestAuthCommand> commands;
    bool response = false;
};

struct QORTestAuthScript {
    std::vector<std::pair<std::string, int>> postURIs;
    std::vector<std::pair<std::string, unsigned int>> configFlags;
    bool urcEnabled = false;
    int urcPollInterval = 3600;
    std::vector<QORTestAuthVHost> vhosts;
    // The cache database; its version is the shared counter (urcCounter).
    std::vector<QORTestAuthBranch> branches;
    // From version counter newerFrom on (when positive), newerBranches are
    // the database instead.
    int newerFrom = 0;
    std::vector<QORTestAuthBranch> newerBranches;

    // Web request answers: the result code and the header commands.
    int rspCode = 1;
    std::vector<QORTestAuthHeader> headers;
    std::vector<QORTestAuthRule> rules;
};

// A script with the unprotected resource cache on, the protected host id
// (both schemes) whose objects are under branch, with the permission texts
// of its methods, and, when unprotectedID is given, an unprotected host.
// Web questions are let through (rspCode 1).
QORTestAuthScript qor_test_auth_script(
    const char* id, const char* branch,
    const std::vector<std::pair<std::string, std::string>>& methods,
    const char* unprotectedID = nullptr);

// Shared between the parent and the child.
struct QORTestAuthShared {
    // Questions seen, by message type (0 to 7), and configuration questions
    // by request type.
    std::atomic<int> questions[8];
    std::atomic<int> configQuestions[4];
    // Cache version answers that carried the database.
    std::atomic<int> databasesSent;
    // Counter of the server's cache version (the identifier is fixed).
    std::atomic<int> urcCounter;
    // Web answers carry the cache version when set.
    std::atomic<bool> sendURCVersion;
    // Every n-th web answer (n > 0) raises urcCounter first.
    std::atomic<int> bumpURCEvery;
    // Non-zero: web questions are answered with an error message carrying
    // this status.
    std::atomic<unsigned int> webErrorStatus;
    // Non-zero: web questions are answered with this message type and no
    // content (an unexpected answer).
    std::atomic<int> webAnswerType;
    // Web questions are held (not answered) while set.
    std::atomic<bool> holdWeb;
    // Web questions whose request did not say the body was requested are
    // answered with a request for the body.
    std::atomic<bool> askForBody;
    // Non-zero: configuration questions of type failConfigType are answered
    // with an error message carrying this status.
    std::atomic<unsigned int> failConfigStatus;
    std::atomic<int> failConfigType;
    // Non-zero: cache version questions are answered with this message type
    // and no content.
    std::atomic<int> urcAnswerType;
    // Non-zero: cache version questions are answered with an error message
    // carrying this status.
    std::atomic<unsigned int> urcErrorStatus;
    // Cache version questions are held (not answered) while set.
    std::atomic<bool> holdURC;
    // Set by the parent: the server resets every worker (the plug-in
    // threads waiting on them are told to send again) and clears it.
    std::atomic<bool> resetWorkers;
};

class QORTestAuthServer {
public:
    // name: the key path (a QORTestIPCPath, normally); when the file is
    // missing, it is made here and removed by the destructor.
    QORTestAuthServer(const std::string& name, const QORTestAuthScript& script,
                      int workers = 4, unsigned int bufferSize = 64 * 1024);
    // Stops the child and removes every object it made, and the key file.
    ~QORTestAuthServer();
    QORTestAuthServer(const QORTestAuthServer&) = delete;
    QORTestAuthServer& operator=(const QORTestAuthServer&) = delete;

    // Starts the server and waits (bounded) until its objects exist. The
    // script is read as it is at the first start: call that before the test
    // starts threads.
    QORStatus start();
    // Kills the child at once (SIGKILL), leaving its objects behind as a
    // crashed server does.
    void kill();
    // Kills the child and removes its objects.
    void stop();

    const char* name() const { return m_name.c_str(); }
    QORTestAuthScript& script() { return m_script; }
    QORTestAuthShared& shared() { return *m_shared; }
    // The server's current cache version.
    QOREpochVersion urcVersion() const;
    static QOREpochVersion versionWithCounter(int counter);
    bool running() const { return m_child > 0; }

    // Waits until the count reaches at least n; false after timeoutMs.
    static bool waitFor(const std::atomic<int>& count, int n, int timeoutMs = 10000);

private:
    QORStatus startSpawner();
    void spawn(int commandFd, int replyFd);
    QORStatus command(char what, pid_t* server);
    void serve(int readyFd);

    std::string m_name;
    QORTestAuthScript m_script;
    int m_workers;
    unsigned int m_bufferSize;
    pid_t m_child = -1;
    pid_t m_spawner = -1;
    int m_command = -1;
    int m_reply = -1;
    bool m_ownsKeyFile = false;
    QORTestAuthShared* m_shared;
};
