// qoractiongroup.cpp: a named set of action characters.
#include "plugin/core/qoractiongroup.h"

#include <cstring>

QORActionGroup::QORActionGroup(QORAllocator* allocator)
    : m_allocator(allocator)
{
}

QORActionGroup::~QORActionGroup()
{
    qor_delete(m_name);
    qor_delete(m_actions);
}

QORStatus QORActionGroup::initialize(const QORStringRef& name, const QORStringRef* actions)
{
    qor_delete(m_name);
    qor_delete(m_actions);
    m_actions = nullptr;
    m_name = qor_new<QORString>(m_allocator, m_allocator);
    if (m_name == nullptr || !m_name->set(name)) {
        qor_delete(m_name);
        m_name = nullptr;
        return qor_s_no_memory;
    }
    if (actions != nullptr && addActions(*actions) != qor_s_ok) {
        qor_delete(m_name);
        m_name = nullptr;
        return qor_s_no_memory;
    }
    return qor_s_ok;
}

bool QORActionGroup::contains(char action) const
{
    if (m_actions == nullptr || m_actions->isEmpty())
        return false;
    return memchr(m_actions->data(), action, static_cast<size_t>(m_actions->length()))
           != nullptr;
}

bool QORActionGroup::match(const QORStringRef& name) const
{
    int n = length();
    return n == name.length() && (n == 0 || memcmp(data(), name.data(), static_cast<size_t>(n)) == 0);
}

bool QORActionGroup::checkActions(const QORString* actions) const
{
    if (actions == nullptr)
        return true;
    const char* p = actions->data();
    for (int i = 0; i < actions->length(); i++) {
        if (!contains(p[i]))
            return false;
    }
    return true;
}

QORStatus QORActionGroup::addActions(const QORString* actions)
{
    if (actions == nullptr)
        return qor_s_ok;
    return addActions(QORStringRef(*actions));
}

QORStatus QORActionGroup::addActions(const QORStringRef& actions)
{
    if (actions.isEmpty())
        return qor_s_ok;
    if (m_actions == nullptr) {
        m_actions = qor_new<QORString>(m_allocator, m_allocator);
        if (m_actions == nullptr)
            return qor_s_no_memory;
    }
    return m_actions->append(actions) ? qor_s_ok : qor_s_no_memory;
}
