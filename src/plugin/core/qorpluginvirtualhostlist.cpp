// qorpluginvirtualhostlist.cpp: the locked list of virtual hosts, and the
// hosts that "dxqor.conf" adds to it.
#include "plugin/core/qorpluginvirtualhostlist.h"

#include "core/file/qorstanza.h"

#include <cstring>

#include "core/buffers/qorconverter.h"
#include "core/platform/qorlox.h"
#include "core/system/qorinstallpath.h"

namespace {

const char kConfigFile[] = "dxqor.conf";
const char kGlobalStanza[] = "dxweb-plugins";

// The names of one kind of host in [dxweb-plugins]: first-seen order,
// repeats dropped.
class NameSet : public QORSearchableList<QORString, QORStringRef> {
public:
    NameSet()
        : QORSearchableList<QORString, QORStringRef>(nullptr, true)
    {
    }
    QORStatus addName(const char* name)
    {
        QORStringRef ref(name != nullptr ? name : "");
        if (find(ref).isValid())
            return qor_s_ok;
        QORString* s = qor_new<QORString>(nullptr);
        if (s == nullptr || !s->set(ref)) {
            qor_delete(s);
            return qor_s_no_memory;
        }
        QORStatus st = add(s);
        if (st != qor_s_ok)
            qor_delete(s);
        return st;
    }
};

// word (n bytes, local code page) equals keyword without regard to case.
bool isWord(const char* word, size_t n, const char* keyword)
{
    size_t k = strlen(keyword);
    char buf[16];
    if (n != k || n >= sizeof buf)
        return false;
    memcpy(buf, word, n);
    buf[n] = 0;
    return lox_strnicmp(lox_cs_local(), buf, keyword, k + 1) == 0;
}

// Applies "yes"/"true" and "no"/"false"; any other value leaves the flag.
void readSwitch(qorStanzaFile* file, const char* entry, bool* flag)
{
    if (!qorStzMoveEntryInStanza(file, entry) || file->value == nullptr)
        return;
    const char* v = file->value;
    size_t n = strlen(v);
    if (isWord(v, n, "yes") || isWord(v, n, "true"))
        *flag = true;
    else if (isWord(v, n, "no") || isWord(v, n, "false"))
        *flag = false;
}

// A "protocols" value: words separated by ',', blanks before a word skipped,
// blanks after it kept (so "http " is no protocol). No known word means both.
void readProtocols(const char* value, bool* http, bool* https)
{
    *http = false;
    *https = false;
    const char* p = value;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        const char* end = strchr(p, ',');
        size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        if (isWord(p, n, "http")) {
            *http = true;
        } else if (isWord(p, n, "https")) {
            *https = true;
        } else if (isWord(p, n, "both")) {
            *http = true;
            *https = true;
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }
    if (!*http && !*https) {
        *http = true;
        *https = true;
    }
}

} // namespace

QORPluginVirtualHostList::QORPluginVirtualHostList(QORAllocator* allocator)
    : QORSearchableList<QORPluginVirtualHost, QORPluginVirtualHostKey>(allocator, true)
{
}

QORPluginVirtualHostList::~QORPluginVirtualHostList()
{
    delEntries();
}

QORStatus QORPluginVirtualHostList::readLock() const
{
    m_lock.readLock();
    return qor_s_ok;
}

QORStatus QORPluginVirtualHostList::writeLock() const
{
    m_lock.writeLock();
    return qor_s_ok;
}

QORStatus QORPluginVirtualHostList::unlock() const
{
    m_lock.unlock();
    return qor_s_ok;
}

QORPluginVirtualHost* QORPluginVirtualHostList::find(const QORPluginVirtualHostKey& key) const
{
    for (Iterator it = begin(); it.isValid(); it.next()) {
        QORPluginVirtualHost* host = it.get();
        if (host != nullptr && key.compare(*host) == 0)
            return host;
    }
    return nullptr;
}

QORPluginVirtualHost* QORPluginVirtualHostList::readVHost(qorStanzaFile* file,
                                                          const QORString& name,
                                                          bool unprotected) const
{
    bool caseSensitive = true;
    bool windows = false;
    const char* stanzas[] = {kGlobalStanza, name.c_str()};
    for (const char* stanza : stanzas) {
        if (!qorStzMoveStanza(file, stanza))
            continue;
        readSwitch(file, "case-sensitive", &caseSensitive);
        readSwitch(file, "windows-file-system", &windows);
    }

    QORPluginVirtualHost* host = qor_new<QORPluginVirtualHost>(allocator(), allocator());
    if (host == nullptr || host->setID(QORStringRef(name)) != qor_s_ok) {
        qor_delete(host);
        return nullptr;
    }
    bool http = true;
    bool https = true;
    if (qorStzMoveStanza(file, name.c_str())) {
        if (qorStzMoveEntryInStanza(file, "protocols") && file->value != nullptr)
            readProtocols(file->value, &http, &https);
        if (qorStzMoveEntryInStanza(file, "id") && file->value != nullptr) {
            QORCPToUTF8Converter conv(lox_cs_local());
            QORString id(allocator());
            if (conv.convert(id, file->value, -1) != qor_s_ok ||
                host->setID(QORStringRef(id)) != qor_s_ok) {
                qor_delete(host);
                return nullptr;
            }
        }
    }

    unsigned long flags = 0;
    if (!caseSensitive)
        flags |= qor_vhost_case_insensitive;
    if (windows)
        flags |= qor_vhost_win32_filesystem;
    if (http)
        flags |= qor_vhost_unsecure;
    if (https)
        flags |= qor_vhost_secure;
    if (unprotected)
        flags |= qor_vhost_unprotected;
    host->setFlags(flags);
    return host;
}

QORStatus QORPluginVirtualHostList::loadVHosts()
{
    const char* dir = nullptr;
    QORStatus st = qor_install_path(qor_path_etc, &dir);
    if (st != qor_s_ok)
        return st;
    QORLCPString path(dir);
    if (!path.append(kConfigFile, -1))
        return qor_s_no_memory;
    return loadVHosts(path.c_str());
}

QORStatus QORPluginVirtualHostList::loadVHosts(const char* path)
{
    QORStatus st = qor_s_ok;
    qorStanzaFile* file = qorStzFileOpen(path, QOR_STZ_READ_ONLY, &st);
    if (file == nullptr)
        return st;
    if (!qorStzMoveStanza(file, kGlobalStanza)) {
        st = file->status;
        qorStzFileClose(file);
        return st;
    }

    NameSet unprotectedNames;
    NameSet protectedNames;
    QORStatus failure = qor_s_ok;
    for (; file->entryName != nullptr; qorStzMoveNextEntry(file)) {
        NameSet* set = nullptr;
        if (strcmp(file->entryName, "unprotected-virtual-host") == 0)
            set = &unprotectedNames;
        else if (strcmp(file->entryName, "virtual-host") == 0)
            set = &protectedNames;
        if (set != nullptr && failure == qor_s_ok)
            failure = set->addName(file->value);
    }
    // A syntax error ends the walk; the names before it are still used.
    QORStatus walkStatus = file->status;

    st = writeLock();
    if (st != qor_s_ok) {
        qorStzFileClose(file);
        return st;
    }
    NameSet* sets[] = {&unprotectedNames, &protectedNames};
    for (NameSet* set : sets) {
        for (NameSet::Iterator it = set->begin(); it.isValid(); it.next()) {
            QORPluginVirtualHost* host = readVHost(file, *it.get(), set == sets[0]);
            QORStatus added = host != nullptr ? add(host) : qor_s_no_memory;
            if (added != qor_s_ok) {
                qor_delete(host);
                failure = added;
            }
        }
    }
    (void)unlock(); // releasing a lock held here cannot fail

    st = walkStatus != qor_s_ok ? walkStatus : file->status;
    qorStzFileClose(file);
    return failure != qor_s_ok ? failure : st;
}
