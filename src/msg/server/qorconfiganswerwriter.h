// qorconfiganswerwriter.h: QORConfigAnswerWriter, the authorization server's
// writer of a configuration answer (layout in msg/core/qorconfiganswerbase.h)
// into the result area of a worker buffer. The command count in the first
// element is kept equal to the commands written.
//
// Usage: begin(), then one call per command (a host list is
// beginVHostList(n) followed by exactly n addVHost calls). A failing call
// (the area is full: 0x35f0200c) leaves the answer cut inside a command,
// which the plug-in refuses; the server then answers with an error message
// instead.
#pragma once
#include "core/buffers/qorstringref.h"
#include "core/system/qorstatus.h"
#include "msg/core/qorconfiganswerbase.h"
#include "msg/core/qorproxyifmsgdata.h"

class QORSharedMemAllocator;

// The permissions one HTTP method requires on a host: the method's name and
// the text form of an action group list ("Tr[Audit]g").
struct QORConfigPermEntry {
    QORStringRef method;
    QORStringRef actions;
};

class QORConfigAnswerWriter {
public:
    // Appends to what alloc has written (normally nothing: alloc is set on
    // the result area).
    explicit QORConfigAnswerWriter(QORSharedMemAllocator& alloc);
    QORConfigAnswerWriter(const QORConfigAnswerWriter&) = delete;
    QORConfigAnswerWriter& operator=(const QORConfigAnswerWriter&) = delete;

    // Writes the command count (0). Call once, first.
    QORStatus begin();
    // Command 0: the minimum POST data size stored for name.
    QORStatus addPostURI(const QORStringRef& name, int minimum);
    // Command 1: the configuration flags stored for name.
    QORStatus addConfigFlag(const QORStringRef& name, unsigned int flags);
    // Command 2: the cache settings; the poll interval is written only when
    // the cache is enabled.
    QORStatus addURCConfig(bool enabled, int pollInterval);
    // Command 3: a new host list of count hosts; the count addVHost calls
    // follow.
    QORStatus beginVHostList(int count);
    // One host of the list: its ID, branch and flags (qor_vhost_* bits) and
    // its permission map: the default permissions, then methodCount entries
    // (methods may be null when methodCount is 0).
    QORStatus addVHost(const QORStringRef& id, const QORStringRef& branch,
                       unsigned int flags, const QORStringRef& defaultPerms,
                       const QORConfigPermEntry* methods, int methodCount);

    // Commands written so far.
    int commandCount() const { return m_numCmds.get(); }

private:
    // Appends one element holding first and, when given, second after it.
    QORStatus element(const QORProxyIFMsgData& first,
                      const QORProxyIFMsgData* second = nullptr);
    // A command's first element: its identifier and its first item. Counts
    // the command.
    QORStatus command(qor_config_cmd_e id, const QORProxyIFMsgData& item);

    QORSharedMemAllocator& m_alloc;
    unsigned char* m_countData = nullptr;
    QORProxyIFMsgInt m_numCmds;
};
