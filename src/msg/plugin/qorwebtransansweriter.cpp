// qorwebtransansweriter.cpp: reading a web transaction answer command by
// command.
#include "msg/plugin/qorwebtransansweriter.h"

#include "msg/core/qormsgitemcursor.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

static_assert(QORWebTransAnswerBase::kNumRspCodes == qor_max_proxy_rsp_code,
              "the answer's result codes are the transaction's");

QORWebTransAnswerIter::~QORWebTransAnswerIter() {}

QORStatus QORWebTransAnswerIter::unmarshal(QORSharedMemIterator& it, void*)
{
    m_it = &it;
    m_nextStatus = qor_s_ok;
    m_cmdData.set(nullptr, 0);
    QORMsgItemReader r;
    QORStatus st = qor_msg_next_element(it, &r);
    if (st != qor_s_ok)
        return st;
    QORProxyIFMsgInt code;
    QORProxyIFMsgInt count;
    if (r.remaining() != kFirstElementSize || !r.read(code) || !r.read(count) ||
        !isRspCode(code.get()))
        return qor_s_msg_unmarshal_failed;
    m_rspCode.set(code.get());
    m_numCmds.set(count.get());
    return qor_s_ok;
}

QORStatus QORWebTransAnswerIter::marshal(QORSharedMemAllocator&)
{
    return qor_s_not_supported;
}

bool QORWebTransAnswerIter::next()
{
    m_cmdData.set(nullptr, 0);
    if (m_nextStatus != qor_s_ok || m_it == nullptr || !m_it->hasMoreElements())
        return false;
    QORMsgItemReader r;
    m_nextStatus = qor_msg_next_element(*m_it, &r);
    if (m_nextStatus != qor_s_ok)
        return false;
    if (!r.read(m_cmdID)) {
        m_nextStatus = qor_s_msg_unmarshal_failed;
        return false;
    }
    m_cmdData.set(r.current(), r.remaining());
    return true;
}

QORStatus QORWebTransAnswerIter::getRawCmdData(QORBuffer* data) const
{
    data->set(m_cmdData.getData(), m_cmdData.getLen());
    return qor_s_ok;
}

QORStatus QORWebTransAnswerIter::getCmdData(QORProxyIFMsgData* item) const
{
    if (!qor_msg_read_exactly(m_cmdData.getData(), static_cast<unsigned int>(m_cmdData.getLen()),
                              *item))
        return qor_s_msg_unmarshal_failed;
    return qor_s_ok;
}
