// qorurcversionanswerunmarshaller.cpp: reading a cache version answer into
// a new database and installing it.
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

#include "core/msg/qormsg.h"
#include "core/trace/qorlogstatus.h"
#include "msg/core/qormsgitemcursor.h"
#include "msg/core/qorurcversionquestion.h"
#include "plugin/core/qoractiongrouplist.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

const char kComponent[] = "DXQor";
const char kOpenToAll[] = "*";

// A new owned copy of s; null when memory runs out.
QORString* newKey(const QORStringRef& s)
{
    QORString* key = qor_new<QORString>(nullptr);
    if (key != nullptr && !key->set(s)) {
        qor_delete(key);
        key = nullptr;
    }
    return key;
}

// The entry for an object's permission text.
QORStatus newEntry(const QORStringRef& text, QORUnprotResourceCacheBranchDBEntry** entry)
{
    typedef QORUnprotResourceCacheBranchDBEntry Entry;
    if (text.length() == 1 && text.data()[0] == kOpenToAll[0]) {
        *entry = qor_new<Entry>(nullptr, Entry::qor_urc_perm_type_all, nullptr);
        return *entry != nullptr ? qor_s_ok : qor_s_no_memory;
    }
    QORActionGroupList* perms = qor_new<QORActionGroupList>(nullptr, nullptr);
    if (perms == nullptr)
        return qor_s_no_memory;
    QORStatus st = perms->initialize(text);
    if (st != qor_s_ok) {
        qor_delete(perms);
        return st;
    }
    *entry = qor_new<Entry>(nullptr, Entry::qor_urc_perm_type_some, perms);
    if (*entry == nullptr) {
        qor_delete(perms);
        return qor_s_no_memory;
    }
    return qor_s_ok;
}

// Inserts value under a copy of name, taking ownership of value whatever
// the outcome.
template <class Table, class V>
QORStatus insertOwned(Table* table, const QORStringRef& name, V* value)
{
    QORString* key = newKey(name);
    QORStatus st = key != nullptr ? table->insert(key, value) : qor_s_no_memory;
    if (st != qor_s_ok) {
        qor_delete(key);
        qor_delete(value);
    }
    return st;
}

} // namespace

QOR_MSG_CLASS_ALLOCATOR(QORURCVersionAnswerUnmarshaller)

QORURCVersionAnswerUnmarshaller::~QORURCVersionAnswerUnmarshaller() {}

void QORURCVersionAnswerUnmarshaller::deleteMe()
{
    qor_delete(this);
}

QORStatus QORURCVersionAnswerUnmarshaller::marshal(QORSharedMemAllocator&)
{
    return qor_s_not_supported;
}

int QORURCVersionAnswerUnmarshaller::getType() const
{
    return qor_msg_urc_version_answer;
}

QORStatus QORURCVersionAnswerUnmarshaller::getVersion(QORProxyIFMsgBuffer* version)
{
    QORStatus st = qor_msg_read_element(*m_it, *version);
    if (st == qor_s_ok && version->get().getLen() != QOR_EPOCH_VERSION_BUFLEN)
        st = qor_s_msg_unmarshal_failed;
    return st;
}

QORStatus QORURCVersionAnswerUnmarshaller::getBranchName(QORProxyIFMsgString* name)
{
    return qor_msg_read_element(*m_it, *name);
}

QORStatus QORURCVersionAnswerUnmarshaller::getBDBSize(QORProxyIFMsgInt* size)
{
    QORStatus st = qor_msg_read_element(*m_it, *size);
    if (st == qor_s_ok && size->get() < 0)
        st = qor_s_msg_unmarshal_failed;
    return st;
}

QORStatus QORURCVersionAnswerUnmarshaller::getNextBDBEntry(QORURCBranchDB* table)
{
    QORProxyIFMsgNameValue item;
    QORStatus st = qor_msg_read_element(*m_it, item);
    if (st != qor_s_ok)
        return st;
    QORUnprotResourceCacheBranchDBEntry* entry = nullptr;
    st = newEntry(item.getValue(), &entry);
    if (st != qor_s_ok)
        return st;
    return insertOwned(table, item.getName(), entry);
}

bool QORURCVersionAnswerUnmarshaller::nextBranchDBExists() const
{
    return m_it != nullptr && m_it->hasMoreElements();
}

QORStatus QORURCVersionAnswerUnmarshaller::getBranchDB(QORURCDB* db)
{
    QORProxyIFMsgString name;
    QORProxyIFMsgInt size;
    QORStatus st = getBranchName(&name);
    if (st == qor_s_ok)
        st = getBDBSize(&size);
    if (st != qor_s_ok)
        return st;
    QORURCBranchDB* table = qor_new<QORURCBranchDB>(nullptr, nullptr, true);
    if (table == nullptr)
        return qor_s_no_memory;
    st = table->initialize(QORUnprotResourceCache::kEntryBuckets);
    // The count is not trusted to size anything: each entry needs an
    // element, and a chain that ends first is refused.
    for (int i = 0; st == qor_s_ok && i < size.get(); i++)
        st = getNextBDBEntry(table);
    if (st != qor_s_ok) {
        qor_delete(table);
        return st;
    }
    return insertOwned(db, name.get(), table);
}

QORStatus QORURCVersionAnswerUnmarshaller::getDB(QORURCDB** db)
{
    *db = nullptr;
    if (!nextBranchDBExists())
        return qor_s_ok;
    QORURCDB* built = qor_new<QORURCDB>(nullptr, nullptr, true);
    if (built == nullptr)
        return qor_s_no_memory;
    QORStatus st = built->initialize(QORUnprotResourceCache::kBranchBuckets);
    while (st == qor_s_ok && nextBranchDBExists())
        st = getBranchDB(built);
    if (st != qor_s_ok) {
        qor_delete(built);
        return st;
    }
    *db = built;
    return qor_s_ok;
}

QORStatus QORURCVersionAnswerUnmarshaller::unmarshal(QORSharedMemIterator& it, void* context)
{
    QORURCVersionAnswerContext* ctx = static_cast<QORURCVersionAnswerContext*>(context);
    QORLog* log = ctx != nullptr ? ctx->log : nullptr;
    m_it = &it;
    if (ctx == nullptr || ctx->cache == nullptr) {
        qor_log_status(log, __FILE__, __LINE__, kComponent, qor_s_invalid_argument);
        return qor_s_invalid_argument;
    }
    QORProxyIFMsgBuffer version;
    QORStatus st = getVersion(&version);
    if (st != qor_s_ok) {
        qor_log_status(log, __FILE__, __LINE__, kComponent, st);
        return st;
    }
    QORURCDB* db = nullptr;
    st = getDB(&db);
    if (st != qor_s_ok) {
        qor_log_status(log, __FILE__, __LINE__, kComponent, st);
        return st;
    }
    if (db == nullptr)
        return qor_s_ok;
    QORUnprotResourceCache& cache = *ctx->cache;
    st = cache.writeLock();
    if (st != qor_s_ok) {
        qor_delete(db);
        return st;
    }
    cache.setVersion(version.get().getData());
    cache.setDB(db);
    return cache.unlock();
}
