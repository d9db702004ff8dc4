// qorstanza.cpp: the stanza-file scanner, the cursor in both modes, the
// memory-mode copy and the edits.
//
// An edit never writes into the stanza file itself. The tail after the
// replaced range is staged in a nameless file beside it, then the whole new content
// goes into a new file beside the original, which is synced, locked and
// renamed over it; the handle then reads from the new file and drops the old
// one. Any failure before the rename leaves the original untouched, and the
// rename is atomic. Openers check after locking that the path still names
// the file they locked, so one that waited on a replaced file opens again.

#include "core/file/qorstanza.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/file/qorfile.h"
#include "core/platform/qorlox.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"
#include "core/system/qorsyserr.h"

struct qorStzEntryNode {
    char* name;
    char* value;
    qorStzEntryNode* next;
};

struct qorStzStanzaNode {
    char* name;
    qorStzEntryNode* entries;
    qorStzStanzaNode* next;
};

// The current entry is null before a stanza's first entry only when the
// stanza has none; once a walk runs past the last entry it stays null, as
// the file-mode cursor does at a heading.
struct qorStanzaCache {
    qorStzStanzaNode* first;
    qorStzStanzaNode* stanza;
    qorStzEntryNode* entry;
};

namespace {

// fgets buffer: a line is read in pieces of at most QOR_STZ_MAX_LINE bytes.
const int kPiece = QOR_STZ_MAX_LINE + 1;
// Openers that keep finding the file replaced under them give up.
const int kMaxReopen = 100;

const uint32_t kAllModes =
    QOR_STZ_READ_ONLY | QOR_STZ_UPDATE | QOR_STZ_NO_WAIT | QOR_STZ_IN_MEMORY;

void freeNames(qorStanzaFile* stz, bool stanzaToo)
{
    if (stz->cache == nullptr) {
        free(stz->entryName);
        free(stz->value);
        if (stanzaToo)
            free(stz->stanzaName);
    }
    stz->entryName = nullptr;
    stz->value = nullptr;
    if (stanzaToo)
        stz->stanzaName = nullptr;
}

void replaceString(char** field, char* s)
{
    free(*field);
    *field = s;
}

char* copyOrNull(const char* s)
{
    return s != nullptr && *s != '\0' ? strdup(s) : nullptr;
}

// The stream offset as a 32-bit file offset; -1 when it has none or it does
// not fit.
long tell(FILE* fp)
{
    long off = ftell(fp);
    return off >= 0 && off <= INT32_MAX ? off : -1;
}

void setMemoryNames(qorStanzaFile* stz)
{
    qorStanzaCache* c = stz->cache;
    stz->stanzaName = c->stanza != nullptr ? c->stanza->name : nullptr;
    stz->entryName = c->entry != nullptr ? c->entry->name : nullptr;
    stz->value = c->entry != nullptr ? c->entry->value : nullptr;
}

void freeCache(qorStanzaCache* c)
{
    if (c == nullptr)
        return;
    for (qorStzStanzaNode* s = c->first; s != nullptr;) {
        for (qorStzEntryNode* e = s->entries; e != nullptr;) {
            qorStzEntryNode* next = e->next;
            free(e->name);
            free(e->value);
            free(e);
            e = next;
        }
        qorStzStanzaNode* next = s->next;
        free(s->name);
        free(s);
        s = next;
    }
    free(c);
}

bool isSpace(lox_unichar_t c)
{
    return lox_iswspace(c) != 0;
}

// A text with no local form, for a report: ASCII as it is, every other unit
// as U+XXXX.
void describeWide(const lox_unichar_t* s, char* out, size_t size)
{
    size_t used = 0;
    for (; *s != 0 && used + 7 < size; s++) {
        if (*s < 0x80)
            out[used++] = static_cast<char>(*s);
        else
            used += static_cast<size_t>(
                snprintf(out + used, size - used, "U+%04X", static_cast<unsigned>(*s)));
    }
    out[used] = 0;
}

// Converts the 16-bit text [s, s + n) to a heap string in the local code
// page. Null with *status set on failure.
char* narrow(const lox_unichar_t* s, size_t n, QORStatus* status)
{
    lox_unichar_t wide[kPiece];
    char text[kPiece];
    if (n >= static_cast<size_t>(kPiece)) {
        *status = qor_s_wc_to_mb_failed;
        return nullptr;
    }
    memcpy(wide, s, n * sizeof(lox_unichar_t));
    wide[n] = 0;
    size_t len = lox_wcstombs(text, wide, sizeof text);
    if (len == static_cast<size_t>(-1) || len >= sizeof text) {
        char shown[kPiece * 6];
        describeWide(wide, shown, sizeof shown);
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_stz_wc_conversion_msg, shown);
        *status = qor_s_wc_to_mb_failed;
        return nullptr;
    }
    char* copy = strdup(text);
    if (copy == nullptr)
        *status = qor_s_stz_no_memory;
    return copy;
}

size_t findChar(const lox_unichar_t* s, size_t from, size_t n,
                lox_unichar_t c)
{
    while (from < n && s[from] != c)
        from++;
    return from;
}

// The shape of the n 16-bit characters of a line, its newline taken off:
// *start is where its text begins; *mark the ']' of a heading or the '='
// of an entry (n when there is none).
QORStzLine shapeOf(const lox_unichar_t* wide, size_t n, size_t* start, size_t* mark)
{
    size_t i = 0;
    while (i < n && isSpace(wide[i]))
        i++;
    *start = i;
    *mark = n;
    if (i == n || wide[i] == '#')
        return QORStzLine::skipped;
    if (wide[i] == '[') {
        *mark = findChar(wide, i + 1, n, ']');
        return *mark == n ? QORStzLine::noBracket : QORStzLine::heading;
    }
    *mark = findChar(wide, i, n, '=');
    return *mark == n || *mark == i ? QORStzLine::noSeparator : QORStzLine::entry;
}

void unlockAndClose(FILE* fp)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(fileno(fp), F_SETLK, &fl);
    fclose(fp);
}

bool lockWhole(int fd, short type, bool wait)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
    } while (rc == -1 && errno == EINTR && wait);
    return rc == 0;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when path still names the file open on fd.
bool pathNamesFile(const char* path, int fd)
{
    struct stat open, named;
    return fstat(fd, &open) == 0 && stat(path, &named) == 0 &&
           sameFile(open, named);
}

void reportOpenFailure(const char* path, int err)
{
    char text[128];
    QOR_REPORT(qor_s_file_open_msg, path, qor_sys_strerror(err, text, sizeof text),
               err);
}

// Opens and locks the file. A lock granted on a file that has meanwhile been
// replaced (an edit renamed a new one over it) is dropped and the file now
// at the path is opened instead.
QORStatus openLocked(qorStanzaFile* stz)
{
    bool readOnly = (stz->mode & QOR_STZ_READ_ONLY) != 0;
    bool wait = (stz->mode & QOR_STZ_NO_WAIT) == 0;
    for (int attempt = 0; attempt < kMaxReopen; attempt++) {
        FILE* fp = fopen(stz->fileName, readOnly ? "re" : "r+e");
        if (fp == nullptr) {
            int err = errno;
            reportOpenFailure(stz->fileName, err);
            return err == EACCES ? qor_s_stz_no_permission : qor_s_stz_open_failed;
        }
        if (!lockWhole(fileno(fp), readOnly ? F_RDLCK : F_WRLCK, wait)) {
            int err = errno;
            fclose(fp);
            if (err == EAGAIN || err == EACCES)
                return qor_s_stz_would_block;
            char text[128];
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_stz_lock_error_msg,
                       qor_sys_strerror(err, text, sizeof text), err);
            return qor_s_stz_lock_failed;
        }
        if (pathNamesFile(stz->fileName, fileno(fp))) {
            stz->fp = fp;
            return qor_s_ok;
        }
        unlockAndClose(fp);
    }
    return qor_s_stz_lock_failed;
}

// Copies [start, end) of in (end -1: to its end) to out.
bool copyRange(FILE* in, long start, long end, FILE* out)
{
    if (fseek(in, start, SEEK_SET) != 0)
        return false;
    char block[4096];
    long left = end < 0 ? LONG_MAX : end - start;
    while (left > 0) {
        size_t want = left < static_cast<long>(sizeof block)
                          ? static_cast<size_t>(left) : sizeof block;
        size_t got = fread(block, 1, want, in);
        if (got > 0 && fwrite(block, 1, got, out) != got)
            return false;
        left -= static_cast<long>(got);
        if (got < want)
            return !ferror(in) && end < 0;
    }
    return true;
}

// Creates the file that holds the tail of the stanza file during an edit:
// a nameless file in the stanza file's directory, or where the file system
// cannot make one, a file of a random name beside the stanza file, removed
// at once. No fixed name another user could take or link elsewhere.
int openStaging(const char* fileName)
{
    char real[PATH_MAX];
    if (realpath(fileName, real) == nullptr)
        return -1;
    char* slash = strrchr(real, '/');
    if (slash == nullptr)
        return -1;
    char dir[PATH_MAX];
    size_t len = slash == real ? 1 : static_cast<size_t>(slash - real);
    memcpy(dir, real, len);
    dir[len] = '\0';
    int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    char tmpl[PATH_MAX + 16];
    snprintf(tmpl, sizeof tmpl, "%s.tailXXXXXX", real);
    fd = mkostemp(tmpl, O_CLOEXEC);
    if (fd >= 0)
        unlink(tmpl);
    return fd;
}

void syncDirectoryOf(const char* path)
{
    const char* slash = strrchr(path, '/');
    char dir[PATH_MAX];
    size_t len = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (len == 0 || len >= sizeof dir)
        return;
    memcpy(dir, path, len);
    dir[len] = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Gives the new file the owner and permission bits of the old one.
bool copyOwnership(int fd, const struct stat& old)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    return fchmod(fd, old.st_mode & 07777) == 0;
}

// Writes [0, from) of the stanza file, text and the staged tail into a new
// file beside the stanza file and renames it over that file. On success
// the handle's stream is the new file, locked, positioned after text.
bool writeReplacement(qorStanzaFile* stz, long from, const char* text,
                      FILE* tail)
{
    char real[PATH_MAX];
    struct stat old, named;
    int oldFd = fileno(stz->fp);
    if (realpath(stz->fileName, real) == nullptr || fstat(oldFd, &old) != 0 ||
        stat(real, &named) != 0 || !sameFile(old, named))
        return false;
    // Renaming over a file with several links would detach it from them.
    if (old.st_nlink != 1)
        return false;

    char tmpl[PATH_MAX + 8];
    snprintf(tmpl, sizeof tmpl, "%s.XXXXXX", real);
    int fd = mkostemp(tmpl, O_CLOEXEC);
    if (fd < 0)
        return false;
    FILE* out = fdopen(fd, "w+");
    if (out == nullptr) {
        close(fd);
        unlink(tmpl);
        return false;
    }
    size_t textLen = strlen(text);
    bool ok = copyRange(stz->fp, 0, from, out) &&
              fwrite(text, 1, textLen, out) == textLen &&
              copyRange(tail, 0, -1, out) && fflush(out) == 0 &&
              copyOwnership(fd, old) && fsync(fd) == 0 &&
              lockWhole(fd, F_WRLCK, false) && rename(tmpl, real) == 0;
    if (!ok) {
        fclose(out);
        unlink(tmpl);
        return false;
    }
    syncDirectoryOf(real);
    unlockAndClose(stz->fp);
    stz->fp = out;
    fseek(out, from + static_cast<long>(textLen), SEEK_SET);
    return true;
}

// A string argument that may be one of the handle's own strings, which a
// move frees in file mode (iterating with the current entry's name, say):
// such an argument is copied first.
class QORStzArg {
public:
    QORStzArg(const qorStanzaFile* stz, const char* s) : m_copy(nullptr), m_s(s)
    {
        if (s != nullptr && stz->cache == nullptr &&
            (s == stz->stanzaName || s == stz->entryName || s == stz->value))
            m_s = m_copy = strdup(s);
    }
    ~QORStzArg() { free(m_copy); }
    QORStzArg(const QORStzArg&) = delete;
    QORStzArg& operator=(const QORStzArg&) = delete;

    operator const char*() const { return m_s; }

private:
    char* m_copy;
    const char* m_s;
};

// Builds an edit's line. Refuses one the reader would not read back as one
// line: longer than a line piece, or holding a newline.
bool buildLine(qorStanzaFile* stz, char* line, const char* name,
               const char* value, bool heading);

// The one scanner behind every move; *atEnd tells the caller that it
// stopped at the end of the file rather than at a heading or an entry.
// With headingOnly a heading that is read ends the scan, before the
// stanza's first entry.
bool scanFile(qorStanzaFile* stz, bool nextStanza, bool acrossStanzas,
              bool* atEnd, bool headingOnly = false);
bool scanMemory(qorStanzaFile* stz, bool nextStanza, bool acrossStanzas);

}  // namespace

// Records a failure: the cursor goes past the end.
static void qor_zSetError(qorStanzaFile* stz, QORStatus status)
{
    freeNames(stz, true);
    if (stz->cache != nullptr) {
        stz->cache->stanza = nullptr;
        stz->cache->entry = nullptr;
    } else if (stz->fp != nullptr && fseek(stz->fp, 0, SEEK_END) == 0) {
        long end = tell(stz->fp);
        stz->stanzaOffset = static_cast<int32_t>(end);
        stz->entryOffset = static_cast<int32_t>(end);
    }
    stz->status = status;
}

static bool qor_zMoveNextLine(qorStanzaFile* stz, bool nextStanza,
                              bool acrossStanzas)
{
    if (stz->cache != nullptr)
        return scanMemory(stz, nextStanza, acrossStanzas);
    bool atEnd;
    return scanFile(stz, nextStanza, acrossStanzas, &atEnd);
}

static void qor_zFileCloseDescriptor(qorStanzaFile* stz)
{
    if (stz->fp == nullptr)
        return;
    unlockAndClose(stz->fp);
    stz->fp = nullptr;
}

// Replaces [from, to) of the stanza file with text.
static bool qor_zReplaceText(qorStanzaFile* stz, long from, long to,
                             const char* text)
{
    int fd = openStaging(stz->fileName);
    if (fd < 0) {
        reportOpenFailure(stz->fileName, errno);
        return false;
    }
    FILE* tail = fdopen(fd, "w+");
    if (tail == nullptr) {
        close(fd);
        return false;
    }
    bool ok = copyRange(stz->fp, to, -1, tail) && fflush(tail) == 0 &&
              writeReplacement(stz, from, text, tail);
    fclose(tail);
    return ok;
}

namespace {

bool buildLine(qorStanzaFile* stz, char* line, const char* name,
               const char* value, bool heading)
{
    int len = heading ? snprintf(line, kPiece, "[%s]\n", name)
                      : snprintf(line, kPiece, "%s = %s\n", name,
                                 value != nullptr ? value : "");
    if (len < 0 || len >= kPiece || strchr(line, '\n') != line + len - 1) {
        qor_zSetError(stz, qor_s_stz_bad_argument);
        return false;
    }
    return true;
}

bool scanFile(qorStanzaFile* stz, bool nextStanza, bool acrossStanzas,
              bool* atEnd, bool headingOnly)
{
    *atEnd = false;
    stz->status = qor_s_ok;
    if (stz->fp == nullptr) {
        qor_zSetError(stz, qor_s_stz_not_open);
        return false;
    }
    long restart = tell(stz->fp);
    char line[kPiece];
    lox_unichar_t wide[kPiece];
    for (;;) {
        long lineOffset = tell(stz->fp);
        if (restart < 0 || lineOffset < 0) {
            qor_zSetError(stz, qor_s_stz_read_failed);
            return false;
        }
        if (fgets(line, sizeof line, stz->fp) == nullptr) {
            if (ferror(stz->fp)) {
                qor_zSetError(stz, qor_s_stz_read_failed);
                return false;
            }
            if (nextStanza) {
                replaceString(&stz->stanzaName, nullptr);
                stz->stanzaOffset = static_cast<int32_t>(lineOffset);
            }
            stz->entryOffset = static_cast<int32_t>(lineOffset);
            freeNames(stz, false);
            *atEnd = true;
            return true;
        }
        size_t n = lox_mbstowcs(wide, line, kPiece);
        if (n == static_cast<size_t>(-1) || n >= static_cast<size_t>(kPiece)) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_stz_mb_conversion_msg, line);
            qor_zSetError(stz, qor_s_mb_to_wc_failed);
            return false;
        }
        if (n > 0 && wide[n - 1] == '\n')
            wide[--n] = 0;
        size_t i = 0, mark = 0;
        QORStzLine shape = shapeOf(wide, n, &i, &mark);
        if (shape == QORStzLine::skipped)
            continue;

        QORStatus status = qor_s_ok;
        if (shape == QORStzLine::heading || shape == QORStzLine::noBracket) {
            freeNames(stz, false);
            stz->entryOffset = static_cast<int32_t>(lineOffset);
            if (!nextStanza && !acrossStanzas) {
                fseek(stz->fp, restart, SEEK_SET);
                return true;
            }
            if (shape == QORStzLine::noBracket) {
                char* rest = narrow(wide + i + 1, n - i - 1, &status);
                QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_stz_bad_heading_msg,
                               rest != nullptr ? rest : line);
                free(rest);
                qor_zSetError(stz, qor_s_stz_no_bracket);
                return false;
            }
            char* name = narrow(wide + i + 1, mark - i - 1, &status);
            if (name == nullptr) {
                qor_zSetError(stz, status);
                return false;
            }
            replaceString(&stz->stanzaName, name);
            restart = tell(stz->fp);
            stz->stanzaOffset = static_cast<int32_t>(restart);
            stz->entryOffset = static_cast<int32_t>(restart);
            if (headingOnly)
                return true;
            nextStanza = false;
            acrossStanzas = false;
            continue;
        }
        if (nextStanza)
            continue;

        if (shape == QORStzLine::noSeparator) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_stz_bad_entry_msg, wide,
                       stz->stanzaName != nullptr ? stz->stanzaName : "");
            qor_zSetError(stz, qor_s_stz_no_separator);
            return false;
        }
        size_t eq = mark;
        size_t nameEnd = eq;
        while (nameEnd > i && isSpace(wide[nameEnd - 1]))
            nameEnd--;
        size_t v = eq + 1;
        while (v < n && isSpace(wide[v]))
            v++;
        size_t valueEnd = findChar(wide, v, n, '#');
        while (valueEnd > v && isSpace(wide[valueEnd - 1]))
            valueEnd--;

        char* name = narrow(wide + i, nameEnd - i, &status);
        char* value = name != nullptr && valueEnd > v
                          ? narrow(wide + v, valueEnd - v, &status) : nullptr;
        if (status != qor_s_ok) {
            free(name);
            qor_zSetError(stz, status);
            return false;
        }
        replaceString(&stz->entryName, name);
        replaceString(&stz->value, value);
        stz->entryOffset = static_cast<int32_t>(lineOffset);
        return true;
    }
}

bool scanMemory(qorStanzaFile* stz, bool nextStanza, bool acrossStanzas)
{
    qorStanzaCache* c = stz->cache;
    stz->status = qor_s_ok;
    freeNames(stz, nextStanza);
    if (c->stanza == nullptr) {
        freeNames(stz, true);
        return true;
    }
    if (nextStanza) {
        if (!acrossStanzas)
            return true;
        c->stanza = c->stanza->next;
        c->entry = c->stanza != nullptr ? c->stanza->entries : nullptr;
    } else {
        if (c->entry != nullptr)
            c->entry = c->entry->next;
        while (acrossStanzas && c->entry == nullptr && c->stanza->next != nullptr) {
            c->stanza = c->stanza->next;
            c->entry = c->stanza->entries;
        }
    }
    setMemoryNames(stz);
    return true;
}

// Reads the open file into a new cache, stanzas in reverse file order. A
// syntax error ends the load where it stands, keeping every stanza and
// entry before the bad line: a stanza's node is made as soon as its heading
// is read.
QORStatus loadCache(qorStanzaFile* stz, qorStanzaCache** result)
{
    qorStanzaCache* c = static_cast<qorStanzaCache*>(calloc(1, sizeof *c));
    if (c == nullptr)
        return qor_s_stz_no_memory;
    rewind(stz->fp);
    bool atEnd;
    while (scanFile(stz, true, true, &atEnd, true) && stz->stanzaName != nullptr) {
        qorStzStanzaNode* s = static_cast<qorStzStanzaNode*>(calloc(1, sizeof *s));
        if (s == nullptr || (s->name = strdup(stz->stanzaName)) == nullptr) {
            free(s);
            freeCache(c);
            return qor_s_stz_no_memory;
        }
        s->next = c->first;
        c->first = s;
        qorStzEntryNode** tail = &s->entries;
        while (qorStzMoveNextEntry(stz) && stz->entryName != nullptr) {
            qorStzEntryNode* e = static_cast<qorStzEntryNode*>(calloc(1, sizeof *e));
            if (e == nullptr) {
                freeCache(c);
                return qor_s_stz_no_memory;
            }
            e->name = stz->entryName;
            e->value = stz->value;
            stz->entryName = nullptr;
            stz->value = nullptr;
            *tail = e;
            tail = &e->next;
        }
    }
    *result = c;
    return qor_s_ok;
}

// The common checks of the edits, in order: a stream, the names the edit
// needs, a stream opened for update.
bool editAllowed(qorStanzaFile* stz, bool haveNames)
{
    stz->status = qor_s_ok;
    if (stz->fp == nullptr) {
        qor_zSetError(stz, qor_s_stz_not_open);
        return false;
    }
    if (!haveNames) {
        qor_zSetError(stz, qor_s_stz_null_argument);
        return false;
    }
    if ((stz->mode & QOR_STZ_UPDATE) == 0 || (stz->mode & QOR_STZ_READ_ONLY) != 0) {
        qor_zSetError(stz, qor_s_stz_read_only);
        return false;
    }
    return true;
}

// The end of the line that starts at offset (one line piece).
long lineEnd(qorStanzaFile* stz, long offset)
{
    char line[kPiece];
    if (fseek(stz->fp, offset, SEEK_SET) != 0 ||
        fgets(line, sizeof line, stz->fp) == nullptr) {
        qor_zSetError(stz, qor_s_stz_read_failed);
        return -1;
    }
    return tell(stz->fp);
}

// Writes line at entryOffset in place of [entryOffset, to), then stands
// after it with name and value as the current entry.
void putEntryLine(qorStanzaFile* stz, long to, const char* line,
                  const char* name, const char* value)
{
    long at = stz->entryOffset;
    if (!qor_zReplaceText(stz, at, to, line)) {
        qor_zSetError(stz, qor_s_stz_update_failed);
        return;
    }
    if (lineEnd(stz, at) < 0)
        return;
    char* n = strdup(name);
    char* v = copyOrNull(value);
    if (n == nullptr || (v == nullptr && value != nullptr && *value != '\0')) {
        free(n);
        free(v);
        qor_zSetError(stz, qor_s_stz_no_memory);
        return;
    }
    replaceString(&stz->entryName, n);
    replaceString(&stz->value, v);
    stz->entryOffset = static_cast<int32_t>(at);
}

bool deleteCurrentLine(qorStanzaFile* stz)
{
    long from = stz->entryOffset;
    long to = lineEnd(stz, from);
    if (to < 0)
        return false;
    if (!qor_zReplaceText(stz, from, to, "")) {
        qor_zSetError(stz, qor_s_stz_update_failed);
        return false;
    }
    return true;
}

}  // namespace

qorStanzaFile* qorStzFileOpen(const char* path, unsigned mode, QORStatus* status)
{
    QORStatus ignored;
    if (status == nullptr)
        status = &ignored;
    if (path == nullptr || (mode & (QOR_STZ_READ_ONLY | QOR_STZ_UPDATE)) == 0 ||
        (mode & ~kAllModes) != 0 ||
        ((mode & QOR_STZ_UPDATE) != 0 && (mode & QOR_STZ_IN_MEMORY) != 0)) {
        *status = qor_s_stz_bad_argument;
        return nullptr;
    }
    qorStanzaFile* stz = static_cast<qorStanzaFile*>(calloc(1, sizeof *stz));
    if (stz == nullptr || (stz->fileName = strdup(path)) == nullptr) {
        free(stz);
        *status = qor_s_stz_no_memory;
        return nullptr;
    }
    stz->mode = mode;
    *status = openLocked(stz);
    if (*status != qor_s_ok) {
        qorStzFileClose(stz);
        return nullptr;
    }
    if ((mode & QOR_STZ_IN_MEMORY) == 0) {
        qorStzMoveFirstStanza(stz);
        return stz;
    }
    qorStanzaCache* cache = nullptr;
    *status = loadCache(stz, &cache);
    if (*status != qor_s_ok) {
        qorStzFileClose(stz);
        return nullptr;
    }
    freeNames(stz, true);
    qor_zFileCloseDescriptor(stz);
    stz->cache = cache;
    qorStzMoveFirstStanza(stz);
    return stz;
}

void qorStzFileClose(qorStanzaFile* stz)
{
    if (stz == nullptr)
        return;
    qor_zFileCloseDescriptor(stz);
    freeNames(stz, true);
    freeCache(stz->cache);
    free(stz->fileName);
    free(stz);
}

int qorStzValidate(qorStanzaFile* stz)
{
    if (stz == nullptr)
        return 0;
    stz->status = qor_s_ok;
    if (stz->fp == nullptr) {
        qor_zSetError(stz, qor_s_stz_not_open);
        return 0;
    }
    stz->stanzaOffset = 0;
    stz->entryOffset = 0;
    if (fseek(stz->fp, 0, SEEK_SET) != 0) {
        qor_zSetError(stz, qor_s_stz_read_failed);
        return 0;
    }
    for (;;) {
        bool atEnd;
        if (!scanFile(stz, false, true, &atEnd))
            return 0;
        if (atEnd)
            return 1;
    }
}

void qorStzMoveFirstStanza(qorStanzaFile* stz)
{
    if (stz == nullptr)
        return;
    if (stz->cache != nullptr) {
        stz->status = qor_s_ok;
        stz->cache->stanza = stz->cache->first;
        stz->cache->entry = stz->cache->first != nullptr ? stz->cache->first->entries
                                                        : nullptr;
        setMemoryNames(stz);
        return;
    }
    if (stz->fp != nullptr)
        rewind(stz->fp);
    qor_zMoveNextLine(stz, true, true);
}

int qorStzMoveNextStanza(qorStanzaFile* stz)
{
    return stz != nullptr && qor_zMoveNextLine(stz, true, true);
}

int qorStzMoveFirstEntry(qorStanzaFile* stz)
{
    if (stz == nullptr)
        return 0;
    qorStanzaCache* c = stz->cache;
    if (c != nullptr) {
        stz->status = qor_s_ok;
        if (c->stanza == nullptr)
            c->stanza = c->first;
        c->entry = c->stanza != nullptr ? c->stanza->entries : nullptr;
        setMemoryNames(stz);
        return 1;
    }
    if (stz->fp != nullptr && fseek(stz->fp, stz->stanzaOffset, SEEK_SET) != 0) {
        qor_zSetError(stz, qor_s_stz_read_failed);
        return 0;
    }
    return qor_zMoveNextLine(stz, false, false);
}

int qorStzMoveNextEntry(qorStanzaFile* stz)
{
    return stz != nullptr && qor_zMoveNextLine(stz, false, false);
}

int qorStzMoveStanza(qorStanzaFile* stz, const char* nameArg)
{
    if (stz == nullptr)
        return 0;
    QORStzArg name(stz, nameArg);
    stz->status = qor_s_ok;
    if (name == nullptr) {
        qor_zSetError(stz, qor_s_stz_null_argument);
        return 0;
    }
    if (stz->stanzaName != nullptr && strcmp(stz->stanzaName, name) == 0)
        return qorStzMoveFirstEntry(stz);
    qorStzMoveFirstStanza(stz);
    while (stz->status == qor_s_ok && stz->stanzaName != nullptr) {
        if (strcmp(stz->stanzaName, name) == 0)
            return 1;
        if (!qorStzMoveNextStanza(stz))
            return 0;
    }
    return 0;
}

int qorStzMoveEntryInStanza(qorStanzaFile* stz, const char* nameArg)
{
    if (stz == nullptr)
        return 0;
    QORStzArg name(stz, nameArg);
    stz->status = qor_s_ok;
    if (name == nullptr) {
        qor_zSetError(stz, qor_s_stz_null_argument);
        return 0;
    }
    if (stz->entryName != nullptr && strcmp(stz->entryName, name) == 0)
        return 1;
    if (!qorStzMoveFirstEntry(stz))
        return 0;
    while (stz->entryName != nullptr) {
        if (strcmp(stz->entryName, name) == 0)
            return 1;
        if (!qorStzMoveNextEntry(stz))
            return 0;
    }
    return 0;
}

int qorStzMoveEntry(qorStanzaFile* stz, const char* stanzaArg, const char* nameArg)
{
    if (stz == nullptr)
        return 0;
    QORStzArg stanza(stz, stanzaArg);
    QORStzArg name(stz, nameArg);
    if (stanza == nullptr || name == nullptr) {
        qor_zSetError(stz, qor_s_stz_null_argument);
        return 0;
    }
    return qorStzMoveStanza(stz, stanza) && qorStzMoveEntryInStanza(stz, name);
}

int qorStzIterateEntryInStanza(qorStanzaFile* stz, const char* nameArg)
{
    if (stz == nullptr)
        return 0;
    QORStzArg name(stz, nameArg);
    stz->status = qor_s_ok;
    if (name == nullptr) {
        qor_zSetError(stz, qor_s_stz_null_argument);
        return 0;
    }
    for (;;) {
        if (!qorStzMoveNextEntry(stz) || stz->entryName == nullptr)
            return 0;
        if (strcmp(stz->entryName, name) == 0)
            return 1;
    }
}

unsigned qorStzStanzaSize(qorStanzaFile* stz)
{
    if (stz == nullptr || stz->stanzaName == nullptr ||
        stz->entryName == nullptr || stz->status != qor_s_ok)
        return 0;
    char* current = strdup(stz->entryName);
    if (current == nullptr)
        return 0;
    unsigned count = 0;
    if (qorStzMoveFirstEntry(stz)) {
        while (stz->entryName != nullptr) {
            count++;
            if (!qorStzMoveNextEntry(stz))
                break;
        }
    }
    if (stz->status == qor_s_ok)
        qorStzMoveEntryInStanza(stz, current);
    free(current);
    return count;
}

void qorStzAddStanza(qorStanzaFile* stz, const char* nameArg)
{
    if (stz == nullptr)
        return;
    QORStzArg name(stz, nameArg);
    char line[kPiece];
    if (!editAllowed(stz, name != nullptr) ||
        !buildLine(stz, line, name, nullptr, true))
        return;
    if (qorStzMoveStanza(stz, name) || stz->status != qor_s_ok)
        return;
    long end;
    if (fseek(stz->fp, 0, SEEK_END) != 0 || (end = tell(stz->fp)) < 0) {
        qor_zSetError(stz, qor_s_stz_read_failed);
        return;
    }
    if (!qor_zReplaceText(stz, end, end, line)) {
        qor_zSetError(stz, qor_s_stz_update_failed);
        return;
    }
    char* copy = strdup(name);
    if (copy == nullptr) {
        qor_zSetError(stz, qor_s_stz_no_memory);
        return;
    }
    freeNames(stz, false);
    replaceString(&stz->stanzaName, copy);
    end = tell(stz->fp);
    stz->stanzaOffset = static_cast<int32_t>(end);
    stz->entryOffset = static_cast<int32_t>(end);
}

void qorStzAddEntry(qorStanzaFile* stz, const char* nameArg, const char* valueArg)
{
    if (stz == nullptr)
        return;
    QORStzArg name(stz, nameArg);
    QORStzArg value(stz, valueArg);
    char line[kPiece];
    if (!editAllowed(stz, name != nullptr && stz->stanzaName != nullptr) ||
        !buildLine(stz, line, name, value, false))
        return;
    if (qorStzMoveEntryInStanza(stz, name)) {
        qorStzChangeValue(stz, value);
        return;
    }
    if (stz->status != qor_s_ok)
        return;
    putEntryLine(stz, stz->entryOffset, line, name, value);
}

void qorStzInsertEntry(qorStanzaFile* stz, const char* nameArg, const char* valueArg)
{
    if (stz == nullptr)
        return;
    QORStzArg name(stz, nameArg);
    QORStzArg value(stz, valueArg);
    char line[kPiece];
    if (!editAllowed(stz, name != nullptr && stz->stanzaName != nullptr) ||
        !buildLine(stz, line, name, value, false))
        return;
    putEntryLine(stz, stz->entryOffset, line, name, value);
}

void qorStzChangeValue(qorStanzaFile* stz, const char* value)
{
    char line[kPiece];
    if (stz == nullptr ||
        !editAllowed(stz, stz->stanzaName != nullptr && stz->entryName != nullptr) ||
        !buildLine(stz, line, stz->entryName, value, false))
        return;
    long to = lineEnd(stz, stz->entryOffset);
    if (to < 0)
        return;
    char* name = strdup(stz->entryName);
    if (name == nullptr) {
        qor_zSetError(stz, qor_s_stz_no_memory);
        return;
    }
    putEntryLine(stz, to, line, name, value);
    free(name);
}

int qorStzDeleteEntry(qorStanzaFile* stz, const char* stanzaArg, const char* nameArg)
{
    if (stz == nullptr)
        return 0;
    QORStzArg stanza(stz, stanzaArg);
    QORStzArg name(stz, nameArg);
    if (!editAllowed(stz, stanza != nullptr && name != nullptr))
        return 0;
    if (!qorStzMoveEntry(stz, stanza, name)) {
        if (stz->status == qor_s_ok)
            qor_zSetError(stz, qor_s_stz_not_present);
        return 0;
    }
    return deleteCurrentLine(stz);
}

int qorStzDeleteCurrentEntry(qorStanzaFile* stz)
{
    if (stz == nullptr ||
        !editAllowed(stz, stz->stanzaName != nullptr && stz->entryName != nullptr))
        return 0;
    return deleteCurrentLine(stz);
}

QORStzLine qorStzClassifyLine(const char* line, size_t length)
{
    if (length > static_cast<size_t>(QOR_STZ_MAX_LINE))
        return QORStzLine::tooLong;
    char text[kPiece];
    memcpy(text, line, length);
    text[length] = 0;
    lox_unichar_t wide[kPiece];
    size_t n = lox_mbstowcs(wide, text, kPiece);
    if (n == static_cast<size_t>(-1) || n >= static_cast<size_t>(kPiece))
        return QORStzLine::unconvertible;
    size_t start = 0, mark = 0;
    return shapeOf(wide, n, &start, &mark);
}
