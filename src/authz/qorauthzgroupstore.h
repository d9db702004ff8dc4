// qorauthzgroupstore.h: QORAuthzGroupStore, the groups from a file of
// "group: user user ..." lines, looked up by user: the default group
// directory. Read-only after load.
#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"

class QORAuthzGroupStore : public QORAuthzGroupDirectory {
public:
    // Reads the file; an empty path gives a store without groups. Null, with
    // the problems in errors, when the file cannot be read or a line is
    // malformed. A group named twice gets the union of its members.
    static std::unique_ptr<QORAuthzGroupStore> load(const std::string& path,
                                                    QORAuthzErrors* errors);

    // The groups user is in, in file order; empty when none.
    const std::vector<std::string>& groupsOf(const std::string& user) const;
    QORStatus groupsOf(const std::string& user, std::vector<std::string>* groups) override
    {
        *groups = groupsOf(user);
        return qor_s_ok;
    }

private:
    QORAuthzGroupStore() = default;
    std::unordered_map<std::string, std::vector<std::string>> m_byUser;
};
