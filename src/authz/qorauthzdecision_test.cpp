// The decision table: path, method and user to the outcome.
#include "authz/qorauthzdecision.h"
#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <string>
#include "authz/qorauthzgroupstore.h"
#include "qortestdir.h"

TEST(QORAuthzDecisionTest, TheNearestObjectAndTheUsersActionsDecide)
{
    QORTestDir dir("authz-dec");
    ASSERT_TRUE(dir.write(
        "policy",
        "[virtual-host www]\nbranch = /w\ncase-sensitive = no\n"
        "default-permission = r\npermission = POST rw\npermission = AUDIT [Audit]g\n"
        "[object /w]\nunauthenticated = *\n"
        "[object /w/docs]\nunauthenticated = r\nuser = ed rw\n"
        "[object /w/team]\nmethod = form\ngroup = staff r\ngroup = leads w[Audit]g\n"
        "user = eve *\n"
        "[object /w/team/closed]\n"));
    ASSERT_TRUE(dir.write("groups", "staff: ann bo\nleads: bo\n"));
    QORAuthzErrors errors;
    auto policy = QORAuthzPolicy::load(dir.file("policy"), &errors);
    auto groups = QORAuthzGroupStore::load(dir.file("groups"), &errors);
    ASSERT_TRUE(policy && groups) << (errors.empty() ? "" : errors.lines()[0]);
    const QORAuthzVHost& host = policy->vhosts()[0];

    typedef QORAuthzOutcome O;
    const QORAuthzLogin B = QORAuthzLogin::basic, F = QORAuthzLogin::form;
    struct {
        const char* uri;
        const char* method;
        const char* user;   // null: no login
        O outcome;
        QORAuthzLogin login;
    } rows[] = {
        {"/index.html", "GET", nullptr, O::open, B},
        {"/index.html", "DELETE", nullptr, O::open, B},
        {"/docs/a", "GET", nullptr, O::open, B},
        {"/DOCS//a", "GET", nullptr, O::open, B},          // canonical, lower case
        {"/docs/a", "POST", nullptr, O::login, B},
        {"/docs/a", "POST", "ed", O::allowed, B},
        {"/docs/a", "POST", "ann", O::forbidden, B},       // not named on /w/docs
        {"/team/x", "GET", nullptr, O::login, F},
        {"/team/x", "GET", "ann", O::allowed, F},
        {"/team/x", "POST", "ann", O::forbidden, F},
        {"/team/x", "POST", "bo", O::allowed, F},          // r from staff, w from leads
        {"/team/x", "AUDIT", "bo", O::allowed, F},
        {"/team/x", "AUDIT", "ann", O::forbidden, F},
        {"/team/x", "DELETE", "eve", O::allowed, F},       // "*": every action
        {"/team/closed/y", "GET", "eve", O::forbidden, B}, // the nearest object decides
        {"/team/closed/y", "GET", nullptr, O::login, B},
    };
    for (auto& row : rows) {
        std::string name, user = row.user ? row.user : "";
        ASSERT_EQ(QORAuthzDecision::objectName(host, row.uri, (int)strlen(row.uri), &name), qor_s_ok);
        QORAuthzVerdict v = QORAuthzDecision::decide(*policy, *groups, host, name, row.method,
                                                     row.user ? &user : nullptr);
        EXPECT_EQ(v.outcome, row.outcome) << row.uri << " " << row.method << " " << user;
        if (v.outcome == O::login) {
            EXPECT_EQ(v.login, row.login) << row.uri;
        }
    }
}
