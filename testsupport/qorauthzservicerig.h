// qorauthzservicerig.h: QORAuthzServiceRig, the authorization server's
// question handler run in this process, for fuzz targets and benchmarks:
// the policy, users and groups files in a scratch directory, the snapshot
// loaded from them, a service over it, and a question asked the way the
// plug-in asks it (marshalled into a region, the service's handler, the
// answer applied to the test transaction by the plug-in's unmarshaller).
// The server's records go nowhere unless the
// environment routes them (SVC_<SEVERITY>). Header-only: the server exists
// in 64-bit builds only, the rest of testsupport in every one.
#pragma once
#include <unistd.h>
#include <cstdlib>
#include <memory>
#include <string>
#include "authz/qorauthzreload.h"
#include "authz/qorauthzservice.h"
#include "msg/plugin/qorwebreqquestionmarshaller.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "qortestdir.h"
#include "qortestregion.h"
#include "qortesttransaction.h"

// A policy with a host of each kind (protected on both protocols, https
// only, case-insensitive on a Windows file system, unprotected), objects
// open, partly open, Basic and form, users of the two schemes verified
// here and a group; a failure limit low enough for one input to reach.
struct QORAuthzRigSample {
    static constexpr const char* kPolicy =
        "[server]\nusers-file = htpasswd\ngroups-file = groups\nfailure-delay = 0\n"
        "failure-limit = 4\n"
        "[virtual-host www]\nbranch = /web\npermission = POST rw\npermission = DELETE d\n"
        "[virtual-host secure]\nprotocols = https\n"
        "[virtual-host win]\ncase-sensitive = no\nwindows-file-system = yes\n"
        "[virtual-host open]\nunprotected = yes\n"
        "[object /web]\nunauthenticated = *\n"
        "[object /web/private]\nuser = alice r\ngroup = staff rw\n"
        "[object /web/docs]\nunauthenticated = r\nuser = bob rw\n"
        "[object /web/team]\nmethod = form\nuser = alice r\ngroup = staff r\n"
        "[object /secure]\nuser = bob *\n"
        "[object /win/admin]\nmethod = form\ngroup = staff rwd\n"
        "[login]\nmax-sessions-per-user = 2\nmax-form-body = 512\n";
    // alice wonderland ({SHA}), bob builder ($apr1$), carol singer ({SHA}).
    static constexpr const char* kUsers =
        "alice:{SHA}tiY7sUhYKUwI5L3866kDY+ENcrQ=\n"
        "bob:$apr1$N/FqldgB$tCgYE3S.r3A72M6W4QQ4n/\n"
        "carol:{SHA}X9zPCbMFzMPlYX7+7QubnxKI7iM=\n";
    static constexpr const char* kGroups = "staff: carol\n";

    // The user's password, or null for no user.
    static const char* passwordOf(const std::string& name)
    {
        return name == "alice" ? "wonderland" : name == "bob" ? "builder"
                                            : name == "carol" ? "singer" : nullptr;
    }
};

class QORAuthzServiceRig {
public:
    // What one web request question came to.
    struct Asked {
        QORStatus handled = qor_s_ok;   // the service's handler
        int answerType = -1;
        QORStatus applied = qor_s_ok;   // the plug-in's unmarshaller
        int result = -1;                // the answer's result code
    };

    explicit QORAuthzServiceRig(const char* tag)
        : m_dir(tag)
    {
        for (const char* severity : {"SVC_FATAL", "SVC_ERROR", "SVC_WARNING"})
            setenv(severity, "DISCARD:", 0);
    }

    // Writes policy.conf, htpasswd and groups and loads the policy (which
    // names the others, or not) as the server's first load does. False,
    // with the problems in errors, when the server would not start on them.
    bool load(const std::string& policy, const std::string& users, const std::string& groups,
              QORAuthzErrors* errors)
    {
        m_service.reset();
        m_holder.reset(new QORAuthzPolicyHolder());
        if (!m_dir.write("policy.conf", policy) || !m_dir.write("htpasswd", users) ||
            !m_dir.write("groups", groups)) {
            errors->add(m_dir.path(), 0, "", "the files cannot be written");
            return false;
        }
        QORAuthzErrors warnings;
        return m_holder->start(m_dir.file("policy.conf"), errors, &warnings);
    }

    // A new service over the policy loaded: no sessions, login tokens,
    // failure counts or remembered credentials yet.
    QORStatus restart()
    {
        m_service.reset(new QORAuthzService(*m_holder));
        QORStatus st = m_service->initialize();
        if (st == qor_s_ok)
            st = m_service->policyChanged();
        return st;
    }

    QORAuthzService& service() { return *m_service; }
    std::shared_ptr<const QORAuthzSnapshot> snapshot() const { return m_holder->current(); }
    const std::string& dir() const { return m_dir.path(); }

    // Marshals question and hands it to the service; the answer is in
    // answer().
    QORStatus handle(QORProxyIFMessage& question, int* answerType)
    {
        m_question.alloc.reset();
        m_answer.alloc.reset();
        QORStatus st = question.marshal(m_question.alloc);
        if (st != qor_s_ok)
            return st;
        return m_service->handle(question.getType(), m_question.reader(), m_answer.alloc,
                                 answerType);
    }
    QORTestRegion& answer() { return m_answer; }

    // Asks about t's request as the plug-in does and, when the service
    // answered with a web answer, applies it to t.
    Asked ask(QORTestTransaction& t)
    {
        Asked a;
        QORWebReqQuestionMarshaller q(&t);
        a.handled = handle(q, &a.answerType);
        if (a.handled != qor_s_ok || a.answerType != qor_msg_web_trans_answer)
            return a;
        QORWebTransAnswerUnmarshaller answer;
        a.applied = answer.unmarshal(m_answer.reader(), &t);
        a.result = answer.getRspCode();
        return a;
    }

    // What is wrong with what a question under the sample policy came to,
    // or null. Whatever the client sent, the handler answers (a message it
    // cannot read aside), the plug-in can apply the answer, no response
    // header breaks its line, a Location stays on this site, a request let
    // through carries a user of the sample or no identity, never the
    // client's own header ("mallory"), and the audit trail got whole lines
    // of printable text only (it is emptied for the next question).
    const char* sampleProblem(QORTestTransaction& t, const Asked& a)
    {
        std::string audit = qor_test_read_file(m_dir.file("audit"));
        if (truncate(m_dir.file("audit").c_str(), 0) != 0)
            return "the audit trail cannot be emptied";
        for (size_t i = 0; i < audit.size(); i++)
            if ((audit[i] < 0x20 || audit[i] > 0x7e) &&
                !(audit[i] == '\n' && i > 0 && audit[i - 1] != '\n'))
                return "an audit line that is not one line of printable text";
        if (!audit.empty() && audit.back() != '\n')
            return "an audit line without its end";
        if (a.handled == qor_s_invalid_argument)
            return nullptr;
        if (a.handled != qor_s_ok || a.answerType != qor_msg_web_trans_answer)
            return "the handler did not answer";
        if (a.applied != qor_s_ok)
            return "the plug-in could not apply the answer";
        QORTestHeaders& rsp = t.response().headers;
        for (int i = 0; i < rsp.size(); i++)
            if (rsp[i].value.find_first_of("\r\n") != std::string::npos)
                return "a response header breaks its line";
        const char* location = rsp.get("Location");
        if (location != nullptr &&
            (location[0] != '/' || location[1] == '/' || location[1] == '\\'))
            return "a Location off this site";
        if (a.result == qor_continue) {
            // An answer asking for the body has the question sent again:
            // the request is not let through yet.
            const char* id = t.request().headers.get("X-Dxqor-User");
            if (!t.shouldRetry() && id != nullptr && QORAuthzRigSample::passwordOf(id) == nullptr)
                return "let through with an identity that is no user";
        } else if (a.result == qor_send_rsp_to_client) {
            int code = t.response().code();
            if (code != 200 && code != 303 && code != 400 && code != 401 && code != 403 &&
                code != 413 && code != 429)
                return "a response code the server does not send";
        } else if (a.result != qor_continue_uninteresting &&
                   a.result != qor_require_more_body_data) {
            return "a result code the server does not give";
        }
        return nullptr;
    }

    // The rig over the sample, made on first use and kept for the
    // program's life; null when the sample does not load.
    static QORAuthzServiceRig* sample()
    {
        static QORAuthzServiceRig rig("authz-sample");
        static const bool loaded = [] {
            QORAuthzErrors errors;
            std::string policy = QORAuthzRigSample::kPolicy;
            policy.replace(0, 9, "[server]\naudit = file:" + rig.dir() + "/audit\n");
            return rig.load(policy, QORAuthzRigSample::kUsers, QORAuthzRigSample::kGroups,
                            &errors);
        }();
        return loaded ? &rig : nullptr;
    }

private:
    QORTestDir m_dir;
    std::unique_ptr<QORAuthzPolicyHolder> m_holder;
    std::unique_ptr<QORAuthzService> m_service;
    QORTestRegion m_question{65536};
    QORTestRegion m_answer{65536};
};
