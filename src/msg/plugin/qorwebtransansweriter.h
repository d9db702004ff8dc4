// qorwebtransansweriter.h: QORWebTransAnswerIter, the plug-in's reader of a
// web transaction answer (layout in msg/core/qorwebtransanswerbase.h): the
// result code first, then one command at a time with its raw data. The
// answer comes from another process, so every element is checked before
// it is used: a result code outside 0 to 5, a command element without a
// whole identifier, or data that does not hold exactly its item is refused
// with qor_s_msg_unmarshal_failed; a damaged chain gives the iterator's
// status.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/core/qorwebtransanswerbase.h"
#include "core/system/qorproxyrspcode.h"

class QORWebTransAnswerIter : public QORWebTransAnswerBase {
public:
    QORWebTransAnswerIter() = default;
    ~QORWebTransAnswerIter() override;

    // Reads the first element (result code and command count) and keeps
    // it for next(). context is not used. qor_s_msg_unmarshal_failed when
    // there is no first element, it is not 8 bytes, or the code is not one
    // an answer may carry.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Not supported (0x35f02001): the plug-in never writes an answer.
    QORStatus marshal(QORSharedMemAllocator& alloc) override;

    // Moves to the next command element. False at the end of the answer
    // and when the element cannot be read: nextStatus() tells which (0 at
    // the end).
    bool next();
    QORStatus nextStatus() const { return m_nextStatus; }

    int getCmdID() const { return m_cmdID.get(); }
    qor_proxy_rsp_code_e getRspCode() const
    {
        return static_cast<qor_proxy_rsp_code_e>(m_rspCode.get());
    }
    void setRspCode(qor_proxy_rsp_code_e code) { m_rspCode.set(code); }
    // The current command's data after its identifier (a view into the
    // region).
    QORStatus getRawCmdData(QORBuffer* data) const;
    // Lets item decode the current command's data: qor_s_msg_unmarshal_failed
    // when the data does not hold exactly that item.
    QORStatus getCmdData(QORProxyIFMsgData* item) const;
    // The region being read; null before unmarshal.
    const QORSharedMemIterator* iterator() const { return m_it; }

protected:
    QORSharedMemIterator* m_it = nullptr;
    QORProxyIFMsgInt m_cmdID;
    QORBuffer m_cmdData;
    QORStatus m_nextStatus = qor_s_ok;
};
