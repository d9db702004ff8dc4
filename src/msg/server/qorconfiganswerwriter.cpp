// qorconfiganswerwriter.cpp: writing configuration answers.
#include "msg/server/qorconfiganswerwriter.h"

#include "core/system/qorassert.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

QORConfigAnswerWriter::QORConfigAnswerWriter(QORSharedMemAllocator& alloc)
    : m_alloc(alloc)
{
}

QORStatus QORConfigAnswerWriter::element(const QORProxyIFMsgData& first,
                                         const QORProxyIFMsgData* second)
{
    int a = first.marshal(nullptr, 0);
    int b = second != nullptr ? second->marshal(nullptr, 0) : 0;
    void* data = nullptr;
    QORStatus st = m_alloc.allocate(static_cast<unsigned int>(a + b), &data);
    if (st != qor_s_ok)
        return st;
    unsigned char* p = static_cast<unsigned char*>(data);
    first.marshal(p, a);
    if (second != nullptr)
        second->marshal(p + a, b);
    return qor_s_ok;
}

QORStatus QORConfigAnswerWriter::begin()
{
    QOR_ASSERT(m_countData == nullptr);
    int size = m_numCmds.marshal(nullptr, 0);
    void* data = nullptr;
    QORStatus st = m_alloc.allocate(static_cast<unsigned int>(size), &data);
    if (st != qor_s_ok)
        return st;
    m_countData = static_cast<unsigned char*>(data);
    m_numCmds.marshal(m_countData, size);
    return qor_s_ok;
}

QORStatus QORConfigAnswerWriter::command(qor_config_cmd_e id, const QORProxyIFMsgData& item)
{
    QOR_ASSERT(m_countData != nullptr);
    QORProxyIFMsgInt identifier(id);
    QORStatus st = element(identifier, &item);
    if (st != qor_s_ok)
        return st;
    m_numCmds.increment();
    m_numCmds.marshal(m_countData, m_numCmds.marshal(nullptr, 0));
    return qor_s_ok;
}

QORStatus QORConfigAnswerWriter::addPostURI(const QORStringRef& name, int minimum)
{
    QORProxyIFMsgNameInt item;
    item.set(name, minimum);
    return command(qor_config_cmd_post_uri, item);
}

QORStatus QORConfigAnswerWriter::addConfigFlag(const QORStringRef& name, unsigned int flags)
{
    QORProxyIFMsgNameInt item;
    item.set(name, static_cast<int>(flags));
    return command(qor_config_cmd_flag, item);
}

QORStatus QORConfigAnswerWriter::addURCConfig(bool enabled, int pollInterval)
{
    QORStatus st = command(qor_config_cmd_urc, QORProxyIFMsgInt(enabled ? 1 : 0));
    if (st != qor_s_ok || !enabled)
        return st;
    return element(QORProxyIFMsgInt(pollInterval));
}

QORStatus QORConfigAnswerWriter::beginVHostList(int count)
{
    return command(qor_config_cmd_vhost_list, QORProxyIFMsgInt(count));
}

QORStatus QORConfigAnswerWriter::addVHost(const QORStringRef& id, const QORStringRef& branch,
                                          unsigned int flags,
                                          const QORStringRef& defaultPerms,
                                          const QORConfigPermEntry* methods,
                                          int methodCount)
{
    QOR_ASSERT(methodCount >= 0 && (methods != nullptr || methodCount == 0));
    QORProxyIFMsgString text;
    text.set(id);
    QORStatus st = element(text);
    if (st == qor_s_ok) {
        text.set(branch);
        st = element(text);
    }
    if (st == qor_s_ok)
        st = element(QORProxyIFMsgInt(static_cast<int>(flags)));
    if (st == qor_s_ok)
        st = element(QORProxyIFMsgInt(methodCount + 1));
    QORProxyIFMsgNameValue pair;
    if (st == qor_s_ok) {
        pair.set(QORStringRef(kQORConfigDefaultPermsName), defaultPerms);
        st = element(pair);
    }
    for (int i = 0; st == qor_s_ok && i < methodCount; i++) {
        pair.set(methods[i].method, methods[i].actions);
        st = element(pair);
    }
    return st;
}
