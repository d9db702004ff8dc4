// qoripcowner.h: QORIPCOwner, who the channel's IPC objects must belong to.
// The keys are made with ftok from a path anybody may stat, so anybody can
// make objects under them while the server is down. The plug-in therefore
// looks at the kernel's record of every object before it maps or uses it,
// and the server never takes over an object another user made.
#pragma once
#include <sys/ipc.h>
#include <sys/types.h>
#include "core/system/qorstatus.h"

class QORIPCOwner {
public:
    // No owner to check (the creating side, or a pool not yet told).
    static const uid_t kUnchecked = (uid_t)-1;

    // The uid the server runs as: the "server-user" entry (a user name or a
    // number) of [dxweb-plugins] in the installation's "dxqor.conf" when it
    // is there, else the owner of the server-name path. The path must not
    // be writable by others: whoever may replace it may choose the keys.
    // 0x35f02217 (logged) when the path is writable by others or the user
    // is unknown, 0x35f0220b when the path does not exist.
    static QORStatus serverUid(const char* serverName, uid_t* uid);
    // The "server-user" entry of the stanza file at path; *found false when
    // the file, the stanza or the entry is missing.
    static QORStatus configuredUid(const char* path, uid_t* uid, bool* found);

    // The object's creator and owner are expected and its mode grants
    // nothing to others; 0x35f02217 otherwise, logged with the key, the
    // uids and the mode found. what names the object in the log line.
    static QORStatus checkPerm(const ipc_perm& perm, uid_t expected,
                               const char* what);
    // checkPerm on the segment's or set's kernel record, read with
    // IPC_STAT, which reads nothing of the object itself. *size gets the
    // segment's size, *count the number of semaphores in the set.
    static QORStatus checkSegment(int shmId, uid_t expected, unsigned int* size);
    static QORStatus checkSemSet(int semId, uid_t expected, unsigned int* count);

    // For the creating side, after IPC_EXCL failed on key: an object this
    // process's user made (left by a crashed predecessor) is removed, so
    // that the caller can create again; one of another user is left alone,
    // logged with key and owner, and gives 0x35f02209. 0x35f0220b when
    // nothing is there (any more).
    static QORStatus removeOwnStale(key_t key, bool semaphores);
};
