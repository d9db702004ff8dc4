// config_answer_fuzz.cpp: arbitrary bytes as the result region of a
// configuration answer, read into the core's targets the way the core reads
// one. Whatever the bytes, the reader must end with a status the answer can
// produce, give back every lock it took, leave only whole hosts (each with a
// permission map that has its default permissions) and table entries with
// their keys, and leak nothing. An answer that reads cleanly, written again
// from its targets by the server's writer, must read back to the same
// targets.
//
// Input: byte 0 chooses the context: bit 0 a log sink, bit 1 the post-URI
// table, bit 2 the flags table, bit 3 the host list, bit 4 no context at
// all, bit 5 targets filled before the answer. Bytes 1 to 3 are ignored; the
// segment, and the region, are the bytes after them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/trace/qorlog.h"
#include "msg/plugin/qorconfiganswercontext.h"
#include "msg/plugin/qorconfiganswerunmarshaller.h"
#include "msg/server/qorconfiganswerwriter.h"
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"
#include "plugin/core/qorpluginvirtualhostlist.h"
#include "proxyif/ipc/qoripcstatus.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "config_answer_fuzz: %s\n", what);
        abort();
    }
}

// Drops every line, but only after it has been formatted.
class NullLog : public QORLog {
public:
    NullLog()
        : QORLog(false)
    {
    }
    void logImpl(QORLogSeverity, const char*, unsigned, const char*,
                 const QORStringRefT<char>& text) override
    {
        lines += text.length() >= 0 ? 1 : 0;
    }
    int lines = 0;
};

typedef QORProtectedHashTable<QORString, int> PostTable;
typedef QORProtectedHashTable<QORString, unsigned int> FlagTable;

struct Targets {
    PostTable posts{nullptr, true};
    FlagTable flags{nullptr, true};
    QORPluginVirtualHostList hosts;
    QORConfigAnswerContext ctx;
};

std::string bytes(const QORStringRefT<char>& s)
{
    return std::string(s.data(), static_cast<size_t>(s.length()));
}

std::string groups(const QORActionGroupList* list)
{
    if (list == nullptr)
        return "-";
    QORString text;
    check(list->toText(&text), "action group text");
    return bytes(QORStringRef(text));
}

template <class V>
std::vector<std::string> entries(const QORProtectedHashTable<QORString, V>& table)
{
    std::vector<std::string> out;
    table.forEach([&out](const QORString& key, V value) {
        out.push_back(bytes(QORStringRef(key)) + "=" + std::to_string(value));
    });
    std::sort(out.begin(), out.end());
    return out;
}

// Every host: ID, flags, branch, and its default permissions and, with
// methods, those of a few methods.
std::vector<std::string> hosts(QORPluginVirtualHostList& list, bool methods = true)
{
    std::vector<std::string> out;
    check(list.readLock() == qor_s_ok, "host list read lock");
    for (auto it = list.begin(); it.isValid(); it.next()) {
        QORPluginVirtualHost* h = it.get();
        check(h != nullptr, "null host");
        std::string s = bytes(QORStringRef(h->getID())) + "|" + std::to_string(h->getFlags()) +
                        "|" + bytes(QORStringRef(h->getBranch()));
        if (const QORPermMap* map = h->getPermMap()) {
            check(map->getDefaultPerms() != nullptr, "permission map without its default");
            s += "|" + groups(map->getDefaultPerms());
            for (const char* m : {"GET", "POST", "HEAD"})
                if (methods)
                    s += std::string("|") + m + ":" + groups(map->getPerms(QORStringRef(m)));
        }
        out.push_back(s);
    }
    check(list.unlock() == qor_s_ok, "host list unlock");
    return out;
}

void checkUnlocked(Targets& t)
{
    check(t.posts.tryWriteLock(), "post-URI table left locked");
    t.posts.unlock();
    check(t.flags.tryWriteLock(), "flags table left locked");
    t.flags.unlock();
    // A write lock left behind by this thread makes this stop the process.
    check(t.hosts.writeLock() == qor_s_ok, "host list write lock");
    check(t.hosts.unlock() == qor_s_ok, "host list unlock");
}

void prefill(Targets& t)
{
    check(t.posts.initialize(7) == qor_s_ok, "table");
    check(t.posts.insert(qor_new<QORString>(nullptr, "/old:POST"), 4) == qor_s_ok, "insert");
    check(t.flags.initialize(7) == qor_s_ok, "table");
    check(t.flags.insert(qor_new<QORString>(nullptr, "old"), 1) == qor_s_ok, "insert");
    QORPluginVirtualHost* h = qor_new<QORPluginVirtualHost>(nullptr);
    check(h != nullptr && h->setID(QORStringRef("file")) == qor_s_ok, "host");
    h->setFlags(0x0c);
    check(t.hosts.add(h) == qor_s_ok, "add host");
}

QORStatus readAnswer(QORSharedMem& shm, unsigned int start, unsigned int size, void* context)
{
    QORSharedMemIterator it;
    check(it.initialize(shm, start, size) == qor_s_ok, "iterator over the segment");
    QORConfigAnswerUnmarshaller answer;
    return answer.unmarshal(it, context);
}

bool expectedStatus(QORStatus st)
{
    return st == qor_s_ok || st == qor_s_msg_unmarshal_failed || st == qor_s_no_memory ||
           st == qor_s_config_invalid_command || st == qor_s_ipc_no_more_segments ||
           st == qor_s_invalid_action_set;
}

// Writes the targets of a clean read as a new answer and reads it into fresh
// targets: both must hold the same.
void rewrite(Targets& t)
{
    static std::vector<uint32_t> words(1 << 16);
    QORLocalSharedMem shm(words.data(), static_cast<unsigned int>(words.size() * 4));
    QORSharedMemAllocator alloc;
    alloc.initialize(shm, 0, static_cast<unsigned int>(words.size() * 4));
    QORConfigAnswerWriter w(alloc);
    check(w.begin() == qor_s_ok, "rewrite begin");
    QORStatus st = qor_s_ok;
    t.posts.forEach([&](const QORString& k, int v) {
        if (st == qor_s_ok)
            st = w.addPostURI(QORStringRef(k), v);
    });
    t.flags.forEach([&](const QORString& k, unsigned int v) {
        if (st == qor_s_ok)
            st = w.addConfigFlag(QORStringRef(k), v);
    });
    if (st == qor_s_ok)
        st = w.addURCConfig(t.ctx.urcEnabled, static_cast<int>(t.ctx.urcPollInterval));
    // Permission maps cannot be listed by method: only the default goes back.
    // A host from the file (no map) cannot be written as the server's.
    bool fileHosts = false;
    for (auto it = t.hosts.begin(); it.isValid(); it.next())
        fileHosts = fileHosts || it.get()->getPermMap() == nullptr;
    if (st == qor_s_ok && !fileHosts)
        st = w.beginVHostList(t.hosts.entries());
    for (auto it = t.hosts.begin(); st == qor_s_ok && !fileHosts && it.isValid(); it.next()) {
        QORPluginVirtualHost* h = it.get();
        QORString text;
        check(h->getPermMap()->getDefaultPerms()->toText(&text), "default text");
        st = w.addVHost(QORStringRef(h->getID()), QORStringRef(h->getBranch()),
                        static_cast<unsigned int>(h->getFlags()), QORStringRef(text), nullptr, 0);
    }
    if (st != qor_s_ok)
        return;  // too large to write again

    Targets again;
    again.ctx = t.ctx;
    again.ctx.postURIs = &again.posts;
    again.ctx.configFlags = &again.flags;
    again.ctx.vhostList = &again.hosts;
    again.ctx.log = nullptr;
    check(readAnswer(shm, 0, alloc.usedLength(), &again.ctx) == qor_s_ok, "rewritten answer");
    check(entries(again.posts) == entries(t.posts), "post-URI table differs");
    check(entries(again.flags) == entries(t.flags), "flags table differs");
    check(again.ctx.urcEnabled == t.ctx.urcEnabled &&
              again.ctx.urcPollInterval == t.ctx.urcPollInterval,
          "cache settings differ");
    if (!fileHosts)
        check(hosts(again.hosts, false) == hosts(t.hosts, false), "hosts differ");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size > (1u << 20))
        return 0;
    unsigned mode = data[0];
    size_t n = size - 4;
    // The region in a block of exactly its size, so that ASan sees any read
    // past it; whole words, as segments are.
    size_t words = (n + 3) / 4;
    uint32_t* segment = static_cast<uint32_t*>(malloc(words ? words * 4 : 4));
    memset(segment, 0, words * 4);
    memcpy(segment, data + 4, n);
    QORLocalSharedMem shm(segment, static_cast<unsigned int>(words * 4));

    NullLog log;
    {
        Targets t;
        if (mode & 0x20)
            prefill(t);
        if (mode & 0x01)
            t.ctx.log = &log;
        t.ctx.postURIs = (mode & 0x02) ? &t.posts : nullptr;
        t.ctx.postURIBuckets = 20;
        t.ctx.configFlags = (mode & 0x04) ? &t.flags : nullptr;
        t.ctx.configFlagBuckets = 20;
        t.ctx.vhostList = (mode & 0x08) ? &t.hosts : nullptr;
        t.ctx.urcEnabled = false;
        t.ctx.urcPollInterval = -1;
        void* context = (mode & 0x10) ? nullptr : &t.ctx;

        QORStatus st = readAnswer(shm, 0, static_cast<unsigned int>(n), context);
        check(expectedStatus(st), "unexpected status");
        check(st == qor_s_ok || context == nullptr || (mode & 0x01) == 0 || log.lines > 0,
              "failure not logged");
        checkUnlocked(t);
        hosts(t.hosts);
        entries(t.posts);
        entries(t.flags);
        if (!t.ctx.urcEnabled)
            check(t.ctx.urcPollInterval == -1, "disabled cache with a poll interval");
        if (st == qor_s_ok && context != nullptr && (mode & 0x0e) == 0x0e)
            rewrite(t);
    }
    free(segment);
    return 0;
}
