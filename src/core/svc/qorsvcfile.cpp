// qorsvcfile.cpp: opening, archiving and writing route files.
#include "core/svc/qorsvcfile.h"

#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/system/qorlogopen.h"

namespace {

// Owner and mode go only on a file this call made: applied to a file found
// in place they would be applied to whatever was planted there.
bool openFile(QORSvcFile* f, bool truncate)
{
    int created = 0;
    int fd = qor_file_open_log(f->path, truncate, f->mode != 0 ? f->mode : 0666, &created);
    if (fd == -1)
        return false;
    if (created) {
        if (f->uid != (uid_t)-1 || f->gid != (gid_t)-1) {
            if (fchown(fd, f->uid, f->gid) != 0) {
                // Not fatal: the records still get written.
            }
        }
        // Exactly the route's mode, whatever the umask.
        if (f->mode != 0 && fchmod(fd, f->mode) != 0) {
            // Not fatal either.
        }
    }
    f->stream = fdopen(fd, truncate ? "w" : "a");
    if (f->stream == nullptr) {
        close(fd);
        return false;
    }
    return true;
}

// A fresh file: the old one archived when generations are kept, truncated
// when an entry limit is set, else appended to.
bool openFresh(QORSvcFile* f)
{
    if (f->generations > 0)
        qor_svc_file_archive(f->path, f->generations);
    f->written = 0;
    return openFile(f, f->entries > 0);
}

} // namespace

void qor_svc_file_archive(const char* path, int generations)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return;
    size_t len = strlen(path);
    char* target = new (std::nothrow) char[len + 4];
    if (target == nullptr)
        return;
    for (int i = 1; i < generations; i++) {
        snprintf(target, len + 4, "%s.%d", path, i);
        if (lstat(target, &st) != 0) {
            rename(path, target);
            delete[] target;
            return;
        }
    }
    snprintf(target, len + 4, "%s.1", path);
    unlink(target);
    rename(path, target);
    delete[] target;
}

bool qor_svc_file_write(QORSvcFile* f, const char* data, size_t n)
{
    if (f->stream == nullptr && !openFresh(f))
        return false;
    if (f->entries > 0 && ++f->written > f->entries) {
        fclose(f->stream);
        f->stream = nullptr;
        if (!openFresh(f))
            return false;
        f->written = 1;
    }
    fwrite(data, 1, n, f->stream);
    fflush(f->stream);
    return true;
}

void qor_svc_file_reopen(QORSvcFile* f)
{
    if (f->stream == nullptr)
        return;
    fclose(f->stream);
    f->stream = nullptr;
    openFile(f, false);
}

void qor_svc_file_flush(QORSvcFile* f)
{
    if (f->stream)
        fflush(f->stream);
}

void qor_svc_file_close(QORSvcFile* f)
{
    if (f->stream)
        fclose(f->stream);
    f->stream = nullptr;
}
