// qorlogopen.h: opening a log file safely, for the serviceability routes
// and the trace file logs, which may run as root in a directory that other
// users can write.
#pragma once

extern "C" {

// Opens path for writing a log, close-on-exec, never through a symbolic
// link at its last component, and only when it is a regular file with one
// link (a link planted where a privileged process writes would otherwise
// hand it another file). A file that does not exist is made with
// createMode (less the umask) and O_EXCL, and *created is set: only then
// may the caller apply an owner or mode, which it knows to be on its own
// file. truncate empties an existing file once it passed the checks;
// otherwise writes append. The descriptor, or -1 with errno set (ELOOP for
// a link, EPERM for a file that is not regular or has other links).
int qor_file_open_log(const char* path, int truncate, unsigned int createMode,
                      int* created);
}
