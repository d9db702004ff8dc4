// qorauthzreload.cpp: loading and swapping snapshots.
#include "authz/qorauthzreload.h"

std::unique_ptr<QORAuthzSnapshot> QORAuthzSnapshot::load(const std::string& path,
                                                         QORAuthzErrors* errors,
                                                         QORAuthzErrors* warnings)
{
    std::unique_ptr<QORAuthzSnapshot> s(new QORAuthzSnapshot());
    s->policy = QORAuthzPolicy::load(path, errors);
    if (!s->policy)
        return nullptr;
    s->users = QORAuthzUserStore::load(s->policy->settings().usersFile, errors, warnings);
    s->groups = QORAuthzGroupStore::load(s->policy->settings().groupsFile, errors);
    if (!s->users || !s->groups)
        return nullptr;
    return s;
}

bool QORAuthzPolicyHolder::start(const std::string& path, QORAuthzErrors* errors,
                                 QORAuthzErrors* warnings)
{
    m_path = path;
    std::unique_ptr<QORAuthzSnapshot> s = QORAuthzSnapshot::load(path, errors, warnings);
    if (!s)
        return false;
    if (s->version.renew() != qor_s_ok) {
        errors->add(path, 0, "", "no random bytes for the cache version");
        return false;
    }
    s->version.m_counter = 1;
    std::lock_guard<std::mutex> guard(m_lock);
    m_current = std::move(s);
    return true;
}

bool QORAuthzPolicyHolder::reload(QORAuthzErrors* errors, QORAuthzErrors* warnings)
{
    std::unique_ptr<QORAuthzSnapshot> s = QORAuthzSnapshot::load(m_path, errors, warnings);
    if (!s)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    s->version = m_current->version;
    s->version.increment();
    m_current = std::move(s);
    return true;
}

std::shared_ptr<const QORAuthzSnapshot> QORAuthzPolicyHolder::current() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_current;
}
