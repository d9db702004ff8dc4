// qorauthzreload.h: the policy in force and its replacement. A snapshot is
// the policy with the user and group directories it chooses, stamped with the cache
// version; QORAuthzPolicyHolder keeps the current one and swaps in a new
// one on reload, only when the new files are all valid. Workers take the
// current snapshot per question and keep it for the whole answer, so a
// reload never changes a decision halfway.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"
#include "core/sundry/qorepochversion.h"

struct QORAuthzSnapshot {
    std::unique_ptr<QORAuthzPolicy> policy;
    // One object when a directory server holds both.
    std::shared_ptr<QORAuthzUserDirectory> users;
    std::shared_ptr<QORAuthzGroupDirectory> groups;
    QOREpochVersion version;
    // The login page template (the built-in one unless the policy names
    // a file).
    std::string loginTemplate;

    // Reads the policy at path and the files it names. Null, with every
    // problem in errors, when any is invalid; warnings are problems that do
    // not stop the load (a refused password entry).
    static std::unique_ptr<QORAuthzSnapshot> load(const std::string& path, QORAuthzErrors* errors,
                                                  QORAuthzErrors* warnings);
};

class QORAuthzPolicyHolder {
public:
    // The first load: a new random version identifier, counter 1.
    bool start(const std::string& path, QORAuthzErrors* errors, QORAuthzErrors* warnings);
    // Reads the files again; when all are valid the new snapshot replaces
    // the old with the counter raised, else nothing changes.
    bool reload(QORAuthzErrors* errors, QORAuthzErrors* warnings);
    std::shared_ptr<const QORAuthzSnapshot> current() const;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    mutable std::mutex m_lock;
    std::shared_ptr<const QORAuthzSnapshot> m_current;
};
