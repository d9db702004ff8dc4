// qorurcversionquestion.h: QORURCVersionQuestion, the cache version
// question: the version of the unprotected resource cache that the plug-in
// holds, sent so that the server can answer with its own version and, when
// the plug-in's copy is out of date, the whole cache database.
//
// Layout: one element holding the version as a QORProxyIFMsgBuffer of
// exactly 20 bytes (a QOREpochVersion as it lies in memory).
#pragma once
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"

// Bytes of a version in a message.
constexpr int QOR_EPOCH_VERSION_BUFLEN = static_cast<int>(sizeof(QOREpochVersion));

class QORURCVersionQuestion : public QORProxyIFMessage {
public:
    QORURCVersionQuestion() = default;
    ~QORURCVersionQuestion() override;
    // The buffer views the object's own copy of the version.
    QORURCVersionQuestion(const QORURCVersionQuestion&) = delete;
    QORURCVersionQuestion& operator=(const QORURCVersionQuestion&) = delete;

    // Copies the version and points the buffer at the copy.
    void setVersion(const QOREpochVersion* version);
    // The version in the buffer (set, or read from a question);
    // 0x35f02002 when there is none.
    QORStatus getVersion(QOREpochVersion& version) const;

    // For a question made with new.
    void deleteMe() override;
    // Reads the element: the iterator's status for a damaged chain,
    // qor_s_msg_unmarshal_failed without the element, or with one that is
    // not a buffer of exactly 20 bytes. The buffer then views the region.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_urc_version_question

private:
    QOREpochVersion m_version = {};
    QORProxyIFMsgBuffer m_buffer;
};
