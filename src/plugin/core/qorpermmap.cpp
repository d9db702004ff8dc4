// qorpermmap.cpp: a virtual host's required permissions by HTTP method.
#include "plugin/core/qorpermmap.h"

#include <cstring>
#include "core/system/qorassert.h"

QORPermMap::QORPermMap(QORAllocator* allocator)
    : m_allocator(allocator)
{
}

QORPermMap::~QORPermMap()
{
    (void)shutdown(); // a destructor has no one to tell
}

QORStatus QORPermMap::initialize()
{
    (void)shutdown(); // emptying what was there; the new table decides
    return makeTable();
}

QORStatus QORPermMap::makeTable()
{
    m_methods = qor_new<MethodTable>(m_allocator, m_allocator, true);
    if (m_methods == nullptr)
        return qor_s_no_memory;
    QORStatus st = m_methods->initialize(kMethodBuckets);
    if (st != qor_s_ok) {
        qor_delete(m_methods);
        m_methods = nullptr;
    }
    return st;
}

void QORPermMap::setDefaultPerms(QORActionGroupList* list)
{
    if (list != m_defaultPerms)
        qor_delete(m_defaultPerms);
    m_defaultPerms = list;
}

QORStatus QORPermMap::setPerms(QORStringRef* method, QORActionGroupList* list)
{
    QOR_ASSERT(method != nullptr);
    // A map that was never initialized gets its table on first use.
    QORStatus st = m_methods != nullptr ? qor_s_ok : makeTable();
    if (st == qor_s_ok)
        st = m_methods->insert(method, list);
    if (st != qor_s_ok) {
        qor_delete(method);
        qor_delete(list);
    }
    return st;
}

const QORActionGroupList* QORPermMap::getPerms(const QORStringRef& method) const
{
    if (m_methods != nullptr) {
        MethodTable::Node* n = m_methods->lookup(method);
        if (n != nullptr && n->value != nullptr)
            return n->value;
    }
    return m_defaultPerms;
}

QORStatus QORPermMap::shutdown()
{
    qor_delete(m_methods);
    m_methods = nullptr;
    qor_delete(m_defaultPerms);
    m_defaultPerms = nullptr;
    return qor_s_ok;
}

QORStringRef* QORPermMap::makeMethodKey(const QORStringRef& method, QORAllocator* allocator)
{
    int n = method.length();
    void* block = qor_allocated_alloc(allocator, sizeof(QORStringRef) + static_cast<size_t>(n) + 1);
    if (block == nullptr)
        return nullptr;
    char* text = static_cast<char*>(block) + sizeof(QORStringRef);
    if (n > 0)
        memcpy(text, method.data(), static_cast<size_t>(n));
    text[n] = 0;
    // qor_delete destroys the view and frees the block, characters included.
    return ::new (block) QORStringRef(text, n, allocator);
}
