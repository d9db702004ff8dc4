// qorauthzreload.cpp: loading and swapping snapshots.
#include "authz/qorauthzreload.h"
#include <cerrno>
#include <cstring>
#include "authz/qorauthzbackends.h"
#include "authz/qorauthzloginform.h"

std::unique_ptr<QORAuthzSnapshot> QORAuthzSnapshot::load(const std::string& path,
                                                         QORAuthzErrors* errors,
                                                         QORAuthzErrors* warnings)
{
    std::unique_ptr<QORAuthzSnapshot> s(new QORAuthzSnapshot());
    s->policy = QORAuthzPolicy::load(path, errors);
    if (!s->policy)
        return nullptr;
    bool directories = qor_authz_make_directories(s->policy->settings(), errors, warnings,
                                                  &s->users, &s->groups);
    const std::string& page = s->policy->settings().loginTemplate;
    s->loginTemplate = QORAuthzLoginForm::kDefaultTemplate;
    bool pageRead = true;
    if (!page.empty()) {
        pageRead = qor_authz_read_file(page, &s->loginTemplate);
        if (!pageRead)
            errors->add(page, 0, "", std::string("cannot be read: ") + strerror(errno));
        else if (s->loginTemplate.find("{{token}}") == std::string::npos) {
            errors->add(page, 0, "", "the login page has no {{token}}");
            pageRead = false;
        }
    }
    if (!directories || !pageRead)
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
