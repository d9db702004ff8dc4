// qorauthzgroupstore.cpp: reading the groups file.
#include "authz/qorauthzgroupstore.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

std::unique_ptr<QORAuthzGroupStore> QORAuthzGroupStore::load(const std::string& path,
                                                             QORAuthzErrors* errors)
{
    std::unique_ptr<QORAuthzGroupStore> store(new QORAuthzGroupStore());
    if (path.empty())
        return store;
    std::string text;
    if (!qor_authz_read_file(path, &text)) {
        errors->add(path, 0, "", std::string("cannot be read: ") + strerror(errno));
        return nullptr;
    }
    bool ok = true;
    std::vector<std::string> lines = qor_authz_lines(text);
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& l = lines[i];
        size_t first = l.find_first_not_of(" \t");
        if (first == std::string::npos || l[first] == '#')
            continue;
        size_t colon = l.find(':');
        std::string group = colon == std::string::npos ? "" : l.substr(first, colon - first);
        while (!group.empty() && (group.back() == ' ' || group.back() == '\t'))
            group.pop_back();
        if (group.empty() || group.find_first_of(" \t") != std::string::npos) {
            errors->add(path, static_cast<int>(i + 1), "", "not \"group: user user ...\": " + l);
            ok = false;
            continue;
        }
        std::istringstream members(l.substr(colon + 1));
        std::string user;
        while (members >> user) {
            std::vector<std::string>& groups = store->m_byUser[user];
            if (std::find(groups.begin(), groups.end(), group) == groups.end())
                groups.push_back(group);
        }
    }
    return ok ? std::move(store) : nullptr;
}

const std::vector<std::string>& QORAuthzGroupStore::groupsOf(const std::string& user) const
{
    static const std::vector<std::string> none;
    auto it = m_byUser.find(user);
    return it == m_byUser.end() ? none : it->second;
}
