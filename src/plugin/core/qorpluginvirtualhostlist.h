// qorpluginvirtualhostlist.h: QORPluginVirtualHostList, the core's virtual
// hosts in insertion order, guarded by one read-write lock. Request threads
// look hosts up under the read lock and use the host found while they still
// hold it; the configuration answer and the configuration file change the
// list under the write lock.
//
// The hosts come from two places: the authorization server's configuration
// answer replaces the whole list (hosts with branch and permission map), and
// "dxqor.conf" adds the hosts named in its [dxweb-plugins] stanza (ID and
// flags only), see loadVHosts.
// Ownership: every host the list is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorsearchablelist.h"
#include "core/threads/qorslotrwlock.h"
#include "plugin/core/qorpluginvirtualhost.h"
#include "plugin/core/qorpluginvirtualhostkey.h"

struct qorStanzaFile;

class QORPluginVirtualHostList
    : public QORSearchableList<QORPluginVirtualHost, QORPluginVirtualHostKey> {
public:
    // The list owns its hosts: they are made with qor_new (on allocator, null
    // for the heap) and deleted when removed or when the list dies.
    explicit QORPluginVirtualHostList(QORAllocator* allocator = nullptr);
    ~QORPluginVirtualHostList() override;

    // The lock's operations; each returns 0. A waiting writer goes before
    // new readers, so a thread must not take the read lock again while it
    // holds it. Request threads read in parallel without sharing a written
    // cache line (core/threads/qorslotrwlock.h).
    QORStatus readLock() const;
    QORStatus writeLock() const;
    QORStatus unlock() const;
    // For a guard.
    const QORSlotRWLock& lock() const { return m_lock; }

    // The first host, from the head, whose comparison with key is 0; null
    // when none. When several hosts share an ID the first that accepts the
    // key's protocol wins. REQUIRES: the read or write lock.
    QORPluginVirtualHost* find(const QORPluginVirtualHostKey& key) const;

    // Removes and deletes every host. REQUIRES: the write lock.
    void removeAll() { delEntries(); }

    // Adds the hosts of "dxqor.conf" in the installation's configuration
    // directory; see loadVHosts(path).
    QORStatus loadVHosts();
    // Adds to whatever the list holds, under the write lock, first a host for
    // every "unprotected-virtual-host" of the [dxweb-plugins] stanza and then
    // one for every "virtual-host" (first-seen order, repeats dropped). A file
    // that cannot be opened, or one without [dxweb-plugins], leaves the list
    // as it was and gives the file's status. A syntax error in [dxweb-plugins]
    // ends the walk there: the names before it are used and its status is
    // returned. Otherwise the file's last status, or qor_s_no_memory when a
    // host could not be made or added.
    QORStatus loadVHosts(const char* path);

    // A new host named name read from an open stanza file: flags from
    // "case-sensitive" and "windows-file-system" of [dxweb-plugins], overridden
    // by those of the stanza [name], and "protocols" and "id" of [name].
    // Branch and permission map stay empty. Null when memory runs out; the
    // caller owns the host.
    QORPluginVirtualHost* readVHost(qorStanzaFile* file, const QORString& name,
                                    bool unprotected) const;

private:
    QORSlotRWLock m_lock;
};
