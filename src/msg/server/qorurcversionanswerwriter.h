// qorurcversionanswerwriter.h: QORURCVersionAnswerWriter, the authorization
// server's writer of a cache version answer (layout in
// urc/plugin/qorurcversionanswerunmarshaller.h): its version and, for a
// plug-in whose copy is out of date, every branch with its entries.
//
// Usage: begin(version); then per branch beginBranch(name, n) followed by
// exactly n addEntry calls. Calls out of that order are refused with
// qor_s_invalid_argument; a full area gives 0x35f0200c, and the server then
// answers with an error message instead.
#pragma once
#include "core/buffers/qorstringref.h"
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"

class QORSharedMemAllocator;

class QORURCVersionAnswerWriter {
public:
    // The permission text of an object open to everyone.
    static const char kOpenToAll[];  // "*"

    explicit QORURCVersionAnswerWriter(QORSharedMemAllocator& alloc);
    QORURCVersionAnswerWriter(const QORURCVersionAnswerWriter&) = delete;
    QORURCVersionAnswerWriter& operator=(const QORURCVersionAnswerWriter&) = delete;

    // The server's version. Call once, first.
    QORStatus begin(const QOREpochVersion& version);
    // A branch of entries objects (not negative).
    QORStatus beginBranch(const QORStringRef& name, int entries);
    // One object of the current branch: kOpenToAll, or the text of the
    // action group list unauthenticated users hold on it.
    QORStatus addEntry(const QORStringRef& object, const QORStringRef& perms);

    // Whether every branch has all its entries.
    bool isComplete() const { return m_begun && m_owed == 0; }
    int branchCount() const { return m_branches; }

private:
    QORSharedMemAllocator& m_alloc;
    bool m_begun = false;
    int m_owed = 0;
    int m_branches = 0;
};
