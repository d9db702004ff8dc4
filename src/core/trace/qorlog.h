// qorlog.h: QORLog, the log sink that trace components and the core write
// diagnostic lines to. The base writes each line to standard output;
// subclasses (QORFileLog, QORSvcLog, the web-server adapter's own sinks)
// override logImpl only, which receives the text already in the sink's
// encoding. The order of the virtual operations is part of the adapter
// contract: sinks compiled outside the library rely on it.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include "core/buffers/qorstring.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// 0 information, 1 warning, 2 error, 3 + n trace level n (0 to 9).
typedef unsigned int QORLogSeverity;

enum : QORLogSeverity {
    qor_log_info = 0,
    qor_log_warning = 1,
    qor_log_error = 2,
    qor_log_trace_0 = 3,
    qor_log_trace_9 = 12,
    qor_log_severity_count = 13,
};

class QORLog {
public:
    // Display names by severity: "INFO", "WARNING", "ERROR", "TRACE 0" to
    // "TRACE 9".
    static const char* const severityName[qor_log_severity_count];

    // Room getTimeString needs, terminator included.
    static const size_t kTimeStringSize = 32;

    // utf8: the sink wants its text in UTF-8 (true) or in the local code
    // page (false).
    explicit QORLog(bool utf8);
    QORLog(const QORLog&) = delete;
    QORLog& operator=(const QORLog&) = delete;
    virtual ~QORLog();

    // UTF-8 text; converted to the local code page for a local-code-page sink.
    virtual void log(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const QORStringRef& text);
    // Local-code-page text; converted to UTF-8 for a UTF-8 sink.
    virtual void log(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const QORLCPStringRef& text);
    // UTF-8 and local-code-page text as pointer and length (len < 0: up to
    // the terminator).
    virtual void log(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const char* text, int len);
    virtual void logLCP(QORLogSeverity severity, const char* file,
                        unsigned line, const char* component, const char* text,
                        int len);
    // Formatted with the library's formatter (core/sundry/qorsnprintf.h),
    // in UTF-8 for flog and in the local code page for flogLCP. A format the
    // formatter refuses drops the line. Beware on 32-bit x86, where va_list
    // is char*: a single char* argument selects the va_list form, so pass
    // it as const char*.
    virtual void flog(QORLogSeverity severity, const char* file, unsigned line,
                      const char* component, const char* format, va_list args);
    virtual void flog(QORLogSeverity severity, const char* file, unsigned line,
                      const char* component, const char* format, ...);
    virtual void flogLCP(QORLogSeverity severity, const char* file,
                         unsigned line, const char* component,
                         const char* format, va_list args);
    virtual void flogLCP(QORLogSeverity severity, const char* file,
                         unsigned line, const char* component,
                         const char* format, ...);
    // Writes one line; text is in the sink's encoding. The base writes to
    // standard output.
    virtual void logImpl(QORLogSeverity severity, const char* file,
                         unsigned line, const char* component,
                         const QORStringRefT<char>& text);

    bool isUTF8() const { return m_utf8; }

    // The display name of severity, "UNKNOWN" outside the table.
    static const char* severityText(QORLogSeverity severity);

    // The local time now, as "2024-05-17-13:04:59.250+00:00": the offset
    // is always written as +00:00, whatever the zone. kTimeStringSize bytes
    // always suffice.
    static void getTimeString(char* buffer, size_t size);

protected:
    // Writes the stamped line (time, component, severity, file, line,
    // process, thread, text) to stream in one call, so that lines of
    // concurrent writers do not interleave.
    static void writeLine(FILE* stream, QORLogSeverity severity,
                          const char* file, unsigned line,
                          const char* component,
                          const QORStringRefT<char>& text);

    bool m_utf8;
};

QOR_EXPORT_END
