// qorunprotresourcecache.cpp: the cache's data, its lock and its lookups.
#include "urc/plugin/qorunprotresourcecache.h"

#include <cstring>

#include "plugin/core/qoractiongrouplist.h"

QORUnprotResourceCacheBranchDBEntry::~QORUnprotResourceCacheBranchDBEntry()
{
    qor_delete(m_perms);
}

QORUnprotResourceCache::QORUnprotResourceCache() = default;

QORUnprotResourceCache::~QORUnprotResourceCache()
{
    qor_delete(m_db);
}

QORStatus QORUnprotResourceCache::readLock() const
{
    m_lock.readLock();
    return qor_s_ok;
}

QORStatus QORUnprotResourceCache::writeLock() const
{
    m_lock.writeLock();
    return qor_s_ok;
}

QORStatus QORUnprotResourceCache::unlock() const
{
    m_lock.unlock();
    return qor_s_ok;
}

void QORUnprotResourceCache::setDB(QORURCDB* db)
{
    if (db == m_db)
        return;
    qor_delete(m_db);
    m_db = db;
}

void QORUnprotResourceCache::setVersion(const unsigned char* bytes)
{
    memcpy(&m_version, bytes, sizeof m_version);
}

const QORURCBranchDB* QORUnprotResourceCache::branchDB(const QORStringRef& branch) const
{
    return m_db != nullptr ? m_db->find(branch) : nullptr;
}

int QORUnprotResourceCache::size(const QORString* branch) const
{
    if (m_db == nullptr || branch == nullptr)
        return -1;
    QORURCDB::Node* n = m_db->lookup(*branch);
    if (n == nullptr || n->value == nullptr)
        return -1;
    return static_cast<int>(n->value->entries());
}

QORStatus QORUnprotResourceCache::lookupStart(const QORString* branch, void** handle) const
{
    if (m_db == nullptr || branch == nullptr)
        return qor_s_urc_no_db;
    QORURCDB::Node* n = m_db->lookup(*branch);
    if (n == nullptr || n->value == nullptr)
        return qor_s_urc_no_db;
    *handle = n->value;
    return qor_s_ok;
}

QORStatus QORUnprotResourceCache::lookupDB(void* handle, const QORString* objectName,
                                           const QORUnprotResourceCacheBranchDBEntry** entry) const
{
    const QORURCBranchDB* branch = static_cast<const QORURCBranchDB*>(handle);
    *entry = nullptr;
    if (branch != nullptr && objectName != nullptr)
        *entry = branch->find(*objectName);
    return qor_s_ok;
}
