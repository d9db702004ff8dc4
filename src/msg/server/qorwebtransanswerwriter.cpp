// qorwebtransanswerwriter.cpp: writing a web transaction answer.
#include "msg/server/qorwebtransanswerwriter.h"

#include "core/system/qorassert.h"
#include "msg/core/qormsgitemcursor.h"
#include "proxyif/ipc/qorsharedmemallocator.h"

typedef QORWebTransAnswerBase Base;

QORWebTransAnswerWriter::QORWebTransAnswerWriter(QORSharedMemAllocator& alloc)
    : m_alloc(alloc)
{
}

QORStatus QORWebTransAnswerWriter::begin(int rspCode)
{
    if (m_first != nullptr || !Base::isRspCode(rspCode))
        return qor_s_invalid_argument;
    void* data = nullptr;
    QORStatus st = m_alloc.allocate(Base::kFirstElementSize, &data);
    if (st != qor_s_ok)
        return st;
    m_first = static_cast<unsigned char*>(data);
    m_rspCode.set(rspCode);
    m_numCmds.set(0);
    QORMsgItemWriter w(m_first, Base::kFirstElementSize);
    w.write(m_rspCode);
    w.write(m_numCmds);
    return qor_s_ok;
}

QORStatus QORWebTransAnswerWriter::setRspCode(int rspCode)
{
    QOR_ASSERT(m_first != nullptr);
    if (!Base::isRspCode(rspCode))
        return qor_s_invalid_argument;
    m_rspCode.set(rspCode);
    m_rspCode.marshal(m_first, Base::kFirstElementSize);
    return qor_s_ok;
}

QORStatus QORWebTransAnswerWriter::command(Cmd cmd, Base::qor_cmd_data_e kind,
                                           const QORProxyIFMsgData* item)
{
    QOR_ASSERT(m_first != nullptr);
    if (Base::getCmdKind(cmd) != Base::qor_cmd_applied || Base::getCmdDataKind(cmd) != kind)
        return qor_s_invalid_argument;
    QORProxyIFMsgInt id(cmd);
    QORStatus st = qor_msg_write_element_with(m_alloc, [&](QORMsgItemWriter& w) {
        w.write(id);
        if (item != nullptr)
            w.write(*item);
    });
    if (st != qor_s_ok)
        return st;
    m_numCmds.increment();
    m_numCmds.marshal(m_first + 4, Base::kFirstElementSize - 4);
    return qor_s_ok;
}

QORStatus QORWebTransAnswerWriter::add(Cmd cmd)
{
    return command(cmd, Base::qor_cmd_data_none, nullptr);
}

QORStatus QORWebTransAnswerWriter::addInt(Cmd cmd, int value)
{
    QORProxyIFMsgInt item(value);
    return command(cmd, Base::qor_cmd_data_int, &item);
}

QORStatus QORWebTransAnswerWriter::addString(Cmd cmd, const QORStringRef& text)
{
    QORProxyIFMsgString item;
    item.set(text);
    return command(cmd, Base::qor_cmd_data_string, &item);
}

QORStatus QORWebTransAnswerWriter::addBuffer(Cmd cmd, const QORBuffer& bytes)
{
    if (cmd == Base::qor_rsp_urc_version && bytes.getLen() != Base::kURCVersionSize)
        return qor_s_invalid_argument;
    QORProxyIFMsgBuffer item;
    item.set(bytes);
    return command(cmd, Base::qor_cmd_data_buffer, &item);
}

QORStatus QORWebTransAnswerWriter::addNameValue(Cmd cmd, const QORStringRef& name,
                                                const QORStringRef& value)
{
    QORProxyIFMsgNameValue item;
    item.set(name, value);
    return command(cmd, Base::qor_cmd_data_name_value, &item);
}

QORStatus QORWebTransAnswerWriter::addStringList(Cmd cmd, const QORProxyIFMsgStringList& list)
{
    if (list.entries() != Base::kWebLogUserEntries)
        return qor_s_invalid_argument;
    return command(cmd, Base::qor_cmd_data_string_list, &list);
}

QORStatus QORWebTransAnswerWriter::addWebLogUser(const QORStringRef& first,
                                                 const QORStringRef& second,
                                                 const QORStringRef& third)
{
    QORProxyIFMsgStringList list;
    QORStatus st = list.add(first);
    if (st == qor_s_ok)
        st = list.add(second);
    if (st == qor_s_ok)
        st = list.add(third);
    if (st != qor_s_ok)
        return st;
    return addStringList(Base::qor_req_set_web_log_user, list);
}

QORStatus QORWebTransAnswerWriter::addURCVersion(const QOREpochVersion& version)
{
    return addBuffer(Base::qor_rsp_urc_version,
                     QORBuffer(reinterpret_cast<const unsigned char*>(&version),
                               static_cast<int>(sizeof version)));
}
