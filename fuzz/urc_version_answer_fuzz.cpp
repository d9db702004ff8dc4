// urc_version_answer_fuzz.cpp: arbitrary bytes as a cache version answer,
// applied to a cache that already holds a database. Whatever the bytes, the
// unmarshaller must read only inside the region, keep the cache's version
// and database when it fails, install a new database only together with
// the 20 version bytes the answer starts with, and leak nothing (the cache
// and whatever was built are destroyed at the end under ASan).
//
// Input: the result region, in a heap block of exactly its size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msg/server/qorurcversionanswerwriter.h"
#include "plugin/core/qoractiongrouplist.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "urc_version_answer_fuzz: %s\n", what);
        abort();
    }
}

// Gives the cache a first database, as an earlier answer would have.
void prime(QORUnprotResourceCache& cache)
{
    static unsigned char area[256] __attribute__((aligned(4)));
    QORLocalSharedMem shm(area, sizeof area);
    QORSharedMemAllocator alloc;
    alloc.initialize(shm, 0, sizeof area);
    QORURCVersionAnswerWriter w(alloc);
    QOREpochVersion v = {};
    v.m_counter = -5;
    check(w.begin(v) == qor_s_ok && w.beginBranch(QORStringRef("/old"), 1) == qor_s_ok &&
              w.addEntry(QORStringRef("/old/a"), QORStringRef("r")) == qor_s_ok,
          "priming answer not written");
    QORSharedMemIterator it;
    check(it.initialize(&alloc) == qor_s_ok, "priming iterator not set up");
    QORURCVersionAnswerContext ctx = {&cache, nullptr};
    QORURCVersionAnswerUnmarshaller u;
    check(u.unmarshal(it, &ctx) == qor_s_ok && cache.getDB() != nullptr, "priming failed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1u << 20)
        return 0;
    unsigned char* region = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size != 0)
        memcpy(region, data, size);
    {
        QORUnprotResourceCache cache;
        prime(cache);
        const QORURCDB* before = cache.getDB();
        QOREpochVersion oldVersion = cache.getVersion();

        QORLocalSharedMem shm(region, static_cast<unsigned int>(size));
        QORSharedMemIterator it;
        check(it.initialize(shm, 0, static_cast<unsigned int>(size)) == qor_s_ok,
              "iterator refused the whole region");
        QORURCVersionAnswerContext ctx = {&cache, nullptr};
        QORURCVersionAnswerUnmarshaller u;
        QORStatus st = u.unmarshal(it, &ctx);

        if (st != qor_s_ok || cache.getDB() == before) {
            check(cache.getDB() == before, "a failed answer changed the database");
            check(cache.getVersion() == oldVersion, "the version changed without a database");
        } else {
            // The version element: header, byte count 20, the version.
            check(size >= 32, "a database from an answer too short to hold a version");
            check(memcmp(&cache.getVersion(), region + 12, 20) == 0,
                  "the version installed is not the answer's");
            const QORURCDB* db = cache.getDB();
            db->forEach([](const QORString&, QORURCBranchDB* branch) {
                branch->forEach([](const QORString&, QORUnprotResourceCacheBranchDBEntry* e) {
                    bool some = e->getPermType() ==
                                QORUnprotResourceCacheBranchDBEntry::qor_urc_perm_type_some;
                    check(some == (e->getPerms() != nullptr), "entry type and list disagree");
                });
            });
        }
    }
    free(region);
    return 0;
}
