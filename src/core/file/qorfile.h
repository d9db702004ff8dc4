// qorfile.h: small file utilities used by the configuration code and the
// installation tools: directories, whole-line reads, temporary files,
// ownership and modes, the tail of a file, copies. Each returns 0 or a
// QORStatus; "the status for errno" is qor_sys_status(errno).
#pragma once
#include <cstdint>
#include <cstdio>
#include "core/system/qorstatus.h"

enum : QORStatusCode {
    qor_s_file_open_failed = QOR_MSG_ID(4),
    qor_s_file_open_msg = QOR_MSG_ID(5),   // path, error text, errno; logged
    qor_s_file_properties_failed = QOR_MSG_ID(54),
    qor_s_file_no_such_owner = QOR_CO_MSG_BASE + 243,  // XLTCO0243E
};

// Owner and permission bits of a file.
typedef struct qor_file_props_s {
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
} qor_file_props_t;

extern "C" {

// mkdir(path, 0777); an existing path is success. On failure errno is
// stored in *err when err is not null.
QORStatus qor_create_directory(const char* path, int* err);
// Reads one whole line, newline included, into the heap buffer *buf of
// capacity *size (grown by 100 bytes at a time; null or capacity < 1 starts
// a new one) and zero-terminates it; *len receives the bytes read. At end of
// file with nothing read the buffer is freed, *buf null and *size 0.
// Out of memory frees the buffer, zeroes all three and returns
// qor_s_no_memory.
QORStatus qor_file_readline(FILE* fp, char** buf, int* size, int* len);
// Creates a new unique file from tmpl ("...XXXXXX") with mkstemp and closes
// it; returns tmpl, now the file's name, or null.
char* qor_mktemp(char* tmpl);
// chown then chmod; a failure of either returns qor_s_file_properties_failed.
QORStatus qor_set_file_properties(const char* path, qor_file_props_t props);
// stat; failure returns qor_s_file_properties_failed.
QORStatus qor_get_file_properties(const char* path, qor_file_props_t* props);
// True when path is a directory.
int qor_directory_exists(const char* path);
// Fills lines[0..n) with n malloc'ed 512-byte buffers holding the last n
// lines of the file in file order (pieces of at most 511 bytes, newline
// removed), followed by empty strings when the file has fewer lines. The
// caller frees each buffer. Failures leave every lines[i] null: cannot open
// is qor_s_file_open_failed, no memory qor_s_no_memory.
QORStatus qor_file_tail(const char* path, int n, char* lines[]);
// True when the file can be opened for reading.
int qor_file_exists(const char* path);
// chown to the named user and group; an unknown name returns
// qor_s_file_no_such_owner.
QORStatus qor_file_chown(const char* path, const char* user,
                         const char* group);
QORStatus qor_file_symlink(const char* target, const char* link);
QORStatus qor_file_rename(const char* oldPath, const char* newPath);
QORStatus qor_file_remove(const char* path);
// Copies from into to (created or truncated) in 512-byte blocks.
QORStatus qor_file_copy(const char* from, const char* to);
}
