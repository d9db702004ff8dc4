// qortestauthserver.cpp: the child process, its question handler and the
// parent's control of it.
#include "qortestauthserver.h"
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cstring>
#include <new>
#include "core/buffers/qorbuffer.h"
#include "msg/core/qorconfigquestion.h"
#include "msg/core/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/core/qorwebreqsslsessquestion.h"
#include "msg/core/qorwebrspquestion.h"
#include "msg/core/qorwebtransanswerbase.h"
#include "msg/server/qorconfiganswerwriter.h"
#include "msg/server/qorconfigquestionreader.h"
#include "msg/server/qorurcversionanswerwriter.h"
#include "msg/server/qorwebquestionhandler.h"
#include "msg/server/qorwebreqquestionreader.h"
#include "msg/server/qorwebtransanswerwriter.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorworkerpool.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"

#if defined(__SANITIZE_THREAD__)
#include <sys/sem.h>
// Links the race detector's view of semaphores (qortsansem.cpp) into every
// program that runs a test server.
extern "C" int (*const qor_test_ordered_semop)(int, struct sembuf*, size_t) = &semop;
#endif

QORTestAuthScript qor_test_auth_script(
    const char* id, const char* branch,
    const std::vector<std::pair<std::string, std::string>>& methods,
    const char* unprotectedID)
{
    QORTestAuthScript s;
    s.urcEnabled = true;
    QORTestAuthVHost host;
    host.id = id;
    host.branch = branch;
    host.flags = qor_vhost_secure | qor_vhost_unsecure;
    host.methods = methods;
    s.vhosts.push_back(host);
    if (unprotectedID != nullptr) {
        QORTestAuthVHost open;
        open.id = unprotectedID;
        open.flags = qor_vhost_secure | qor_vhost_unsecure | qor_vhost_unprotected;
        s.vhosts.push_back(open);
    }
    return s;
}

namespace {

typedef QORWebTransAnswerBase Answer;

QORStringRef ref(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

// One element holding one item.
QORStatus putElement(QORSharedMemAllocator& out, const QORProxyIFMsgData& item)
{
    void* data = nullptr;
    int size = item.marshal(nullptr, 0);
    QORStatus st = out.allocate(static_cast<unsigned int>(size), &data);
    if (st == qor_s_ok)
        item.marshal(static_cast<unsigned char*>(data), size);
    return st;
}

// Answers from the script, with the parent's knobs in the shared page
// checked first.
class Handler : public QORWebQuestionHandler {
public:
    Handler(const QORTestAuthScript& script, QORTestAuthShared& shared)
        : m_script(script)
        , m_shared(shared)
    {
    }

    QORStatus handle(int type, QORSharedMemIterator& question, QORSharedMemAllocator& answer,
                     int* answerType) override
    {
        if (type >= 0 && type < 8)
            m_shared.questions[type]++;
        bool web = type == qor_msg_web_req_question || type == qor_msg_web_rsp_question;
        if (web) {
            for (int i = 0; m_shared.holdWeb && i < 3000; i++)
                usleep(10000);
            if (m_shared.webErrorStatus != 0)
                return error(m_shared.webErrorStatus, answer, answerType);
            if (m_shared.webAnswerType != 0)
                return unexpected(m_shared.webAnswerType, answer, answerType);
        }
        if (type == qor_msg_urc_version_question) {
            for (int i = 0; m_shared.holdURC && i < 3000; i++)
                usleep(10000);
            if (m_shared.urcErrorStatus != 0)
                return error(m_shared.urcErrorStatus, answer, answerType);
            if (m_shared.urcAnswerType != 0)
                return unexpected(m_shared.urcAnswerType, answer, answerType);
        }
        return QORWebQuestionHandler::handle(type, question, answer, answerType);
    }

protected:
    QORStatus answerWebRequest(const QORWebReqQuestionReader& question,
                               QORWebTransAnswerWriter& answer) override
    {
        QORStatus st = answer.begin(m_script.rspCode);
        if (st != qor_s_ok)
            return st;
        if (m_shared.askForBody
            && (question.getFlags() & QORWebReqQuestionBase::kBodyRequested) == 0) {
            st = answer.addInt(Answer::qor_req_get_body, 0);
            return st == qor_s_ok ? urcVersion(answer, qor_msg_web_req_question) : st;
        }
        if (const QORTestAuthRule* rule = findRule(question))
            return ruleAnswer(*rule, question, answer);
        return commands(answer, qor_msg_web_req_question);
    }

    QORStatus answerWebResponse(const QORWebRspQuestion& question,
                                QORWebTransAnswerWriter& answer) override
    {
        QORStatus st = answer.begin(m_script.rspCode);
        QORBuffer http;
        std::string raw;
        if (question.getHTTPBuffer(&http) == qor_s_ok)
            raw.assign(reinterpret_cast<const char*>(http.getData()),
                       static_cast<size_t>(http.getLen()));
        for (auto& r : m_script.rules)
            if (st == qor_s_ok && r.response && raw.find(r.messageHas) != std::string::npos) {
                st = answer.setRspCode(r.rspCode);
                return st == qor_s_ok ? ruleCommands(r, QORStringRef(""), answer,
                                                     qor_msg_web_rsp_question)
                                      : st;
            }
        return st == qor_s_ok ? commands(answer, qor_msg_web_rsp_question) : st;
    }

    QORStatus answerURCVersion(const QOREpochVersion& held,
                               QORURCVersionAnswerWriter& answer) override
    {
        QOREpochVersion current = QORTestAuthServer::versionWithCounter(m_shared.urcCounter);
        QORStatus st = answer.begin(current);
        // An up-to-date plug-in gets the version alone.
        if (st != qor_s_ok || held == current)
            return st;
        m_shared.databasesSent++;
        bool newer = m_script.newerFrom > 0 && current.m_counter >= m_script.newerFrom;
        for (auto& b : newer ? m_script.newerBranches : m_script.branches) {
            st = answer.beginBranch(ref(b.name), static_cast<int>(b.objects.size()));
            for (auto& o : b.objects)
                if (st == qor_s_ok)
                    st = answer.addEntry(ref(o.first), ref(o.second));
            if (st != qor_s_ok)
                return st;
        }
        return qor_s_ok;
    }

    QORStatus handleOther(int type, QORSharedMemIterator& question, QORSharedMemAllocator& answer,
                          int* answerType) override
    {
        if (type == qor_msg_config_question)
            return config(question, answer, answerType);
        return qor_s_not_supported;
    }

private:
    const QORTestAuthRule* findRule(const QORWebReqQuestionReader& question) const
    {
        QORStringRef uri;
        if (m_script.rules.empty() || question.getURI(&uri) != qor_s_ok)
            return nullptr;
        std::string path(uri.data(), static_cast<size_t>(uri.length()));
        QORBuffer message;
        std::string raw;
        if (question.getHTTPMessage(&message) == qor_s_ok)
            raw.assign(reinterpret_cast<const char*>(message.getData()),
                       static_cast<size_t>(message.getLen()));
        for (auto& r : m_script.rules)
            if (!r.response && path.compare(0, r.uriPrefix.size(), r.uriPrefix) == 0
                && (r.messageHas.empty() || raw.find(r.messageHas) != std::string::npos))
                return &r;
        return nullptr;
    }

    QORStatus ruleAnswer(const QORTestAuthRule& rule, const QORWebReqQuestionReader& question,
                         QORWebTransAnswerWriter& answer)
    {
        QORStatus st = answer.setRspCode(rule.rspCode);
        if (st == qor_s_ok && rule.askForBody
            && (question.getFlags() & QORWebReqQuestionBase::kBodyRequested) == 0) {
            st = answer.setRspCode(m_script.rspCode);
            if (st == qor_s_ok)
                st = answer.addInt(Answer::qor_req_get_body, 0);
            return st == qor_s_ok ? urcVersion(answer, qor_msg_web_req_question) : st;
        }
        QORStringRef subject;
        const QORWebReqSSLSessQuestion* ssl = question.getSSLSession();
        if (ssl == nullptr || ssl->getClientCert()->getSubjectDN(&subject) != qor_s_ok)
            subject.set("");
        return st == qor_s_ok ? ruleCommands(rule, subject, answer, qor_msg_web_req_question) : st;
    }

    QORStatus ruleCommands(const QORTestAuthRule& rule, const QORStringRef& subject,
                           QORWebTransAnswerWriter& answer, int type)
    {
        QORStatus st = qor_s_ok;
        for (auto& c : rule.commands) {
            if (st != qor_s_ok)
                break;
            auto cmd = static_cast<Answer::qor_proxy_rsp_cmds_e>(c.cmd);
            QORStringRef value = c.value == "$subject" ? subject : ref(c.value);
            switch (cmd) {
            case Answer::qor_req_add_header:
            case Answer::qor_req_set_header:
            case Answer::qor_rsp_add_header:
            case Answer::qor_rsp_set_header:
                st = answer.addNameValue(cmd, ref(c.name), value);
                break;
            case Answer::qor_req_remove_header:
            case Answer::qor_rsp_remove_header:
                st = answer.addString(cmd, ref(c.name));
                break;
            case Answer::qor_rsp_set_response_code:
            case Answer::qor_rsp_set_response_sub_code:
            case Answer::qor_req_get_body:
                st = answer.addInt(cmd, c.number);
                break;
            case Answer::qor_req_set_body:
            case Answer::qor_rsp_set_body:
                st = answer.addBuffer(cmd, QORBuffer(value.data(), value.length()));
                break;
            default:
                st = answer.addString(cmd, value);
                break;
            }
        }
        return st == qor_s_ok ? urcVersion(answer, type) : st;
    }

    QORStatus error(QORStatus status, QORSharedMemAllocator& answer, int* answerType)
    {
        *answerType = qor_msg_error;
        return putElement(answer, QORProxyIFMsgInt(static_cast<int>(status)));
    }

    QORStatus unexpected(int type, QORSharedMemAllocator& answer, int* answerType)
    {
        *answerType = type;
        return putElement(answer, QORProxyIFMsgInt(0));
    }

    QORStatus commands(QORWebTransAnswerWriter& answer, int type)
    {
        QORStatus st = qor_s_ok;
        for (auto& h : m_script.headers) {
            Answer::qor_proxy_rsp_cmds_e cmd =
                h.response ? (h.add ? Answer::qor_rsp_add_header : Answer::qor_rsp_set_header)
                           : (h.add ? Answer::qor_req_add_header : Answer::qor_req_set_header);
            if (st == qor_s_ok)
                st = answer.addNameValue(cmd, ref(h.name), ref(h.value));
        }
        return st == qor_s_ok ? urcVersion(answer, type) : st;
    }

    // Moves the version on every bumpURCEvery-th answer, and names it when
    // asked to.
    QORStatus urcVersion(QORWebTransAnswerWriter& answer, int type)
    {
        int every = m_shared.bumpURCEvery;
        if (every > 0 && m_shared.questions[type] % every == 0)
            m_shared.urcCounter++;
        if (!m_shared.sendURCVersion)
            return qor_s_ok;
        return answer.addURCVersion(QORTestAuthServer::versionWithCounter(m_shared.urcCounter));
    }

    QORStatus config(QORSharedMemIterator& question, QORSharedMemAllocator& answer,
                     int* answerType)
    {
        QORConfigQuestion::qor_config_req_msg_type_e type;
        QORStatus st = QORConfigQuestionReader::read(question, &type);
        if (st != qor_s_ok)
            return st;
        m_shared.configQuestions[type]++;
        if (m_shared.failConfigStatus != 0 && m_shared.failConfigType == type)
            return error(m_shared.failConfigStatus, answer, answerType);

        *answerType = qor_msg_config_answer;
        QORConfigAnswerWriter writer(answer);
        st = writer.begin();
        switch (type) {
        case QORConfigQuestion::QOR_CONFIG_REQ_POST_URIS:
            for (auto& p : m_script.postURIs)
                if (st == qor_s_ok)
                    st = writer.addPostURI(ref(p.first), p.second);
            break;
        case QORConfigQuestion::QOR_CONFIG_REQ_FLAGS:
            for (auto& f : m_script.configFlags)
                if (st == qor_s_ok)
                    st = writer.addConfigFlag(ref(f.first), f.second);
            break;
        case QORConfigQuestion::QOR_CONFIG_REQ_URC:
            if (st == qor_s_ok)
                st = writer.addURCConfig(m_script.urcEnabled, m_script.urcPollInterval);
            break;
        case QORConfigQuestion::QOR_CONFIG_REQ_VHOSTS:
            if (st == qor_s_ok)
                st = writer.beginVHostList(static_cast<int>(m_script.vhosts.size()));
            for (auto& h : m_script.vhosts) {
                std::vector<QORConfigPermEntry> methods;
                for (auto& m : h.methods)
                    methods.push_back({ref(m.first), ref(m.second)});
                if (st == qor_s_ok)
                    st = writer.addVHost(ref(h.id), ref(h.branch), h.flags, ref(h.defaultPerms),
                                         methods.data(), static_cast<int>(methods.size()));
            }
            break;
        }
        return st;
    }

    const QORTestAuthScript& m_script;
    QORTestAuthShared& m_shared;
};

int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

QORTestAuthServer::QORTestAuthServer(const std::string& name, const QORTestAuthScript& script,
                                     int workers, unsigned int bufferSize)
    : m_name(name)
    , m_script(script)
    , m_workers(workers)
    , m_bufferSize(bufferSize)
{
    int fd = open(m_name.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    m_ownsKeyFile = fd >= 0;
    if (fd >= 0)
        close(fd);
    void* page = mmap(nullptr, sizeof(QORTestAuthShared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    m_shared = new (page) QORTestAuthShared();
    for (auto& q : m_shared->questions)
        q = 0;
    for (auto& q : m_shared->configQuestions)
        q = 0;
    m_shared->databasesSent = 0;
    m_shared->urcCounter = 1;
    m_shared->sendURCVersion = false;
    m_shared->bumpURCEvery = 0;
    m_shared->webErrorStatus = 0;
    m_shared->webAnswerType = 0;
    m_shared->holdWeb = false;
    m_shared->askForBody = false;
    m_shared->failConfigStatus = 0;
    m_shared->failConfigType = -1;
    m_shared->urcAnswerType = 0;
    m_shared->urcErrorStatus = 0;
    m_shared->holdURC = false;
    m_shared->resetWorkers = false;
}

QORTestAuthServer::~QORTestAuthServer()
{
    stop();
    if (m_spawner > 0) {
        char quit = 'Q';
        if (write(m_command, &quit, 1) != 1)
            ::kill(m_spawner, SIGKILL);
        waitpid(m_spawner, nullptr, 0);
        qor_test_unregister_child(m_spawner);
        close(m_command);
        close(m_reply);
    }
    m_shared->~QORTestAuthShared();
    munmap(m_shared, sizeof(QORTestAuthShared));
    if (m_ownsKeyFile)
        unlink(m_name.c_str());
}

QOREpochVersion QORTestAuthServer::versionWithCounter(int counter)
{
    QOREpochVersion v;
    for (int i = 0; i < 16; i++)
        v.m_identifier[i] = static_cast<uint8_t>(0xa0 + i);
    v.m_counter = counter;
    return v;
}

QOREpochVersion QORTestAuthServer::urcVersion() const
{
    return versionWithCounter(m_shared->urcCounter);
}

namespace {

// What the spawner sends back for a command.
struct Reply {
    QORStatus status;
    pid_t server;
};

bool readWithin(int fd, void* data, size_t size, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && read(fd, data, size) == static_cast<ssize_t>(size);
}

} // namespace

// Servers are forked by a spawner process, itself forked by the first start
// while the test has no other thread yet: forking a process whose threads
// may hold locks (the library's, or an emulator's) is what a restart in the
// middle of a test would otherwise do.
QORStatus QORTestAuthServer::startSpawner()
{
    int command[2], reply[2];
    if (pipe(command) != 0)
        return qor_s_system_call_failed;
    if (pipe(reply) != 0) {
        close(command[0]);
        close(command[1]);
        return qor_s_system_call_failed;
    }
    pid_t parent = getpid();
    pid_t spawner = fork();
    if (spawner < 0) {
        for (int fd : {command[0], command[1], reply[0], reply[1]})
            close(fd);
        return qor_s_system_call_failed;
    }
    if (spawner == 0) {
        close(command[1]);
        close(reply[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        spawn(command[0], reply[1]);
        _exit(0);
    }
    close(command[0]);
    close(reply[1]);
    m_spawner = spawner;
    m_command = command[1];
    m_reply = reply[0];
    qor_test_register_child(spawner);
    return qor_s_ok;
}

// The spawner's loop: 'S' starts a server and answers with its status and
// process, 'K' kills it, 'Q' ends the loop.
void QORTestAuthServer::spawn(int commandFd, int replyFd)
{
    pid_t server = -1;
    char command;
    while (read(commandFd, &command, 1) == 1 && command != 'Q') {
        Reply reply = {qor_s_ok, -1};
        if (command == 'K' && server > 0) {
            ::kill(server, SIGKILL);
            waitpid(server, nullptr, 0);
            server = -1;
        } else if (command == 'S' && server <= 0) {
            int ready[2];
            if (pipe(ready) != 0) {
                reply.status = qor_s_system_call_failed;
            } else if ((server = fork()) == 0) {
                close(ready[0]);
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                serve(ready[1]);
                _exit(0);
            } else {
                close(ready[1]);
                if (server < 0 || !readWithin(ready[0], &reply.status, sizeof reply.status, 10000))
                    reply.status = qor_s_timed_out;
                close(ready[0]);
                reply.server = server;
            }
        }
        if (write(replyFd, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply))
            break;
    }
    if (server > 0) {
        ::kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    }
}

QORStatus QORTestAuthServer::command(char what, pid_t* server)
{
    Reply reply = {qor_s_ok, -1};
    if (write(m_command, &what, 1) != 1 || !readWithin(m_reply, &reply, sizeof reply, 20000))
        return qor_s_timed_out;
    if (server)
        *server = reply.server;
    return reply.status;
}

QORStatus QORTestAuthServer::start()
{
    if (m_child > 0)
        return qor_s_invalid_argument;
    if (m_spawner <= 0) {
        QORStatus st = startSpawner();
        if (st != qor_s_ok)
            return st;
    }
    pid_t server = -1;
    QORStatus st = command('S', &server);
    if (server > 0) {
        m_child = server;
        qor_test_register_child(server);
    }
    if (st != qor_s_ok)
        stop();
    return st;
}

void QORTestAuthServer::serve(int readyFd)
{
    Handler handler(m_script, *m_shared);
    QORSrvWorkerPool pool;
    QORStatus st = pool.start(m_name.c_str(), m_workers, m_bufferSize, &handler);
    if (write(readyFd, &st, sizeof st) != static_cast<ssize_t>(sizeof st) || st != qor_s_ok)
        _exit(1);
    close(readyFd);
    // Serve until killed.
    for (;;) {
        if (m_shared->resetWorkers.exchange(false))
            for (int i = 0; i < m_workers; i++)
                pool.resetWorker(i);
        usleep(2000);
    }
}

void QORTestAuthServer::kill()
{
    if (m_child <= 0)
        return;
    command('K', nullptr);
    qor_test_unregister_child(m_child);
    m_child = -1;
}

void QORTestAuthServer::stop()
{
    kill();
    QORWorkerPool::cleanupPool(m_name.c_str());
}

bool QORTestAuthServer::waitFor(const std::atomic<int>& count, int n, int timeoutMs)
{
    int64_t deadline = nowMs() + timeoutMs;
    while (count < n) {
        if (nowMs() > deadline)
            return false;
        usleep(1000);
    }
    return true;
}
