// qoractiongroup.h: QORActionGroup, a named set of one-character actions in
// the protected object space's permissions. The unprotected-resource cache
// compares groups by name and checks that one group holds the actions
// another requires.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

class QORActionGroup {
public:
    explicit QORActionGroup(QORAllocator* allocator = nullptr);
    QORActionGroup(const QORActionGroup&) = delete;
    QORActionGroup& operator=(const QORActionGroup&) = delete;
    ~QORActionGroup();

    // Copies name (and actions, when not null). 0x35f0200c when memory runs
    // out; the group is then left without name and actions.
    QORStatus initialize(const QORStringRef& name, const QORStringRef* actions);

    // Null before initialize.
    const QORString* getName() const { return m_name; }
    // Null while the group has no actions.
    const QORString* getActions() const { return m_actions; }

    // action is one of the group's action characters.
    bool contains(char action) const;
    // Same length, same bytes.
    bool match(const QORString& name) const { return match(QORStringRef(name)); }
    bool match(const QORStringRef& name) const;
    // Every character of actions is contained; true for null or empty.
    bool checkActions(const QORString* actions) const;
    // Appends the characters (repeats are kept; nothing is made for none);
    // 0x35f0200c when memory runs out, leaving the actions as they were.
    QORStatus addActions(const QORString* actions);
    QORStatus addActions(const QORStringRef& actions);

    // The name's characters, so that a searchable list finds a group by name.
    const char* data() const { return m_name ? m_name->data() : ""; }
    int length() const { return m_name ? m_name->length() : 0; }

private:
    QORString* m_name = nullptr;
    QORString* m_actions = nullptr;
    QORAllocator* m_allocator;
};
