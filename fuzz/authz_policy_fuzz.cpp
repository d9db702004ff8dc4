// authz_policy_fuzz.cpp: arbitrary text as the authorization server's
// policy, users and groups files, loaded as the server's start loads them.
// Whatever the text, the load must end in a snapshot or in errors, never
// both or neither. A policy that loads must be servable: every
// configuration answer and the cache answer written from it must be read
// by the plug-in's readers into the plug-in's own tables, hosts and cache,
// and a question for each host's branch must be answered in a form the
// plug-in can apply.
//
// Input: the three files separated by NULs (policy, then htpasswd, then
// groups; a missing one is empty). The policy names them as "htpasswd"
// (the default) and "groups" beside it. Inputs naming anything under dev/,
// proc/ or sys/ are skipped (those files can block or never end), and so
// are those that could turn the audit trail on: it would write to any file
// or to the machine's syslog.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "msg/core/qorconfigquestion.h"
#include "msg/core/qorurcversionquestion.h"
#include "msg/plugin/qorconfiganswercontext.h"
#include "msg/plugin/qorconfiganswerunmarshaller.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "qorauthzservicerig.h"
#include "qorauthztestserver.h"
#include "urc/plugin/qorunprotresourcecache.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "authz_policy_fuzz: %s\n", what);
        abort();
    }
}

// Answers too large for the region fail to be written; that is the
// region's limit, not a fault of the policy.
bool answered(QORStatus st)
{
    return st == qor_s_ok || st == qor_s_no_memory;
}

void configAnswers(QORAuthzServiceRig& rig)
{
    for (int type = QORConfigQuestion::QOR_CONFIG_REQ_POST_URIS;
         type <= QORConfigQuestion::QOR_CONFIG_REQ_VHOSTS; type++) {
        QORConfigQuestion q(static_cast<QORConfigQuestion::qor_config_req_msg_type_e>(type));
        int answerType = -1;
        QORStatus st = rig.handle(q, &answerType);
        check(answered(st), "a configuration question is not answered");
        if (st != qor_s_ok)
            continue;
        check(answerType == qor_msg_config_answer, "a configuration answer of another type");
        QORProtectedHashTable<QORString, int> posts(nullptr, true);
        QORProtectedHashTable<QORString, unsigned int> flags(nullptr, true);
        QORPluginVirtualHostList hosts;
        QORConfigAnswerContext ctx;
        ctx.postURIs = &posts;
        ctx.postURIBuckets = 20;
        ctx.configFlags = &flags;
        ctx.configFlagBuckets = 20;
        ctx.vhostList = &hosts;
        QORConfigAnswerUnmarshaller reader;
        check(reader.unmarshal(rig.answer().reader(), &ctx) == qor_s_ok,
              "the plug-in cannot read a configuration answer");
    }
}

void cacheAnswer(QORAuthzServiceRig& rig)
{
    QOREpochVersion none = {};
    QORURCVersionQuestion q;
    q.setVersion(&none);
    int answerType = -1;
    QORStatus st = rig.handle(q, &answerType);
    check(answered(st), "the cache question is not answered");
    if (st != qor_s_ok)
        return;
    check(answerType == qor_msg_urc_version_answer, "a cache answer of another type");
    QORUnprotResourceCache cache;
    QORURCVersionAnswerContext ctx{&cache, nullptr};
    QORURCVersionAnswerUnmarshaller reader;
    check(reader.unmarshal(rig.answer().reader(), &ctx) == qor_s_ok,
          "the plug-in cannot read the cache answer");
}

void hostQuestions(QORAuthzServiceRig& rig)
{
    std::shared_ptr<const QORAuthzSnapshot> snap = rig.snapshot();
    for (const QORAuthzVHost& h : snap->policy->vhosts()) {
        for (const char* uri : {"/", "/a/b.html", "/dxqor/login"}) {
            QORTestTransaction t;
            t.addServer(h.id.c_str());
            t.request().uri = uri;
            qor_authz_test_http_message(t.request());
            QORAuthzServiceRig::Asked a = rig.ask(t);
            check(answered(a.handled), "a host's question is not answered");
            if (a.handled == qor_s_ok)
                check(a.answerType == qor_msg_web_trans_answer && a.applied == qor_s_ok,
                      "the plug-in cannot apply a host's answer");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* special : {"dev/", "proc/", "sys/", "file:", "syslog"})
        if (text.find(special) != std::string::npos)
            return 0;
    std::vector<std::string> files(1);
    for (char c : text) {
        if (c == '\0' && files.size() < 3)
            files.emplace_back();
        else
            files.back().push_back(c);
    }
    files.resize(3);

    static QORAuthzServiceRig rig("authz-policy-fuzz");
    QORAuthzErrors errors;
    bool loaded = rig.load(files[0], files[1], files[2], &errors);
    check(loaded == errors.lines().empty(), "a load with errors, or a refusal without");
    if (!loaded)
        return 0;
    check(rig.restart() == qor_s_ok, "the service does not start");
    configAnswers(rig);
    cacheAnswer(rig);
    hostQuestions(rig);
    return 0;
}
