// qorurcversionanswerwriter.cpp: writing a cache version answer.
#include "msg/server/qorurcversionanswerwriter.h"

#include "core/buffers/qorbuffer.h"
#include "msg/core/qormsgitemcursor.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

const char QORURCVersionAnswerWriter::kOpenToAll[] = "*";

QORURCVersionAnswerWriter::QORURCVersionAnswerWriter(QORSharedMemAllocator& alloc)
    : m_alloc(alloc)
{
}

QORStatus QORURCVersionAnswerWriter::begin(const QOREpochVersion& version)
{
    if (m_begun)
        return qor_s_invalid_argument;
    QORProxyIFMsgBuffer item;
    item.set(QORBuffer(reinterpret_cast<const unsigned char*>(&version),
                       static_cast<int>(sizeof version)));
    QORStatus st = qor_msg_write_element(m_alloc, item);
    if (st == qor_s_ok)
        m_begun = true;
    return st;
}

QORStatus QORURCVersionAnswerWriter::beginBranch(const QORStringRef& name, int entries)
{
    if (!m_begun || m_owed != 0 || entries < 0)
        return qor_s_invalid_argument;
    QORProxyIFMsgString branch;
    branch.set(name);
    QORProxyIFMsgInt count(entries);
    // Both elements or neither, so that a failure leaves a whole answer.
    unsigned int used = m_alloc.usedLength();
    const unsigned int element = sizeof(QORSharedMemElementHeader);
    unsigned int need = element + static_cast<unsigned int>(branch.marshal(nullptr, 0)) +
                        element + static_cast<unsigned int>(count.marshal(nullptr, 0));
    if (m_alloc.getSize() - used < need)
        return qor_s_no_memory;
    QORStatus st = qor_msg_write_element(m_alloc, branch);
    if (st == qor_s_ok)
        st = qor_msg_write_element(m_alloc, count);
    if (st != qor_s_ok)
        return st;
    m_owed = entries;
    m_branches++;
    return qor_s_ok;
}

QORStatus QORURCVersionAnswerWriter::addEntry(const QORStringRef& object,
                                              const QORStringRef& perms)
{
    if (!m_begun || m_owed == 0)
        return qor_s_invalid_argument;
    QORProxyIFMsgNameValue item;
    item.set(object, perms);
    QORStatus st = qor_msg_write_element(m_alloc, item);
    if (st == qor_s_ok)
        m_owed--;
    return st;
}
