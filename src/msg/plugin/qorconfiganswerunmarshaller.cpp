// qorconfiganswerunmarshaller.cpp: reading a configuration answer into the
// core's tables, cache settings and virtual-host list.
#include "msg/plugin/qorconfiganswerunmarshaller.h"

#include <cstring>

#include "core/msg/qormsg.h"
#include "core/trace/qorlogstatus.h"
#include "msg/core/qormsgitemcursor.h"
#include "msg/plugin/qorconfiganswercontext.h"
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

const char kComponent[] = "DXQor";

// One of the core's name tables as the target of commands 0 and 1. The first
// insert write-locks the table and empties it; the lock is held until the
// target goes, at the end of the answer.
template <class V>
class TableTarget {
public:
    TableTarget(QORProtectedHashTable<QORString, V>* table, int buckets)
        : m_table(table)
        , m_buckets(buckets)
    {
    }
    ~TableTarget()
    {
        if (m_locked)
            m_table->unlock();
    }
    TableTarget(const TableTarget&) = delete;
    TableTarget& operator=(const TableTarget&) = delete;

    bool exists() const { return m_table != nullptr; }

    QORStatus insert(const QORStringRef& name, V value)
    {
        if (!m_locked) {
            m_table->writeLock();
            m_locked = true;
            m_table->shutdown();
            QORStatus st = m_buckets > 0
                ? m_table->initialize(static_cast<unsigned>(m_buckets))
                : qor_s_invalid_argument;
            if (st != qor_s_ok)
                return st;
        }
        QORAllocator* a = m_table->allocator();
        QORString* key = qor_new<QORString>(a, a);
        if (key == nullptr)
            return qor_s_no_memory;
        QORStatus st = key->set(name) ? m_table->insert(key, value) : qor_s_no_memory;
        if (st != qor_s_ok)
            qor_delete(key);
        return st;
    }

private:
    QORProtectedHashTable<QORString, V>* m_table;
    int m_buckets;
    bool m_locked = false;
};

// A new action group list parsed from text; null with *status set on failure.
QORActionGroupList* newActionGroupList(QORAllocator* a, const QORStringRef& text,
                                       QORStatus* status)
{
    QORActionGroupList* list = qor_new<QORActionGroupList>(a, a);
    if (list == nullptr) {
        *status = qor_s_no_memory;
        return nullptr;
    }
    *status = list->initialize(text);
    if (*status != qor_s_ok) {
        qor_delete(list);
        return nullptr;
    }
    return list;
}

bool isDefaultPermsName(const QORStringRef& name)
{
    size_t n = strlen(kQORConfigDefaultPermsName);
    return name.length() == static_cast<int>(n) &&
           memcmp(name.data(), kQORConfigDefaultPermsName, n) == 0;
}

} // namespace

QOR_MSG_CLASS_ALLOCATOR(QORConfigAnswerUnmarshaller)

QORConfigAnswerUnmarshaller::~QORConfigAnswerUnmarshaller() {}

void QORConfigAnswerUnmarshaller::deleteMe()
{
    qor_delete(this);
}

QORStatus QORConfigAnswerUnmarshaller::marshal(QORSharedMemAllocator&)
{
    return qor_s_not_supported;
}

int QORConfigAnswerUnmarshaller::getType() const
{
    return qor_msg_config_answer;
}

QORStatus QORConfigAnswerUnmarshaller::unmarshal(QORSharedMemIterator& it, void* context)
{
    QORConfigAnswerContext* ctx = static_cast<QORConfigAnswerContext*>(context);
    QORLog* log = ctx != nullptr ? ctx->log : nullptr;
    m_it = &it;
    m_nextStatus = qor_s_ok;
    TableTarget<int> postURIs(ctx != nullptr ? ctx->postURIs : nullptr,
                              ctx != nullptr ? ctx->postURIBuckets : 0);
    TableTarget<unsigned int> configFlags(ctx != nullptr ? ctx->configFlags : nullptr,
                                          ctx != nullptr ? ctx->configFlagBuckets : 0);

    QORStatus st = it.hasMoreElements() ? getMoreData(&m_numCmds) : qor_s_msg_unmarshal_failed;
    while (st == qor_s_ok && next()) {
        int id = getConfigID();
        bool known = true;
        switch (id) {
        case qor_config_cmd_post_uri:
        case qor_config_cmd_flag: {
            known = id == qor_config_cmd_post_uri ? postURIs.exists() : configFlags.exists();
            if (!known)
                break;
            QORProxyIFMsgNameInt item;
            st = getConfigData(&item);
            if (st != qor_s_ok)
                break;
            if (id == qor_config_cmd_post_uri)
                st = postURIs.insert(item.getName(), item.getValue());
            else
                st = configFlags.insert(item.getName(),
                                        static_cast<unsigned int>(item.getValue()));
            break;
        }
        case qor_config_cmd_urc: {
            known = ctx != nullptr;
            if (!known)
                break;
            QORProxyIFMsgInt enabled;
            st = getConfigData(&enabled);
            if (st != qor_s_ok)
                break;
            ctx->urcEnabled = enabled.get() != 0;
            ctx->urcPollInterval = -1;
            if (ctx->urcEnabled) {
                QORProxyIFMsgInt interval;
                st = getMoreData(&interval);
                if (st == qor_s_ok)
                    ctx->urcPollInterval = interval.get();
            }
            break;
        }
        case qor_config_cmd_vhost_list:
            known = ctx != nullptr && ctx->vhostList != nullptr;
            if (known)
                st = getVHostListData(ctx->vhostList);
            break;
        default:
            known = false;
            break;
        }
        if (!known) {
            qor_log_message(log, __FILE__, __LINE__, kComponent,
                            qor_s_config_invalid_command_msg, id);
            return qor_s_config_invalid_command;
        }
    }
    if (st == qor_s_ok)
        st = m_nextStatus;
    if (st != qor_s_ok)
        qor_log_status(log, __FILE__, __LINE__, kComponent, st);
    return st;
}

bool QORConfigAnswerUnmarshaller::next()
{
    m_nextStatus = qor_s_ok;
    if (m_it == nullptr || !m_it->hasMoreElements())
        return false;
    m_nextStatus = getMoreData(&m_configID);
    return m_nextStatus == qor_s_ok;
}

QORStatus QORConfigAnswerUnmarshaller::getConfigData(QORProxyIFMsgData* item)
{
    return decode(item);
}

QORStatus QORConfigAnswerUnmarshaller::getMoreData(QORProxyIFMsgData* item)
{
    if (m_it == nullptr || !m_it->hasMoreElements())
        return qor_s_no_memory;
    QORMsgItemReader r;
    QORStatus st = qor_msg_next_element(*m_it, &r);
    if (st != qor_s_ok)
        return st;
    m_data.set(r.current(), r.remaining());
    return decode(item);
}

QORStatus QORConfigAnswerUnmarshaller::decode(QORProxyIFMsgData* item)
{
    int used = item->unmarshal(m_data.getData(), m_data.getLen());
    if (used <= 0 || used > m_data.getLen())
        return qor_s_msg_unmarshal_failed;
    m_data.set(m_data.getData() + used, m_data.getLen() - used);
    return qor_s_ok;
}

QORStatus QORConfigAnswerUnmarshaller::getVHostListData(QORPluginVirtualHostList* list)
{
    QORProxyIFMsgInt count;
    QORStatus st = getConfigData(&count);
    if (st != qor_s_ok)
        return st;
    // Refused before the list is touched.
    if (count.get() < 0)
        return qor_s_msg_unmarshal_failed;
    st = list->writeLock();
    if (st != qor_s_ok)
        return st;
    list->removeAll();
    for (int i = 0; i < count.get(); i++) {
        st = getVHostData(list);
        if (st != qor_s_ok) {
            (void)list->unlock(); // the unmarshalling failure is what is reported
            return st;
        }
    }
    return list->unlock();
}

QORStatus QORConfigAnswerUnmarshaller::getVHostData(QORPluginVirtualHostList* list)
{
    QORAllocator* a = list->allocator();
    QORPluginVirtualHost* host = qor_new<QORPluginVirtualHost>(a, a);
    if (host == nullptr)
        return qor_s_no_memory;
    QORProxyIFMsgString text;
    QORProxyIFMsgInt flags;
    QORStatus st = getMoreData(&text);
    if (st == qor_s_ok)
        st = host->setID(text.get());
    if (st == qor_s_ok)
        st = getMoreData(&text);
    if (st == qor_s_ok)
        st = host->setBranch(text.get());
    if (st == qor_s_ok)
        st = getMoreData(&flags);
    if (st == qor_s_ok) {
        host->setFlags(static_cast<unsigned int>(flags.get()));
        st = getVHostPermMapData(host);
    }
    if (st == qor_s_ok)
        st = list->add(host);
    if (st != qor_s_ok)
        qor_delete(host);
    return st;
}

QORStatus QORConfigAnswerUnmarshaller::getVHostPermMapData(QORPluginVirtualHost* host)
{
    // The host's strings come from the allocator it was made with.
    QORAllocator* a = host->getID().allocator();
    QORPermMap* map = qor_new<QORPermMap>(a, a);
    if (map == nullptr)
        return qor_s_no_memory;
    QORProxyIFMsgInt size;
    QORProxyIFMsgNameValue pair;
    QORStatus st = map->initialize();
    if (st == qor_s_ok)
        st = getMoreData(&size);
    if (st == qor_s_ok && size.get() < 1)
        st = qor_s_msg_unmarshal_failed;
    if (st == qor_s_ok)
        st = getMoreData(&pair);
    if (st == qor_s_ok && !isDefaultPermsName(pair.getName()))
        st = qor_s_msg_unmarshal_failed;
    if (st == qor_s_ok) {
        QORActionGroupList* perms = newActionGroupList(a, pair.getValue(), &st);
        if (perms != nullptr)
            map->setDefaultPerms(perms);
    }
    for (int i = 1; st == qor_s_ok && i < size.get(); i++) {
        st = getMoreData(&pair);
        if (st != qor_s_ok)
            break;
        QORActionGroupList* perms = newActionGroupList(a, pair.getValue(), &st);
        if (perms == nullptr)
            break;
        QORStringRef* method = QORPermMap::makeMethodKey(pair.getName(), a);
        if (method == nullptr) {
            qor_delete(perms);
            st = qor_s_no_memory;
            break;
        }
        st = map->setPerms(method, perms);
    }
    if (st != qor_s_ok) {
        (void)map->shutdown(); // being deleted; st is what is reported
        qor_delete(map);
        return st;
    }
    host->setPermMap(map);
    return qor_s_ok;
}
