// qorfilelog.h: QORFileLog, a log sink that appends stamped lines to a
// file in the local code page. The web-server adapter and tests give it to
// trace components that write outside the serviceability routes.
#pragma once
#include <cstdio>
#include "core/trace/qorlog.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORFileLog : public QORLog {
public:
    // No file: lines are accepted and written nowhere until open succeeds.
    QORFileLog();
    // Opens path at once; see open.
    explicit QORFileLog(const char* path);
    explicit QORFileLog(const QORLCPStringRef& path);
    // Closes the file.
    ~QORFileLog() override;

    // Closes any open file and opens path for appending, unbuffered so that
    // each line reaches the file whole and at once. False when it cannot be
    // opened, or is a symbolic link, not a regular file, or has more than
    // one link (qor_file_open_log); the log is then closed and writes
    // nothing.
    bool open(const char* path);
    void close();
    bool isOpen() const { return m_file != nullptr; }

    void logImpl(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const QORStringRefT<char>& text) override;

private:
    FILE* m_file = nullptr;
};

QOR_EXPORT_END
