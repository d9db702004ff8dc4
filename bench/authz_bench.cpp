// authz_bench: what dxqor-authzd spends on one decision, on one worker
// thread: the question handler run on a question marshalled once, for a
// cached Basic credential, a valid session cookie, an object open to
// everyone and a first (not cached) bcrypt verification; then the session
// cookie with the sessions in a real redis-server and the cached credential
// with the users in a real slapd, each against the in-memory row of the
// same run. Then a whole handleReq through the real
// server process, against the floor of any such channel: two processes
// handing a token back and forth through a pair of SysV semaphores. The
// figures are printed, with ratios against the baselines of the same run.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include "authz/qorauthzservice.h"
#include "authz/qorauthzsessions.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "plugin/core/qorcore.h"
#include "qorauthztestserver.h"
#include "qorredisserver.h"
#include "qorslapd.h"
#include "qorwebserver.h"
#include "qoripctesting.h"
#include "qortestinstallroot.h"
#include "qortestlog.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

namespace {

const char kUsers[] =
    "alice:$2y$10$g9eMBMQpm.9hR7qs854Li.DE74Kxf0oKpaDRpmVrocEyjSYhfPpbu\n";
const char kPolicy[] =
    "[virtual-host www]\nbranch = /web\n"
    "[object /web]\nunauthenticated = *\n"
    "[object /web/private]\nuser = alice r\n"
    "[object /web/team]\nmethod = form\nuser = alice r\n";

double nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Nanoseconds per call of op, over at least minMs and minCalls calls.
double perCall(const std::function<void()>& op, int minCalls = 1000, double minMs = 300)
{
    op();  // warm-up
    double start = nowNs(), end = start;
    long n = 0;
    while (n < minCalls || end - start < minMs * 1e6) {
        op();
        ++n;
        end = nowNs();
    }
    return (end - start) / static_cast<double>(n);
}

std::string writeFile(const std::string& dir, const char* name, const char* text)
{
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// The handler answering one question, marshalled once from a transaction.
double handlerTime(QORAuthzService& service, QORTestTransaction& t, const std::function<void()>& before)
{
    qor_authz_test_http_message(t.request());
    QORWebReqQuestionMarshaller q(&t);
    QORTestRegion question(16384), answer(16384);
    if (q.marshal(question.alloc) != qor_s_ok) {
        fprintf(stderr, "cannot marshal the question\n");
        exit(1);
    }
    return perCall([&] {
        before();
        answer.alloc.reset();
        int type = 0;
        if (service.handle(qor_msg_web_req_question, question.reader(), answer.alloc, &type) !=
            qor_s_ok) {
            fprintf(stderr, "the handler failed\n");
            exit(1);
        }
    }, 50, 300);
}

// A policy, its snapshot holder and a service on it, for a backend row.
struct Service {
    QORAuthzPolicyHolder holder;
    std::unique_ptr<QORAuthzService> service;

    bool start(const std::string& path)
    {
        QORAuthzErrors errors, warnings;
        if (!holder.start(path, &errors, &warnings)) {
            fprintf(stderr, "%s\n", errors.lines().empty() ? "?" : errors.lines()[0].c_str());
            return false;
        }
        service.reset(new QORAuthzService(holder));
        return service->initialize() == qor_s_ok && service->policyChanged() == qor_s_ok;
    }
};

void request(QORTestTransaction& t, const char* uri, const std::string& auth,
             const std::string& cookie = "")
{
    t.addServer("www");
    t.request().uri = uri;
    if (!auth.empty())
        t.request().headers.add("Authorization", auth.c_str());
    if (!cookie.empty())
        t.request().headers.add("Cookie", cookie.c_str());
    qor_authz_test_http_message(t.request());
}

// Two processes passing a token through semaphores 0 (to the child) and 1
// (back): the cost of one round trip.
double pingPong()
{
    int sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
    if (sem < 0)
        return 0;
    pid_t child = fork();
    if (child == 0) {
        struct sembuf take = {0, -1, 0}, give = {1, 1, 0};
        for (;;) {
            if (semop(sem, &take, 1) != 0 || semop(sem, &give, 1) != 0)
                _exit(0);
        }
    }
    struct sembuf give = {0, 1, 0}, take = {1, -1, 0};
    double ns = perCall([&] {
        (void)semop(sem, &give, 1);  // a failure shows as a figure of nothing
        (void)semop(sem, &take, 1);
    }, 20000, 300);
    semctl(sem, 0, IPC_RMID);
    waitpid(child, nullptr, 0);
    return ns;
}

} // namespace

int main()
{
    qor_test_watchdog(600);
    const char* base = getenv("DXQOR_TEST_TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/authz-bench-" +
                      std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    QORTestInstallRoot root("authzbench", "[dxweb-plugins]\nvirtual-host = www\n");
    std::string usersPath = writeFile(dir, "users", kUsers);
    std::string policyPath = writeFile(
        dir, "policy.conf",
        (std::string("[server]\nusers-file = users\nfailure-delay = 0\n") + kPolicy).c_str());

    Service memory;
    if (!memory.start(policyPath))
        return 1;
    QORAuthzService& service = *memory.service;
    const std::string alice = qor_authz_test_basic("alice", "wonderland");

    printf("Server time per decision (question handler, one thread):\n");
    QORTestTransaction open, cached, fresh, session;
    request(open, "/index.html", "");
    request(cached, "/private/a", alice);
    request(fresh, "/private/a", alice);
    std::string sid;
    if (service.sessions()->create("alice", service.now(), &sid) != qor_s_ok)
        return 1;
    request(session, "/team/a", "", "theme=dark; DXQORSESSION=" + sid);
    double openNs = handlerTime(service, open, [] {});
    double cachedNs = handlerTime(service, cached, [] {});
    double sessionNs = handlerTime(service, session, [] {});
    double bcryptNs = handlerTime(service, fresh, [&] { service.credentials().clear(); });
    printf("  unauthenticated, open object   %10.2f us\n", openNs / 1000);
    printf("  cached Basic credential        %10.2f us   (goal < 5 us)\n", cachedNs / 1000);
    printf("  valid session cookie           %10.2f us   (goal < 5 us)\n", sessionNs / 1000);
    printf("  first bcrypt verification      %10.2f us   (%.0f x the cached credential)\n",
           bcryptNs / 1000, bcryptNs / cachedNs);

    // The same rows with the backends shared between servers.
    std::string backendDir = dir + "/backends";
    mkdir(backendDir.c_str(), 0700);
    {
        QORRedisServer redis(backendDir);
        QORSlapd slapd(backendDir);
        std::string keyPath = writeFile(dir, "session-key", "bench");
        std::string bindPath = writeFile(dir, "bind-password", QORSlapd::kAdminPassword);
        chmod(keyPath.c_str(), 0600);
        chmod(bindPath.c_str(), 0600);
        if (!redis.start() || !slapd.start()
            || !slapd.add("dn: uid=alice,dc=test\nobjectClass: inetOrgPerson\nuid: alice\n"
                          "cn: A\nsn: A\nuserPassword: wonderland\n")) {
            fprintf(stderr, "redis-server or slapd did not start\n");
            return 1;
        }
        std::string redisPolicy = writeFile(
            dir, "redis.conf",
            (std::string("[server]\nusers-file = users\n[backends]\nsessions = redis\n"
                         "[redis]\nkey-file = session-key\naddress = ") +
             redis.address() + "\n" + kPolicy).c_str());
        std::string ldapPolicy = writeFile(
            dir, "ldap.conf",
            (std::string("[backends]\nusers = ldap\n[ldap]\nbind-password-file = bind-password\n"
                         "base-dn = dc=test\nbind-dn = ") + QORSlapd::kAdminDN + "\nuri = " +
             slapd.uri() + "\n" + kPolicy).c_str());
        Service shared, directory;
        std::string redisSid;
        if (!shared.start(redisPolicy) || !directory.start(ldapPolicy)
            || shared.service->sessions()->create("alice", 0, &redisSid) != qor_s_ok) {
            fprintf(stderr, "the backend services cannot start\n");
            return 1;
        }
        QORTestTransaction redisSession, ldapCached;
        request(redisSession, "/team/a", "", "theme=dark; DXQORSESSION=" + redisSid);
        request(ldapCached, "/private/a", alice);
        double redisNs = handlerTime(*shared.service, redisSession, [] {});
        double ldapNs = handlerTime(*directory.service, ldapCached, [] {});
        printf("  session cookie, Redis store    %10.2f us   (%.2f x the memory store's rate; goal >= 0.85)\n",
               redisNs / 1000, sessionNs / redisNs);
        printf("  cached Basic, LDAP directory   %10.2f us   (%.2f x the users file's rate)\n",
               ldapNs / 1000, cachedNs / ldapNs);
        unlink(keyPath.c_str());
        unlink(bindPath.c_str());
        unlink(redisPolicy.c_str());
        unlink(ldapPolicy.c_str());
    }
    qor_remove_tree(backendDir);

    printf("Whole request through the real server process:\n");
    int status = 0;
    {
        QORAuthzTestServer server(DXQOR_AUTHZD_PATH, "bench");
        server.write("users", kUsers);
        server.write("groups", "");
        server.writePolicy("workers = 1\nfailure-delay = 0\n", kPolicy);
        QORCore core("authz_bench");
        QORTestLog log;
        if (server.start() != qor_s_ok || core.initialize(server.serverID(), &log) != qor_s_ok) {
            fprintf(stderr, "the server did not start:\n%s\n", server.output().c_str());
            status = 1;
        } else {
            double e2e = perCall([&] {
                QORTestTransaction t;
                request(t, "/private/a", alice);
                if (core.handleReq(&t) != qor_s_ok || t.getResult() != qor_continue) {
                    fprintf(stderr, "unexpected decision\n");
                    exit(1);
                }
            }, 2000, 500);
            double floor = pingPong();
            printf("  handleReq, cached Basic        %10.2f us\n", e2e / 1000);
            printf("  semaphore ping-pong            %10.2f us\n", floor / 1000);
            printf("  ratio                          %10.2f\n", floor > 0 ? e2e / floor : 0);
            core.shutdown();
        }
    }
    unlink(usersPath.c_str());
    unlink(policyPath.c_str());
    rmdir(dir.c_str());
    return status;
}
