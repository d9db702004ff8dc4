// qorpluginvirtualhost.h: QORPluginVirtualHost, the plug-in's unit of
// configuration: the ID the web server reports for a request, the protocols
// accepted, whether requests need authorization at all, and what the
// unprotected resource cache needs (branch, permission map, URL case and
// file-system rules). Hosts live in a QORPluginVirtualHostList and are only
// read while that list is read-locked.
// Ownership: the permission map a host is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"

class QORPermMap;

// Flag bits of a virtual host.
enum : unsigned long {
    qor_vhost_case_insensitive = 0x01, // URLs match without regard to case
    qor_vhost_win32_filesystem = 0x02, // files are served from a Windows FS
    qor_vhost_secure = 0x04,           // accepts HTTPS requests
    qor_vhost_unsecure = 0x08,         // accepts plain HTTP requests
    qor_vhost_unprotected = 0x10,      // requests need no authorization
};

class QORPluginVirtualHost {
public:
    // Strings come from allocator (null: the heap).
    explicit QORPluginVirtualHost(QORAllocator* allocator = nullptr);
    // Deletes the permission map.
    ~QORPluginVirtualHost();
    QORPluginVirtualHost(const QORPluginVirtualHost&) = delete;
    QORPluginVirtualHost& operator=(const QORPluginVirtualHost&) = delete;

    const QORString& getID() const { return m_id; }
    // Copy the text; qor_s_no_memory when the copy cannot be allocated (the
    // old text is then kept).
    QORStatus setID(const QORStringRef& id);
    QORStatus setBranch(const QORStringRef& branch);
    const QORString& getBranch() const { return m_branch; }

    unsigned long getFlags() const { return m_flags; }
    void setFlags(unsigned long flags) { m_flags = flags; }
    void addFlags(unsigned long flags) { m_flags |= flags; }
    bool isCaseInsensitive() const { return (m_flags & qor_vhost_case_insensitive) != 0; }
    bool isWin32Filesystem() const { return (m_flags & qor_vhost_win32_filesystem) != 0; }
    bool isSecure() const { return (m_flags & qor_vhost_secure) != 0; }
    bool isUnsecure() const { return (m_flags & qor_vhost_unsecure) != 0; }
    bool isUnprotected() const { return (m_flags & qor_vhost_unprotected) != 0; }

    QORPermMap* getPermMap() const { return m_permMap; }
    // Shuts down and deletes the map held so far, then holds map (made with
    // qor_new, or null).
    void setPermMap(QORPermMap* map);

    // True when the host accepts the protocol (HTTPS when secure, else HTTP)
    // and its ID has exactly the bytes of id.
    bool match(const QORStringRef& id, bool secure) const;

private:
    QORString m_id;
    unsigned long m_flags = 0;
    QORString m_branch;
    QORPermMap* m_permMap = nullptr;
};
