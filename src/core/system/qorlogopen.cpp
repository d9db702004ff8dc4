// qorlogopen.cpp: opening a log file without following links.

#include "core/system/qorlogopen.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int qor_file_open_log(const char* path, int truncate, unsigned int createMode,
                      int* created)
{
    *created = 0;
    const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (truncate ? 0 : O_APPEND);
    int fd = -1;
    // Made or opened: a file removed or made by someone else between the
    // two opens is simply tried again, a few times.
    for (int attempt = 0; attempt < 4 && fd == -1; attempt++) {
        fd = open(path, flags | O_CREAT | O_EXCL, (mode_t)createMode);
        if (fd != -1) {
            *created = 1;
            break;
        }
        if (errno != EEXIST)
            return -1;
        fd = open(path, flags);
        if (fd == -1 && errno != ENOENT)
            return -1;
    }
    if (fd == -1)
        return -1;
    struct stat info;
    int err = 0;
    if (fstat(fd, &info) != 0)
        err = errno;
    else if (!S_ISREG(info.st_mode) || info.st_nlink != 1)
        err = EPERM;
    if (err != 0) {
        close(fd);
        *created = 0;
        errno = err;
        return -1;
    }
    if (truncate && !*created && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}
