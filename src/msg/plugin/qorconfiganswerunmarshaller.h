// qorconfiganswerunmarshaller.h: QORConfigAnswerUnmarshaller, the plug-in's
// reader of a configuration answer (layout in msg/core/qorconfiganswerbase.h).
// It is not turned into an object for the caller: while it is read, each
// command is written into the targets of the QORConfigAnswerContext passed to
// unmarshal (msg/plugin/qorconfiganswercontext.h).
//
// The answer comes from another process: every count, size, identifier and
// item is checked before it is used, and a malformed answer ends in a status,
// never in a read outside the answer's region. Commands applied before a
// failure stay applied.
#pragma once
#include "core/buffers/qorbuffer.h"
#include "core/memory/qorallocator.h"
#include "msg/core/qorconfiganswerbase.h"
#include "msg/core/qormsgclassallocator.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORPluginVirtualHost;
class QORPluginVirtualHostList;
class QORSharedMemIterator;

class QORConfigAnswerUnmarshaller
    : public QORConfigAnswerBase
    , public QORMsgClassAllocated<QORConfigAnswerUnmarshaller> {
public:
    // Memory type of the class-wide allocator, "plugin.core.config-rsp-parser".
    static constexpr unsigned kMemoryType = 0x35f02f97;

    QORConfigAnswerUnmarshaller() = default;
    ~QORConfigAnswerUnmarshaller() override;

    // Destroys the object and gives its memory back where it came from.
    void deleteMe() override;
    // Reads the answer from it and applies its commands to the targets of
    // context (a QORConfigAnswerContext*). Tables of commands 0 and 1 stay
    // write-locked from their first command to the end; the host list is
    // write-locked while its command is read. A failing step's status is
    // logged through the context's log and returned.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Not supported: the plug-in never sends an answer (0x35f02001).
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;

    // The steps of unmarshal.
    // Reads the next element and its command identifier, and makes the rest
    // of the element the current data. False at the end of the chain, and
    // when the element cannot be read or has no identifier: nextStatus()
    // then tells which.
    bool next();
    QORStatus nextStatus() const { return m_nextStatus; }
    int getConfigID() const { return m_configID.get(); }
    // Decodes item from the current data and moves past it;
    // qor_s_msg_unmarshal_failed when the data does not hold it.
    QORStatus getConfigData(QORProxyIFMsgData* item);
    // Makes the next element the current data and decodes item from it: the
    // element's read status, 0x35f0200c when the chain has ended, or
    // qor_s_msg_unmarshal_failed.
    QORStatus getMoreData(QORProxyIFMsgData* item);
    // Replaces the hosts of list with those of the answer (command 3).
    QORStatus getVHostListData(QORPluginVirtualHostList* list);
    // Reads one host and appends it to list.
    QORStatus getVHostData(QORPluginVirtualHostList* list);
    // Reads a permission map and gives it to host.
    QORStatus getVHostPermMapData(QORPluginVirtualHost* host);

private:
    QORStatus decode(QORProxyIFMsgData* item);

    QORSharedMemIterator* m_it = nullptr;
    QORProxyIFMsgInt m_configID;
    QORBuffer m_data;
    QORStatus m_nextStatus = qor_s_ok;
};
QOR_MSG_CLASS_ALLOCATOR_DECL(QORConfigAnswerUnmarshaller);
