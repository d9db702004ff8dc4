// qorauthzdecision.cpp: the decision table.
#include "authz/qorauthzdecision.h"
#include "core/buffers/qorstring.h"
#include "core/http/qorhttp.h"
#include "plugin/core/qorpluginvirtualhost.h"

QORStatus QORAuthzDecision::objectName(const QORAuthzVHost& host, const char* uri, int uriLength,
                                       std::string* name)
{
    QORString path;
    QORStatus st = QORHTTP::processURI((host.flags & qor_vhost_case_insensitive) == 0,
                                       (host.flags & qor_vhost_win32_filesystem) != 0,
                                       QORStringRef(uri, uriLength), &path);
    if (st != qor_s_ok)
        return st;
    *name = host.branch;
    name->append(path.data(), static_cast<size_t>(path.length()));
    return qor_s_ok;
}

namespace {

// Appends actions so that text holds the union: an action run without a
// group goes to "primary" explicitly, as it would not after another group.
void addActions(std::string* text, const std::string& actions)
{
    if (actions.empty() || actions[0] != '[')
        *text += std::string("[") + QORActionGroupList::kPrimaryGroupName + "]";
    *text += actions;
}

} // namespace

QORAuthzVerdict QORAuthzDecision::decide(const QORAuthzPolicy& policy,
                                         QORAuthzGroupDirectory& groups,
                                         const QORAuthzVHost& host, const std::string& name,
                                         const std::string& method, const std::string* user)
{
    const QORAuthzObject* object = policy.findObject(name);
    const QORActionGroupList& required = host.perms.required(method);
    if (object != nullptr
        && (object->open || object->unauthList->resolveActionGroupList(required)))
        return {QORAuthzOutcome::open, QORAuthzLogin::basic};
    QORAuthzLogin login = object != nullptr ? object->login : QORAuthzLogin::basic;
    if (user == nullptr)
        return {QORAuthzOutcome::login, login};
    if (object == nullptr)
        return {QORAuthzOutcome::forbidden, login};

    std::string held;
    if (!object->unauthenticated.empty())
        addActions(&held, object->unauthenticated);
    bool all = false;
    for (auto& g : object->users)
        if (g.name == *user) {
            all = all || g.actions == "*";
            addActions(&held, g.actions);
        }
    std::vector<std::string> mine;
    if (!object->groups.empty() && groups.groupsOf(*user, &mine) != qor_s_ok)
        return {QORAuthzOutcome::unavailable, login};
    for (auto& g : object->groups)
        for (auto& m : mine)
            if (g.name == m) {
                all = all || g.actions == "*";
                addActions(&held, g.actions);
            }
    if (all)
        return {QORAuthzOutcome::allowed, login};
    QORActionGroupList list;
    bool ok = !held.empty()
              && list.initialize(QORStringRef(held.data(), static_cast<int>(held.size()))) == qor_s_ok
              && list.resolveActionGroupList(required);
    return {ok ? QORAuthzOutcome::allowed : QORAuthzOutcome::forbidden, login};
}
