// qorauthzdecision.h: QORAuthzDecision, what the policy says of a request:
// the object that decides (the nearest one above the request's path, found
// as the unprotected-resource cache finds it), what the method requires on
// the host, and whether everyone, the given user, or nobody holds that.
#pragma once
#include <string>
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"
#include "core/system/qorstatus.h"

enum class QORAuthzOutcome {
    open,         // everyone holds what the method requires
    allowed,      // the user holds it
    login,        // nobody without a login holds it
    forbidden,    // the user does not hold it
    unavailable,  // the user's groups could not be had
};

struct QORAuthzVerdict {
    QORAuthzOutcome outcome;
    QORAuthzLogin login;   // how to ask for a login (outcome login)
};

class QORAuthzDecision {
public:
    // The object name of uri on host, as the plug-in's cache builds it: the
    // host's branch followed by the canonical path.
    static QORStatus objectName(const QORAuthzVHost& host, const char* uri, int uriLength,
                                std::string* name);

    // The decision for method on the object called name; user is null for
    // a request without a (verified) login. The groups are asked for only
    // when the object names a group.
    static QORAuthzVerdict decide(const QORAuthzPolicy& policy, QORAuthzGroupDirectory& groups,
                                  const QORAuthzVHost& host, const std::string& name,
                                  const std::string& method, const std::string* user);
};
