// qorunprotresourcecache.h: QORUnprotResourceCache, the plug-in's copy of
// the authorization server's list of resources that need no authorization:
// per branch of the object space, a table from object name to what
// unauthenticated users may do on it, stamped with the server's version.
// The cache version answer (urc/plugin/qorurcversionanswerunmarshaller.h)
// builds a new database and installs it with its version under the write
// lock; the cache client reads it under the read lock.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorhashtable.h"
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "core/threads/qorslotrwlock.h"

class QORActionGroupList;

enum : QORStatusCode {
    // No database, or no table for the branch (XLTIC1154E).
    qor_s_urc_no_db = QOR_MSG_ID(0x482),
};

// What unauthenticated users may do on one object.
class QORUnprotResourceCacheBranchDBEntry {
public:
    enum qor_urc_perm_type_e {
        // Every method on the object is open to everyone.
        qor_urc_perm_type_all = 0,
        // Unauthenticated users hold the permissions of getPerms().
        qor_urc_perm_type_some = 1,
    };

    QORUnprotResourceCacheBranchDBEntry() = default;
    // Takes ownership of perms (made with qor_new), which may be null.
    QORUnprotResourceCacheBranchDBEntry(qor_urc_perm_type_e type, QORActionGroupList* perms)
        : m_permType(type)
        , m_perms(perms)
    {
    }
    ~QORUnprotResourceCacheBranchDBEntry();
    QORUnprotResourceCacheBranchDBEntry(const QORUnprotResourceCacheBranchDBEntry&) = delete;
    QORUnprotResourceCacheBranchDBEntry& operator=(const QORUnprotResourceCacheBranchDBEntry&) =
        delete;

    qor_urc_perm_type_e getPermType() const { return m_permType; }
    const QORActionGroupList* getPerms() const { return m_perms; }

private:
    qor_urc_perm_type_e m_permType = qor_urc_perm_type_all;
    QORActionGroupList* m_perms = nullptr;
};

// One branch: object name to entry. Owns keys and entries.
typedef QORHashTable<QORString, QORUnprotResourceCacheBranchDBEntry*> QORURCBranchDB;
// The database: branch name to branch table. Owns keys and tables.
typedef QORHashTable<QORString, QORURCBranchDB*> QORURCDB;

class QORUnprotResourceCache {
public:
    // Bucket counts of the database's tables.
    static constexpr unsigned kBranchBuckets = 5;
    static constexpr unsigned kEntryBuckets = 15;

    QORUnprotResourceCache();
    // Deletes the database.
    ~QORUnprotResourceCache();
    QORUnprotResourceCache(const QORUnprotResourceCache&) = delete;
    QORUnprotResourceCache& operator=(const QORUnprotResourceCache&) = delete;

    // The lock over version and database; each returns 0.
    QORStatus readLock() const;
    QORStatus writeLock() const;
    QORStatus unlock() const;
    // For a guard.
    const QORSlotRWLock& lock() const { return m_lock; }

    // Deletes the database held and holds db (null: none). REQUIRES: the
    // write lock.
    void setDB(QORURCDB* db);
    // Copies the 20 bytes of a version. REQUIRES: the write lock.
    void setVersion(const unsigned char* bytes);
    // REQUIRES: the read lock, for as long as the results are used.
    const QOREpochVersion& getVersion() const { return m_version; }
    const QORURCDB* getDB() const { return m_db; }

    // The table of the branch named branch, or null without a database or
    // without the branch in it. REQUIRES: the read lock, for as long as the
    // result is used.
    const QORURCBranchDB* branchDB(const QORStringRef& branch) const;
    // -1 without a database or without the branch in it; else the number
    // of objects of the branch. REQUIRES: the read lock.
    int size(const QORString* branch) const;
    // A handle on the branch's table for lookupDB; 0x35f02482 without a
    // database or without the branch. REQUIRES: the read lock.
    QORStatus lookupStart(const QORString* branch, void** handle) const;
    // The entry of objectName in the branch of handle, or null; always 0.
    // REQUIRES: the read lock held since lookupStart.
    QORStatus lookupDB(void* handle, const QORString* objectName,
                       const QORUnprotResourceCacheBranchDBEntry** entry) const;

private:
    QORSlotRWLock m_lock;
    QOREpochVersion m_version = {};
    QORURCDB* m_db = nullptr;
};
