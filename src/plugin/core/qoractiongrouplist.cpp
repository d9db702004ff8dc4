// qoractiongrouplist.cpp: the text form of an action group list and the
// check that one list covers another.
#include "plugin/core/qoractiongrouplist.h"

#include <cstring>

const char* const QORActionGroupList::kPrimaryGroupName = "primary";

namespace {
const QORStatus kAlreadyInitialized = QOR_MSG_ID(15);   // XLTIC0015E
}

QORActionGroupList::QORActionGroupList(QORAllocator* allocator)
    : QORSearchableList<QORActionGroup, QORStringRef>(allocator, true)
{
}

QORActionGroupList::~QORActionGroupList() = default;

QORStatus QORActionGroupList::addGroup(const QORStringRef& name, const QORStringRef& actions)
{
    QORActionGroup* group = findGroup(name);
    if (group != nullptr)
        return group->addActions(actions);
    group = qor_new<QORActionGroup>(allocator(), allocator());
    if (group == nullptr)
        return qor_s_no_memory;
    QORStatus st = group->initialize(name, &actions);
    if (st == qor_s_ok)
        st = add(group);
    if (st != qor_s_ok)
        qor_delete(group);
    return st;
}

QORStatus QORActionGroupList::initialize(const QORStringRef& text)
{
    if (m_initialized) {
        (void)shutdown(); // the refusal below is what the caller hears
        return kAlreadyInitialized;
    }
    // "[" and "]" are ASCII, so a byte search cannot land inside a
    // multi-byte UTF-8 character.
    const char* p = text.data();
    const char* end = p + text.length();
    const char* open = static_cast<const char*>(memchr(p, '[', static_cast<size_t>(end - p)));
    QORStatus st = qor_s_ok;
    if (open != p) {
        const char* stop = open ? open : end;
        st = addGroup(QORStringRef(kPrimaryGroupName),
                      QORStringRef(p, static_cast<int>(stop - p)));
    }
    while (st == qor_s_ok && open != nullptr) {
        const char* name = open + 1;
        const char* close = static_cast<const char*>(
            memchr(name, ']', static_cast<size_t>(end - name)));
        if (close == nullptr) {
            st = qor_s_invalid_action_set;
            break;
        }
        const char* actions = close + 1;
        open = static_cast<const char*>(memchr(actions, '[', static_cast<size_t>(end - actions)));
        const char* stop = open ? open : end;
        st = addGroup(QORStringRef(name, static_cast<int>(close - name)),
                      QORStringRef(actions, static_cast<int>(stop - actions)));
    }
    if (st != qor_s_ok) {
        (void)shutdown(); // st is what the caller hears
        return st;
    }
    m_initialized = true;
    return qor_s_ok;
}

bool QORActionGroupList::resolveActionGroupList(const QORActionGroupList& required) const
{
    for (Iterator it = required.begin(); it.isValid(); it.next()) {
        const QORActionGroup* need = it.get();
        const QORActionGroup* have = findGroup(QORStringRef(need->data(), need->length()));
        if (have == nullptr || !have->checkActions(need->getActions()))
            return false;
    }
    return true;
}

QORStatus QORActionGroupList::shutdown()
{
    delEntries();
    m_initialized = false;
    return qor_s_ok;
}

bool QORActionGroupList::toText(QORString* out) const
{
    out->clear();
    for (Iterator it = begin(); it.isValid(); it.next()) {
        const QORActionGroup* group = it.get();
        // A leading "primary" goes without brackets, unless it is empty and
        // a bracket would follow: that text would read back without it.
        bool bare = it.index() == 0 && group->match(QORStringRef(kPrimaryGroupName))
                    && (group->getActions() != nullptr || entries() == 1);
        if (!bare
            && !(out->append('[') && out->append(group->data(), group->length())
                 && out->append(']')))
            return false;
        if (group->getActions() != nullptr && !out->append(*group->getActions()))
            return false;
    }
    return true;
}
