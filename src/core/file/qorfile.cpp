// qorfile.cpp: the small file utilities.

#include "core/file/qorfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/system/qorsyserr.h"

namespace {

const int kReadlineStep = 100;
const int kTailLine = 512;
const size_t kCopyBlock = 512;

QORStatus errnoStatus()
{
    return qor_sys_status(errno);
}

void freeLines(int n, char* lines[])
{
    for (int i = 0; i < n; i++) {
        free(lines[i]);
        lines[i] = nullptr;
    }
}

// Buffer size for the reentrant passwd and group lookups.
size_t lookupBufferSize(int name)
{
    long size = sysconf(name);
    return size > 0 ? static_cast<size_t>(size) : 16384;
}

}  // namespace

extern "C" QORStatus qor_create_directory(const char* path, int* err)
{
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return qor_s_ok;
    int e = errno;
    if (err != nullptr)
        *err = e;
    return qor_sys_status(e);
}

extern "C" QORStatus qor_file_readline(FILE* fp, char** buf, int* size, int* len)
{
    if (*buf == nullptr || *size < 1) {
        char* fresh = static_cast<char*>(realloc(*buf, kReadlineStep));
        if (fresh == nullptr) {
            free(*buf);
            *buf = nullptr;
            *size = 0;
            *len = 0;
            return qor_s_no_memory;
        }
        *buf = fresh;
        *size = kReadlineStep;
    }
    int used = 0;
    int c;
    while ((c = getc(fp)) != EOF) {
        // Room for this byte and the terminator.
        if (used + 2 > *size) {
            char* grown = static_cast<char*>(realloc(*buf, *size + kReadlineStep));
            if (grown == nullptr) {
                free(*buf);
                *buf = nullptr;
                *size = 0;
                *len = 0;
                return qor_s_no_memory;
            }
            *buf = grown;
            *size += kReadlineStep;
        }
        (*buf)[used++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    (*buf)[used] = '\0';
    *len = used;
    if (ferror(fp))
        return errnoStatus();
    if (used == 0) {
        free(*buf);
        *buf = nullptr;
        *size = 0;
    }
    return qor_s_ok;
}

extern "C" char* qor_mktemp(char* tmpl)
{
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return nullptr;
    close(fd);
    return tmpl;
}

extern "C" QORStatus qor_set_file_properties(const char* path,
                                             qor_file_props_t props)
{
    if (chown(path, props.uid, props.gid) != 0 ||
        chmod(path, static_cast<mode_t>(props.mode)) != 0)
        return qor_s_file_properties_failed;
    return qor_s_ok;
}

extern "C" QORStatus qor_get_file_properties(const char* path,
                                             qor_file_props_t* props)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return qor_s_file_properties_failed;
    props->mode = st.st_mode;
    props->uid = st.st_uid;
    props->gid = st.st_gid;
    return qor_s_ok;
}

extern "C" int qor_directory_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The last n lines are kept in a ring; at the end it is turned so that the
// oldest kept line comes first, which moves exactly the buffers never
// filled to the back (and leaves empty lines of the file where they were).
extern "C" QORStatus qor_file_tail(const char* path, int n, char* lines[])
{
    if (n <= 0)
        return qor_s_ok;
    for (int i = 0; i < n; i++)
        lines[i] = nullptr;
    FILE* fp = fopen(path, "re");
    if (fp == nullptr)
        return qor_s_file_open_failed;
    for (int i = 0; i < n; i++) {
        lines[i] = static_cast<char*>(calloc(1, kTailLine));
        if (lines[i] == nullptr) {
            freeLines(i, lines);
            fclose(fp);
            return qor_s_no_memory;
        }
    }
    char line[kTailLine];
    long count = 0;
    while (fgets(line, sizeof line, fp) != nullptr) {
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\n')
            line[len - 1] = '\0';
        memcpy(lines[count % n], line, len + 1);
        count++;
    }
    fclose(fp);
    if (count > n) {
        int start = static_cast<int>(count % n);
        std::rotate(lines, lines + start, lines + n);
    }
    return qor_s_ok;
}

extern "C" int qor_file_exists(const char* path)
{
    FILE* fp = fopen(path, "re");
    if (fp == nullptr)
        return 0;
    fclose(fp);
    return 1;
}

extern "C" QORStatus qor_file_chown(const char* path, const char* user,
                                    const char* group)
{
    size_t pwSize = lookupBufferSize(_SC_GETPW_R_SIZE_MAX);
    size_t grSize = lookupBufferSize(_SC_GETGR_R_SIZE_MAX);
    std::unique_ptr<char, decltype(&free)> pwBuf(static_cast<char*>(malloc(pwSize)), &free);
    std::unique_ptr<char, decltype(&free)> grBuf(static_cast<char*>(malloc(grSize)), &free);
    if (pwBuf == nullptr || grBuf == nullptr)
        return qor_s_no_memory;
    struct passwd pw;
    struct passwd* pwFound = nullptr;
    struct group gr;
    struct group* grFound = nullptr;
    if (getpwnam_r(user, &pw, pwBuf.get(), pwSize, &pwFound) != 0 || pwFound == nullptr ||
        getgrnam_r(group, &gr, grBuf.get(), grSize, &grFound) != 0 || grFound == nullptr)
        return qor_s_file_no_such_owner;
    if (chown(path, pw.pw_uid, gr.gr_gid) != 0)
        return errnoStatus();
    return qor_s_ok;
}

extern "C" QORStatus qor_file_symlink(const char* target, const char* link)
{
    return symlink(target, link) == 0 ? qor_s_ok : errnoStatus();
}

extern "C" QORStatus qor_file_rename(const char* oldPath, const char* newPath)
{
    return rename(oldPath, newPath) == 0 ? qor_s_ok : errnoStatus();
}

extern "C" QORStatus qor_file_remove(const char* path)
{
    return remove(path) == 0 ? qor_s_ok : errnoStatus();
}

extern "C" QORStatus qor_file_copy(const char* from, const char* to)
{
    FILE* in = fopen(from, "rbe");
    if (in == nullptr)
        return errnoStatus();
    FILE* out = fopen(to, "wbe");
    if (out == nullptr) {
        QORStatus status = errnoStatus();
        fclose(in);
        return status;
    }
    QORStatus status = qor_s_ok;
    char block[kCopyBlock];
    for (;;) {
        size_t got = fread(block, 1, sizeof block, in);
        if (got > 0 && fwrite(block, 1, got, out) != got) {
            status = errnoStatus();
            break;
        }
        if (got < sizeof block) {
            if (ferror(in))
                status = errnoStatus();
            break;
        }
    }
    if (fclose(out) != 0 && status == qor_s_ok)
        status = errnoStatus();
    fclose(in);
    return status;
}
