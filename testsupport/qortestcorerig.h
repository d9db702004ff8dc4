// qortestcorerig.h: QORTestCoreRig, a core in this process with an
// installation root and a key path of its own, and a test authorization
// server in child processes; requests are decided through it. What it
// made goes when it is destroyed.
#pragma once
#include <fstream>
#include <string>
#include "plugin/core/qorcore.h"
#include "qoripctesting.h"
#include "qortestauthserver.h"
#include "qortestinstallroot.h"
#include "qortestlog.h"
#include "qortesttransaction.h"

class QORTestCoreRig {
public:
    // tag names the core, the key path and the root; conf is dxqor.conf.
    QORTestCoreRig(const char* tag, const std::string& conf, const QORTestAuthScript& script)
        : m_path(tag)
        , m_root(tag, conf)
        , core(tag)
        , server(m_path.c_str(), script)
    {
    }
    ~QORTestCoreRig()
    {
        core.shutdown();  // the core may never have started
        server.stop();
    }
    QORTestCoreRig(const QORTestCoreRig&) = delete;
    QORTestCoreRig& operator=(const QORTestCoreRig&) = delete;

    // Starts the server and initializes the core against it.
    QORStatus start()
    {
        QORStatus st = server.start();
        return st != qor_s_ok ? st : core.initialize(server.name(), &log);
    }
    // A request for uri on vhost, decided by the core.
    QORStatus request(QORTestTransaction& trans, const char* vhost, const char* uri,
                      const char* method = "GET")
    {
        trans.addServer(vhost);
        trans.request().uri = uri;
        trans.request().method = method;
        return core.handleReq(&trans);
    }
    // The result of a request for uri on vhost, or -1 when it failed.
    int decide(const char* vhost, const char* uri, const char* method = "GET")
    {
        QORTestTransaction trans;
        trans.calls().setRecording(false);
        return request(trans, vhost, uri, method) == qor_s_ok ? trans.getResult() : -1;
    }
    QORTestAuthShared& seen() { return server.shared(); }
    int questions(int type) { return server.shared().questions[type]; }
    // Replaces the text of dxqor.conf (read again by initialize).
    void writeConf(const std::string& text) { std::ofstream(m_root.confPath()) << text; }
    int poolObjects() const { return m_path.countPoolObjects(); }

private:
    // The key path first: it makes the scratch directory the root goes in.
    QORTestIPCPath m_path;
    QORTestInstallRoot m_root;

public:
    // Outlives the core, which logs into it.
    QORTestLog log;
    QORCore core;
    QORTestAuthServer server;
};
