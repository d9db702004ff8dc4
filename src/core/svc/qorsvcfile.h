// qorsvcfile.h: the file behind a file route. It is opened on first use,
// counts the records written when an entry limit is set, and archives a
// full file to path.1, path.2, ... (up to generations - 1 of them).
#pragma once
#include <cstddef>
#include <cstdio>
#include <sys/types.h>

struct QORSvcFile {
    char* path;             // owned
    FILE* stream;           // null until first use
    int generations;        // 0-99
    long entries;           // records per file; 0 = no limit
    long written;
    unsigned mode;          // 0: leave the permissions alone
    uid_t uid;              // (uid_t)-1: leave the owner alone
    gid_t gid;
};

// Writes one whole record, opening the file first if need be and starting
// a new file when the entry limit is passed. False when the file cannot be
// opened (the caller drops the route); a failed write of an open file is
// not reported.
bool qor_svc_file_write(QORSvcFile* file, const char* data, size_t n);

// Reopens an open file for appending without archiving (in a forked child).
void qor_svc_file_reopen(QORSvcFile* file);

void qor_svc_file_flush(QORSvcFile* file);
void qor_svc_file_close(QORSvcFile* file);

// Moves path, when it exists, to the first free path.N for N from 1 to
// generations - 1; when all are taken, path.1 is replaced.
void qor_svc_file_archive(const char* path, int generations);
