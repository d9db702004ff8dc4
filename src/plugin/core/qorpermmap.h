// qorpermmap.h: QORPermMap, a virtual host's map from HTTP method name to
// the action groups a request with that method needs, with a default for
// methods without an entry of their own. Built by the configuration answer,
// owned by the virtual host, read by the unprotected-resource cache.
// Ownership: every method key and action-group list the map is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorhashtable.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"
#include "plugin/core/qoractiongrouplist.h"

class QORPermMap {
public:
    static const unsigned kMethodBuckets = 5;

    explicit QORPermMap(QORAllocator* allocator = nullptr);
    QORPermMap(const QORPermMap&) = delete;
    QORPermMap& operator=(const QORPermMap&) = delete;
    ~QORPermMap();

    // Empties the method table (deleting keys and lists), gives it 5 buckets
    // and deletes the default list. 0 or 0x35f0200c.
    QORStatus initialize();
    // Deletes the previous default list and holds list (made with qor_new,
    // or null).
    void setDefaultPerms(QORActionGroupList* list);
    // Adds an entry ahead of any earlier one for the same method, which it
    // then shadows. The map owns method and list from here on, also when
    // this fails; both must come from qor_new (makeMethodKey gives a
    // suitable key). A null method stops the process. 0 or 0x35f0200c.
    QORStatus setPerms(QORStringRef* method, QORActionGroupList* list);
    // The list for method (exact, case-sensitive name), else the default
    // list, which may be null.
    const QORActionGroupList* getPerms(const QORStringRef& method) const;
    // Empties the table, releases its buckets and deletes the default list;
    // returns 0.
    QORStatus shutdown();

    const QORActionGroupList* getDefaultPerms() const { return m_defaultPerms; }
    unsigned entries() const { return m_methods ? m_methods->entries() : 0; }

    // A key for setPerms holding its own copy of method's characters in the
    // same block (qor_delete releases both); null when memory runs out.
    static QORStringRef* makeMethodKey(const QORStringRef& method,
                                       QORAllocator* allocator = nullptr);

private:
    typedef QORHashTable<QORStringRef, QORActionGroupList*> MethodTable;

    QORStatus makeTable();

    QORActionGroupList* m_defaultPerms = nullptr;
    MethodTable* m_methods = nullptr;
    QORAllocator* m_allocator;
};
