// qorauthzdaemon.cpp: the program around the service.
#include "authz/qorauthzdaemon.h"
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include "authz/qorauthzlog.h"
#include "authz/qorauthzmetricshttp.h"
#include "authz/qorauthzreload.h"
#include "authz/qorauthzservice.h"
#include "authz/qorauthzsessions.h"
#include "core/svc/qorsvcroute.h"
#include "core/system/qorinstallpath.h"
#include "proxyif/server/qorsrvworkerpool.h"

namespace {

struct Options {
    std::string config;
    std::string pidFile;
    bool foreground = false;
    bool checkOnly = false;
};

int usage()
{
    fprintf(stderr, "usage: dxqor-authzd [--config FILE] [--foreground] [--pid-file FILE]\n"
                    "       dxqor-authzd --check-config FILE\n");
    return 2;
}

std::string absolute(const std::string& path)
{
    char cwd[4096];
    if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

bool parseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--config" && hasValue)
            o->config = argv[++i];
        else if (a == "--check-config" && hasValue) {
            o->config = argv[++i];
            o->checkOnly = true;
        } else if (a == "--pid-file" && hasValue)
            o->pidFile = argv[++i];
        else if (a == "--foreground")
            o->foreground = true;
        else
            return false;
    }
    if (o->config.empty()) {
        const char* etc = nullptr;
        if (qor_install_path(qor_path_etc, &etc) != qor_s_ok)
            return false;
        o->config = std::string(etc) + "dxqor-authzd.conf";
    }
    // A detached server works in "/": its files are named absolutely, also
    // for the reloads to come.
    o->config = absolute(o->config);
    if (!o->pidFile.empty())
        o->pidFile = absolute(o->pidFile);
    return true;
}

// To standard error (checking only), or to the log.
void report(const QORAuthzErrors& errors, uint32_t severity, bool toStderr)
{
    for (auto& line : errors.lines()) {
        if (toStderr)
            fprintf(stderr, "%s\n", line.c_str());
        else
            qor_authz_log(severity, line);
    }
}

// Detaches: the caller's process waits until the server says on the pipe
// whether it started, and exits with that. Returns the pipe's write end in
// the server (or -1 when it cannot detach).
int detach()
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child > 0) {
        close(ready[1]);
        char status = 1;
        if (read(ready[0], &status, 1) != 1)
            status = 1;
        waitpid(child, nullptr, 0);
        _exit(status);
    }
    close(ready[0]);
    setsid();
    pid_t server = fork();
    if (server < 0)
        _exit(1);
    if (server > 0)
        _exit(0);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    if (chdir("/") != 0)
        (void)0;  // staying in the start directory does no harm
    return ready[1];
}

void tellStarter(int fd, char status)
{
    if (fd < 0)
        return;
    if (write(fd, &status, 1) != 1)
        (void)0;  // the starter then exits 1, which is what it should do
    close(fd);
}

// The server ID's file exists, owned by us when we made it (and its
// directory, when that was missing).
bool ensureServerID(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        (void)mkdir(path.substr(0, slash).c_str(), 0755);  // the open below tells
    int fd = open(path.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

void applyRoutes(const QORAuthzSettings& s)
{
    for (auto& r : s.routes) {
        QORStatus st = qor_s_ok;
        dx_svc_routing(r.c_str(), &st);
        if (st != qor_s_ok)
            qor_authz_log(dx_svc_c_sev_warning, "the route " + r + " is not valid");
    }
}

void reload(QORAuthzPolicyHolder& holder, QORAuthzService& service)
{
    QORAuthzErrors errors, warnings;
    std::shared_ptr<const QORAuthzSnapshot> old = holder.current();
    if (!holder.reload(&errors, &warnings)) {
        service.metrics().loaded(false, 0);
        report(errors, dx_svc_c_sev_error, false);
        qor_authz_log(dx_svc_c_sev_error, "reload refused: the policy in force is kept");
        return;
    }
    report(warnings, dx_svc_c_sev_warning, false);
    std::shared_ptr<const QORAuthzSnapshot> now = holder.current();
    const QORAuthzSettings& a = old->policy->settings();
    const QORAuthzSettings& b = now->policy->settings();
    if (a.serverID != b.serverID || a.workers != b.workers || a.workerSize != b.workerSize
        || a.metricsAddress != b.metricsAddress)
        qor_authz_log(dx_svc_c_sev_warning,
                      "server-id, workers, worker-size and metrics-address change only with a "
                      "restart");
    applyRoutes(b);
    if (service.policyChanged() != qor_s_ok)
        qor_authz_log(dx_svc_c_sev_error, "the session store in force is kept");
    service.metrics().loaded(true, now->version.m_counter);
    qor_authz_log(dx_svc_c_sev_notice,
                  "policy reloaded, cache version " + std::to_string(now->version.m_counter));
}

// The metrics endpoint, when the policy names an address. Healthy: the
// workers run and the last policy load succeeded. An address that cannot
// be listened on costs the metrics, not the decisions.
void startMonitoring(const QORAuthzSettings& s, QORAuthzService& service,
                          const QORSrvWorkerPool& pool, QORAuthzMetricsHTTP* http)
{
    std::string host;
    int port = 0;
    if (!qor_authz_parse_loopback(s.metricsAddress, &host, &port))
        return;
    int workers = s.workers;
    QORAuthzMonitorPages pages;
    pages.metrics = [&service, &pool, workers]() {
        QORAuthzMetrics::Gauges g;
        g.workers = workers;
        g.workersBusy = pool.busyWorkers();
        g.questionsWaiting = pool.waitingClients();
        g.credentials = service.credentials().size();
        // Sessions in Redis expire there on their own: no server can
        // count them without a scan, so the gauge is left out.
        auto memory = std::dynamic_pointer_cast<QORAuthzSessions>(service.sessions());
        g.sessions = memory ? static_cast<long>(memory->size()) : -1;
        return service.metrics().exposition(g);
    };
    pages.healthy = [&service, &pool]() {
        return pool.serving() && service.metrics().lastLoadSucceeded();
    };
    if (http->start(host, port, std::move(pages)) != qor_s_ok)
        qor_authz_log(dx_svc_c_sev_error, "cannot serve metrics on " + s.metricsAddress);
}

} // namespace

int qor_authz_daemon_main(int argc, char** argv)
{
    Options o;
    if (!parseOptions(argc, argv, &o))
        return usage();
    qormsg_init("dxqor-authzd", 1);

    QORAuthzPolicyHolder holder;
    QORAuthzErrors errors, warnings;
    bool valid = holder.start(o.config, &errors, &warnings);
    report(errors, dx_svc_c_sev_error, o.checkOnly);
    report(warnings, dx_svc_c_sev_warning, o.checkOnly);
    if (o.checkOnly) {
        if (valid)
            printf("%s: valid\n", o.config.c_str());
        return valid ? 0 : 1;
    }
    if (!valid)
        return 1;
    std::shared_ptr<const QORAuthzSnapshot> first = holder.current();
    const QORAuthzSettings& s = first->policy->settings();
    applyRoutes(s);

    int starter = o.foreground ? -1 : detach();
    if (!o.foreground && starter < 0) {
        fprintf(stderr, "dxqor-authzd: cannot detach: %s\n", strerror(errno));
        return 1;
    }
    // Every thread started from here on inherits the blocked signals; the
    // main thread takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGHUP, SIGTERM, SIGINT})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // The threads do short work between sleeps on the channel. As batch
    // threads (inherited by every thread made from here on) a woken one
    // does not preempt the thread that woke it, which mostly goes to sleep
    // on the channel moments later: a switch per hand-off, not three.
    struct sched_param batch = {};
    if (sched_setscheduler(0, SCHED_BATCH, &batch) != 0)
        qor_authz_log(dx_svc_c_sev_warning,
                      std::string("cannot run as batch threads: ") + strerror(errno));

    QORAuthzService service(holder);
    QORSrvWorkerPool pool;
    QORAuthzMetricsHTTP monitoring;
    QORStatus st = ensureServerID(s.serverID) ? service.initialize() : qor_s_system_call_failed;
    if (st == qor_s_ok)
        st = service.policyChanged();
    if (st == qor_s_ok) {
        if (service.openDecisionBoard(s.serverID) != qor_s_ok)
            qor_authz_log(dx_svc_c_sev_warning, "cannot make the decision board beside " + s.serverID
                                                    + ": plug-ins will keep no decision");
        st = pool.start(s.serverID.c_str(), s.workers, static_cast<unsigned int>(s.workerSize),
                        &service);
    }
    service.metrics().loaded(st == qor_s_ok, first->version.m_counter);
    if (st == qor_s_ok)
        startMonitoring(s, service, pool, &monitoring);
    if (st != qor_s_ok) {
        char text[512];
        snprintf(text, sizeof text, "cannot start on %s (status 0x%08x)", s.serverID.c_str(),
                 (unsigned int)st);
        qor_authz_log(dx_svc_c_sev_error, text);
        if (o.foreground)
            fprintf(stderr, "dxqor-authzd: %s\n", text);
        tellStarter(starter, 1);
        return 1;
    }
    if (!o.pidFile.empty()) {
        FILE* fp = fopen(o.pidFile.c_str(), "w");
        if (fp != nullptr) {
            fprintf(fp, "%ld\n", static_cast<long>(getpid()));
            fclose(fp);
        } else {
            qor_authz_log(dx_svc_c_sev_warning, "cannot write the pid file " + o.pidFile);
        }
    }
    qor_authz_log(dx_svc_c_sev_notice, "serving " + s.serverID + " with " +
                                           std::to_string(s.workers) + " workers");
    tellStarter(starter, 0);

    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0)
            continue;
        if (sig == SIGHUP) {
            reload(holder, service);
            continue;
        }
        break;
    }
    service.withdrawDecisionBoard(s.serverID);
    monitoring.stop();
    (void)pool.shutdown();  // the objects go; nothing else is left to do with a failure
    if (!o.pidFile.empty())
        unlink(o.pidFile.c_str());
    qor_authz_log(dx_svc_c_sev_notice, "stopped");
    return 0;
}
