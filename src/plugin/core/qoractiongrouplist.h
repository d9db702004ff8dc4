// qoractiongrouplist.h: QORActionGroupList, the permissions an object grants
// or a method requires, as a list of action groups built from their text
// form, e.g. "Tr[Audit]gm": the actions of the group "primary" first, then
// "[" name "]" and actions per further group. The unprotected-resource
// cache decides with resolveActionGroupList whether what an object grants
// covers what a request needs.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorsearchablelist.h"
#include "core/system/qorstatus.h"
#include "plugin/core/qoractiongroup.h"

enum : QORStatusCode {
    qor_s_invalid_action_set = QOR_MSG_ID(1153),   // 0x35f02481, XLTIC1153E
};

class QORActionGroupList : public QORSearchableList<QORActionGroup, QORStringRef> {
public:
    // The group actions before the first "[" belong to.
    static const char* const kPrimaryGroupName;   // "primary"

    // Owns its groups; they and the list's nodes come from allocator.
    explicit QORActionGroupList(QORAllocator* allocator = nullptr);
    virtual ~QORActionGroupList();

    // Parses the text form: an optional run of actions for "primary" (the
    // group is made, maybe empty, unless text starts with "["), then any
    // number of "[" name "]" actions; a name seen again extends its group.
    // 0x35f0200f when already initialized, 0x35f02481 for a "[" without
    // "]", 0x35f0200c when memory runs out. Any failure leaves the list
    // empty and uninitialized.
    QORStatus initialize(const QORStringRef& text);
    // True when for every group of required, in order, the first group of
    // this list with its name holds all of its actions. An empty required
    // list is covered by any list.
    bool resolveActionGroupList(const QORActionGroupList& required) const;
    // Deletes every group and clears the initialized flag; returns 0.
    QORStatus shutdown();

    bool isInitialized() const { return m_initialized; }
    // The first group named name, or null.
    QORActionGroup* findGroup(const QORStringRef& name) const { return find(name).get(); }
    // Writes the text form back (a first "primary" group without brackets,
    // every other group as "[" name "]" actions) in place of out's content.
    // False when memory runs out.
    bool toText(QORString* out) const;

private:
    QORStatus addGroup(const QORStringRef& name, const QORStringRef& actions);

    bool m_initialized = false;
};
