// qorurcversionanswerunmarshaller.h: QORURCVersionAnswerUnmarshaller, the
// plug-in's reader of a cache version answer: the server's version of the
// unprotected resource cache and, when the plug-in's copy is out of date,
// the whole database, which it builds off-line and installs in the
// QORUnprotResourceCache with the version under the cache's write lock.
//
// Layout (elements in order):
//   1       QORProxyIFMsgBuffer: the server's version, exactly 20 bytes
//   then per branch, until the chain ends:
//   a       QORProxyIFMsgString: branch name
//   b       QORProxyIFMsgInt: number of entries n (not negative)
//   c       n elements of one QORProxyIFMsgNameValue each: the object name,
//           and "*" (every method open to everyone) or the text of an
//           action group list (what unauthenticated users may do)
// An answer of the version alone leaves the cache as it is.
#pragma once
#include "core/system/qorstatus.h"
#include "msg/core/qormsgclassallocator.h"
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "urc/plugin/qorunprotresourcecache.h"

class QORLog;
class QORSharedMemIterator;

// What unmarshal applies the answer to.
struct QORURCVersionAnswerContext {
    QORUnprotResourceCache* cache;
    // Failures are written here (may be null).
    QORLog* log;
};

class QORURCVersionAnswerUnmarshaller
    : public QORProxyIFMessage
    , public QORMsgClassAllocated<QORURCVersionAnswerUnmarshaller> {
public:
    // Memory type of the class-wide allocator, "plugin.urc".
    static constexpr unsigned kMemoryType = 0x35f02fa9;

    QORURCVersionAnswerUnmarshaller() = default;
    ~QORURCVersionAnswerUnmarshaller() override;

    // Destroys the object and gives its memory back where it came from.
    void deleteMe() override;
    // Reads the answer and, when it carries a database, installs database
    // and version in context's cache (a QORURCVersionAnswerContext*); the
    // unlock's status then. A failure is logged and returned and leaves the
    // cache as it was: the iterator's status for a damaged chain,
    // qor_s_msg_unmarshal_failed for a missing element, a version that is
    // not 20 bytes, a negative count, fewer entries than the count, or an
    // element with more or less than its item; 0x35f0200c when memory runs
    // out; an action group list's parse status; qor_s_invalid_argument
    // without a cache.
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override;
    // Not supported (0x35f02001): the plug-in never writes an answer.
    QORStatus marshal(QORSharedMemAllocator& alloc) override;
    int getType() const override;  // qor_msg_urc_version_answer

    // The reading steps, each taking the next element.
    QORStatus getVersion(QORProxyIFMsgBuffer* version);
    QORStatus getBranchName(QORProxyIFMsgString* name);
    QORStatus getBDBSize(QORProxyIFMsgInt* size);
    // Reads one entry and inserts it into table under a copy of its name.
    QORStatus getNextBDBEntry(QORURCBranchDB* table);
    // Whether another element follows.
    bool nextBranchDBExists() const;
    // Reads one branch (name, count, entries) into db.
    QORStatus getBranchDB(QORURCDB* db);
    // Builds the database of the rest of the answer; null when no element
    // follows the version. On failure nothing is left allocated.
    QORStatus getDB(QORURCDB** db);

private:
    QORSharedMemIterator* m_it = nullptr;
};
QOR_MSG_CLASS_ALLOCATOR_DECL(QORURCVersionAnswerUnmarshaller);
