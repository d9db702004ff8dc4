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
#include "msg/server/qorconfiganswerwriter.h"
#include "msg/server/qorconfigquestionreader.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/ipc/qorworkerpool.h"
#include "proxyif/server/qorsrvquestionhandler.h"
#include "proxyif/server/qorsrvworkerpool.h"
#include "qoripctesting.h"

namespace {

// Web transaction answer commands the server uses.
enum {
    kReqAddHeader = 0,
    kReqSetHeader = 1,
    kReqGetBody = 9,
    kRspAddHeader = 21,
    kRspSetHeader = 22,
    kRspURCVersion = 38,
};
// The request's "body has been requested" flag in a web request question.
const int kBodyRequestedFlag = 0x400;

// One element holding the items back to back.
QORStatus putElement(QORSharedMemAllocator& out, std::initializer_list<const QORProxyIFMsgData*> items)
{
    int size = 0;
    for (const QORProxyIFMsgData* item : items)
        size += item->marshal(nullptr, 0);
    void* data = nullptr;
    QORStatus st = out.allocate(static_cast<unsigned int>(size), &data);
    if (st != qor_s_ok)
        return st;
    unsigned char* p = static_cast<unsigned char*>(data);
    for (const QORProxyIFMsgData* item : items) {
        int n = item->marshal(p, size);
        p += n;
        size -= n;
    }
    return qor_s_ok;
}

QORStringRef ref(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

class Handler : public QORSrvQuestionHandler {
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
        switch (type) {
        case qor_msg_config_question:
            return config(question, answer, answerType);
        case qor_msg_urc_version_question:
            return urcVersion(question, answer, answerType);
        case qor_msg_web_req_question:
        case qor_msg_web_rsp_question:
            return web(type, question, answer, answerType);
        default:
            return qor_s_not_supported;
        }
    }

private:
    QORStatus error(QORStatus status, QORSharedMemAllocator& answer, int* answerType)
    {
        QORProxyIFMsgInt code(static_cast<int>(status));
        *answerType = qor_msg_error;
        return putElement(answer, {&code});
    }

    QORStatus unexpected(int type, QORSharedMemAllocator& answer, int* answerType)
    {
        QORProxyIFMsgInt nothing(0);
        *answerType = type;
        return putElement(answer, {&nothing});
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

    QORStatus urcVersion(QORSharedMemIterator& question, QORSharedMemAllocator& answer,
                         int* answerType)
    {
        unsigned int length = 0;
        void* data = nullptr;
        QORStatus st = question.getNextElement(&length, &data);
        if (st != qor_s_ok)
            return st;
        if (m_shared.urcAnswerType != 0)
            return unexpected(m_shared.urcAnswerType, answer, answerType);
        QORProxyIFMsgBuffer asked;
        asked.unmarshal(static_cast<const unsigned char*>(data), static_cast<int>(length));

        QOREpochVersion current = QORTestAuthServer::versionWithCounter(m_shared.urcCounter);
        QORProxyIFMsgBuffer version;
        version.set(QORBuffer(reinterpret_cast<const unsigned char*>(&current),
                              static_cast<int>(sizeof current)));
        *answerType = qor_msg_urc_version_answer;
        st = putElement(answer, {&version});
        // An up-to-date plug-in gets the version alone.
        if (st != qor_s_ok || (asked.get().getLen() == static_cast<int>(sizeof current)
                               && memcmp(asked.get().getData(), &current, sizeof current) == 0))
            return st;
        m_shared.databasesSent++;
        for (auto& b : m_script.branches) {
            QORProxyIFMsgString name;
            name.set(ref(b.name));
            QORProxyIFMsgInt count(static_cast<int>(b.objects.size()));
            if ((st = putElement(answer, {&name})) != qor_s_ok
                || (st = putElement(answer, {&count})) != qor_s_ok)
                return st;
            for (auto& o : b.objects) {
                QORProxyIFMsgNameValue entry;
                entry.set(ref(o.first), ref(o.second));
                if ((st = putElement(answer, {&entry})) != qor_s_ok)
                    return st;
            }
        }
        return qor_s_ok;
    }

    QORStatus command(QORSharedMemAllocator& answer, int id, const QORProxyIFMsgData* item,
                      int* count)
    {
        QORProxyIFMsgInt cmd(id);
        (*count)++;
        return item ? putElement(answer, {&cmd, item}) : putElement(answer, {&cmd});
    }

    QORStatus web(int type, QORSharedMemIterator& question, QORSharedMemAllocator& answer,
                  int* answerType)
    {
        for (int i = 0; m_shared.holdWeb && i < 3000; i++)
            usleep(10000);
        if (m_shared.webErrorStatus != 0)
            return error(m_shared.webErrorStatus, answer, answerType);
        if (m_shared.webAnswerType != 0)
            return unexpected(m_shared.webAnswerType, answer, answerType);

        // The flag word comes first in a web request question.
        int flags = 0;
        if (type == qor_msg_web_req_question) {
            unsigned int length = 0;
            void* data = nullptr;
            if (question.getNextElement(&length, &data) == qor_s_ok && length >= 4)
                memcpy(&flags, data, 4);
        }

        *answerType = qor_msg_web_trans_answer;
        unsigned char* head = nullptr;
        QORStatus st = answer.allocate(8, reinterpret_cast<void**>(&head));
        if (st != qor_s_ok)
            return st;
        int rspCode = m_script.rspCode;
        int count = 0;
        if (type == qor_msg_web_req_question && m_shared.askForBody
            && (flags & kBodyRequestedFlag) == 0) {
            QORProxyIFMsgInt all(0);
            st = command(answer, kReqGetBody, &all, &count);
        } else {
            for (auto& h : m_script.headers) {
                QORProxyIFMsgNameValue nv;
                nv.set(ref(h.name), ref(h.value));
                int id = h.response ? (h.add ? kRspAddHeader : kRspSetHeader)
                                    : (h.add ? kReqAddHeader : kReqSetHeader);
                if (st == qor_s_ok)
                    st = command(answer, id, &nv, &count);
            }
        }
        int every = m_shared.bumpURCEvery;
        if (every > 0 && (m_shared.questions[type] % every) == 0)
            m_shared.urcCounter++;
        if (st == qor_s_ok && m_shared.sendURCVersion) {
            QOREpochVersion v = QORTestAuthServer::versionWithCounter(m_shared.urcCounter);
            QORProxyIFMsgBuffer version;
            version.set(QORBuffer(reinterpret_cast<const unsigned char*>(&v),
                                  static_cast<int>(sizeof v)));
            st = command(answer, kRspURCVersion, &version, &count);
        }
        QORProxyIFMsgInt code(rspCode), num(count);
        code.marshal(head, 4);
        num.marshal(head + 4, 4);
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
    int fd = open(m_name.c_str(), O_CREAT | O_WRONLY, 0600);
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
}

QORTestAuthServer::~QORTestAuthServer()
{
    stop();
    m_shared->~QORTestAuthShared();
    munmap(m_shared, sizeof(QORTestAuthShared));
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

QORStatus QORTestAuthServer::start()
{
    if (m_child > 0)
        return qor_s_invalid_argument;
    int ready[2];
    if (pipe(ready) != 0)
        return qor_s_system_call_failed;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        close(ready[0]);
        close(ready[1]);
        return qor_s_system_call_failed;
    }
    if (child == 0) {
        close(ready[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        serve(ready[1]);
        _exit(0);
    }
    close(ready[1]);
    m_child = child;
    qor_test_register_child(child);
    // The child writes one byte once its objects exist.
    struct pollfd p = {ready[0], POLLIN, 0};
    char byte = 0;
    bool ok = poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1 && byte == 'R';
    close(ready[0]);
    if (!ok) {
        stop();
        return qor_s_timed_out;
    }
    return qor_s_ok;
}

void QORTestAuthServer::serve(int readyFd)
{
    Handler handler(m_script, *m_shared);
    QORSrvWorkerPool pool;
    QORStatus st = pool.start(m_name.c_str(), m_workers, m_bufferSize, &handler);
    char byte = st == qor_s_ok ? 'R' : 'F';
    if (write(readyFd, &byte, 1) != 1 || st != qor_s_ok)
        _exit(1);
    close(readyFd);
    // Serve until killed.
    for (;;)
        pause();
}

void QORTestAuthServer::kill()
{
    if (m_child <= 0)
        return;
    ::kill(m_child, SIGKILL);
    waitpid(m_child, nullptr, 0);
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
