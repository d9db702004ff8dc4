// qorsysvsharedmem.h: QORSysVSharedMem, a SysV shared-memory segment found
// by a key made with ftok from a path and a one-character project ID. The
// authorization server creates the segments of the worker pool; the plug-in
// attaches to them.
#pragma once
#include <sys/types.h>
#include "proxyif/ipc/qorsharedmem.h"

class QORSysVSharedMem : public QORSharedMem {
public:
    QORSysVSharedMem() = default;
    // Neither detaches nor removes the segment.
    ~QORSysVSharedMem() override;

    // ftok(name, id); -1 when no key can be made.
    static key_t nameToKey(const char* name, char id);
    // The smallest multiple of the page size not below n (n itself when no
    // such multiple fits in an unsigned int).
    static unsigned int roundUpToPageSize(unsigned int n);

    // A new segment of size bytes (the system reserves whole pages) with
    // permissions 0660, mapped here. 0x35f02208 when no key can be made,
    // 0x35f02209 when the segment exists; the object is then unchanged.
    QORStatus create(const char* name, char id, unsigned int size) override;
    // Maps segment segmentId and learns its size from the system
    // (getMappedSize); a mapping held before is unmapped once the new one
    // is made. With an owner required, a segment that fails
    // QORIPCOwner::checkPerm is not mapped (0x35f02217).
    QORStatus attach(int segmentId) override;
    // Maps the existing segment of (name, id): 0x35f02208 when no key can be
    // made, 0x35f0220b when there is no such segment (also when it was
    // removed between the look-up and the mapping).
    QORStatus attach(const char* name, char id) override;
    QORStatus detach() override;
    // Removes the segment; processes still attached keep their mapping.
    QORStatus destroy() override;
    int getId() const override { return m_segmentId; }

    // Every later attach first checks, from the kernel's record alone, that
    // uid created and owns the segment and that others have no access;
    // QORIPCOwner::kUnchecked (the default) checks nothing.
    void requireOwner(uid_t uid) { m_owner = uid; }

private:
    int m_segmentId = -1;
    uid_t m_owner = (uid_t)-1;
};
