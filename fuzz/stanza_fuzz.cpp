// stanza_fuzz.cpp: the stanza-file scanner over arbitrary bytes. Each input
// is a file's content, held in memory (a memfd) and read in memory mode:
// every stanza and entry is walked and found again by name. The same content
// walked in file mode must give the same stanzas in reverse order, and an
// entry inserted into a tmpfs copy and deleted again must give back the
// original bytes. The first byte picks the local code page (UTF-8 or ASCII).

// Large-file interfaces in 32-bit builds too: stat and readdir fail there
// with EOVERFLOW on 64-bit inode numbers otherwise.
#define _FILE_OFFSET_BITS 64
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/file/qorstanza.h"
#include "core/platform/qorlox.h"
#include "core/system/qorreport.h"

namespace {

struct Entry {
    std::string name;
    std::string value;
    bool hasValue;
};

struct Stanza {
    std::string name;
    std::vector<Entry> entries;
    bool operator==(const Stanza& o) const
    {
        if (name != o.name || entries.size() != o.entries.size())
            return false;
        for (size_t i = 0; i < entries.size(); i++)
            if (entries[i].name != o.entries[i].name ||
                entries[i].hasValue != o.entries[i].hasValue ||
                entries[i].value != o.entries[i].value)
                return false;
        return true;
    }
};

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "stanza_fuzz: %s\n", what);
        abort();
    }
}

void silentSink(const char*, int, int, QORStatus, va_list) {}

// Walks every stanza and entry; *error tells whether a step failed.
std::vector<Stanza> walk(qorStanzaFile* stz, bool* error)
{
    std::vector<Stanza> out;
    *error = false;
    for (qorStzMoveFirstStanza(stz); stz->status == 0 && stz->stanzaName != nullptr;
         qorStzMoveNextStanza(stz)) {
        out.push_back({stz->stanzaName, {}});
        for (; stz->status == 0 && stz->entryName != nullptr; qorStzMoveNextEntry(stz)) {
            check(strlen(stz->entryName) > 0, "empty entry name");
            check(stz->value == nullptr || strlen(stz->value) > 0, "empty value");
            out.back().entries.push_back({stz->entryName, stz->value ? stz->value : "",
                                          stz->value != nullptr});
        }
    }
    *error = stz->status != 0;
    return out;
}

void setLocale(bool utf8)
{
    static int current = -1;
    if (current == static_cast<int>(utf8))
        return;
    setlocale(LC_CTYPE, utf8 ? "C.UTF-8" : "C");
    lox_cs_local_reset();
    current = utf8;
}

// The memfd that serves each input, and its path for fopen.
int g_memfd = -1;
char g_memPath[64];
// A tmpfs directory for the edit round trip.
std::string g_editDir;

void removeEditDir()
{
    unlink((g_editDir + "/fuzz.conf").c_str());
    rmdir(g_editDir.c_str());
}

bool writeAll(int fd, const uint8_t* data, size_t size)
{
    if (ftruncate(fd, 0) != 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readAll(const std::string& path)
{
    std::string s;
    FILE* fp = fopen(path.c_str(), "rb");
    char block[4096];
    size_t n;
    while (fp != nullptr && (n = fread(block, 1, sizeof block, fp)) > 0)
        s.append(block, n);
    if (fp != nullptr)
        fclose(fp);
    return s;
}

// Inserting an entry before the current one and deleting it again restores
// the file.
void editRoundTrip(const uint8_t* data, size_t size)
{
    if (g_editDir.empty())
        return;
    std::string path = g_editDir + "/fuzz.conf";
    FILE* fp = fopen(path.c_str(), "wb");
    check(fp != nullptr && fwrite(data, 1, size, fp) == size && fclose(fp) == 0,
          "cannot write the edit copy");
    QORStatus status = 1;
    qorStanzaFile* stz = qorStzFileOpen(path.c_str(), QOR_STZ_UPDATE, &status);
    check(stz != nullptr && status == 0, "update open failed");
    if (stz->status == 0 && stz->stanzaName != nullptr) {
        qorStzInsertEntry(stz, "fuzz", "value");
        check(stz->status == 0, "insert failed");
        check(qorStzDeleteCurrentEntry(stz), "delete failed");
        check(readAll(path) == std::string(reinterpret_cast<const char*>(data), size),
              "insert and delete did not restore the file");
    }
    qorStzFileClose(stz);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qor_report_set_sink(silentSink);
    g_memfd = memfd_create("stanza_fuzz", MFD_CLOEXEC);
    check(g_memfd >= 0, "memfd_create failed");
    snprintf(g_memPath, sizeof g_memPath, "/proc/self/fd/%d", g_memfd);
    char dir[] = "/dev/shm/stanza_fuzzXXXXXX";
    if (mkdtemp(dir) != nullptr) {
        g_editDir = dir;
        atexit(removeEditDir);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_memfd < 0)
        LLVMFuzzerInitialize(nullptr, nullptr);
    setLocale(size > 0 && (data[0] & 1) != 0);
    check(writeAll(g_memfd, data, size), "cannot fill the memfd");

    QORStatus status = 1;
    qorStanzaFile* mem = qorStzFileOpen(g_memPath, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY,
                                        &status);
    check(mem != nullptr && status == 0, "memory-mode open failed");
    bool memError;
    std::vector<Stanza> stanzas = walk(mem, &memError);
    check(!memError, "memory-mode walk failed");
    // A search finds the first stanza of a name in this order, and in it
    // the first entry of a name.
    for (size_t i = 0; i < stanzas.size(); i++) {
        const Stanza& s = stanzas[i];
        bool first = true;
        for (size_t j = 0; j < i; j++)
            first = first && stanzas[j].name != s.name;
        if (!first)
            continue;
        check(qorStzMoveStanza(mem, s.name.c_str()), "stanza not found again");
        for (const Entry& e : s.entries) {
            check(qorStzMoveEntryInStanza(mem, e.name.c_str()), "entry not found again");
            const Entry* want = &e;
            for (const Entry& f : s.entries)
                if (f.name == e.name) {
                    want = &f;
                    break;
                }
            check(want->hasValue == (mem->value != nullptr) &&
                      (mem->value == nullptr || want->value == mem->value),
                  "search found another value");
        }
        if (!s.entries.empty())
            check(qorStzStanzaSize(mem) == s.entries.size(), "stanza size differs");
    }
    qorStzFileClose(mem);

    qorStanzaFile* file = qorStzFileOpen(g_memPath, QOR_STZ_READ_ONLY, &status);
    check(file != nullptr && status == 0, "file-mode open failed");
    bool fileError;
    std::vector<Stanza> fileStanzas = walk(file, &fileError);
    int valid = qorStzValidate(file);
    qorStzFileClose(file);
    check(!fileError || !valid, "walk failed on a file that validates");
    if (!fileError) {
        check(fileStanzas.size() == stanzas.size(), "modes differ in stanza count");
        for (size_t i = 0; i < stanzas.size(); i++)
            check(fileStanzas[i] == stanzas[stanzas.size() - 1 - i],
                  "modes differ in a stanza");
    }
    if (size > 0 && (data[0] & 2) != 0)
        editRoundTrip(data, size);
    return 0;
}
