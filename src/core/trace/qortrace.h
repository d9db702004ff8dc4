// qortrace.h: QORTrace, a named trace component with its own level, and
// the per-thread request context (client address and virtual host) that
// prefixes its lines. Every subsystem writes its diagnostics through one,
// usually found in the trace registry (core/trace/qortraceregistry.h); the
// web-server adapter sets the thread context while a thread serves a request.
#pragma once
#include <atomic>
#include "core/trace/qorlog.h"

class QORTrace {
public:
    // A copy of component is kept; the trace does not own log.
    QORTrace(unsigned level, const char* component, QORLog* log);
    QORTrace(const QORTrace&) = delete;
    QORTrace& operator=(const QORTrace&) = delete;
    // Deletes the log when the trace owns it.
    virtual ~QORTrace();

    // Whether a line of level would be written: a log is set and level is
    // not above the trace's level. Costs two loads, no lock.
    bool isEnabled(unsigned level) const
    {
        return m_log.load(std::memory_order_relaxed) != nullptr &&
               level <= m_level.load(std::memory_order_relaxed);
    }

    // Writes "[vhost] [ip] text" (or "[ip] text" without a virtual host) at
    // severity level + 3 to the log, in UTF-8; len < 0 means text is
    // terminated. Does nothing, and formats nothing, unless isEnabled(level).
    void trace(unsigned level, const char* file, unsigned line,
               const char* text, int len)
    {
        if (isEnabled(level))
            emit(level, file, line, text, len);
    }
    void trace(unsigned level, const char* file, unsigned line,
               const QORStringRef& text)
    {
        if (isEnabled(level))
            emit(level, file, line, text.data(), text.length());
    }
    // Formats with the library's formatter (UTF-8), then traces. A refused
    // format drops the line. Use QOR_FTRACE to skip the call and the
    // evaluation of the arguments when the line is dropped.
    void ftrace(unsigned level, const char* file, unsigned line,
                const char* format, ...);
    void vftrace(unsigned level, const char* file, unsigned line,
                 const char* format, va_list args);

    unsigned getLevel() const { return m_level.load(std::memory_order_relaxed); }
    void setLevel(unsigned level)
    {
        m_level.store(level, std::memory_order_relaxed);
    }
    // Replaces the log; a previous log the trace owned is deleted (unless it
    // is log itself). An owned log must have been made with new.
    // REQUIRES: no other thread is writing through the trace.
    void setLog(QORLog* log, bool owns);
    QORLog* getLog() const { return m_log.load(std::memory_order_relaxed); }
    bool ownsLog() const { return m_ownsLog; }
    // The component name, "" when none was given.
    const char* getComponent() const { return m_component ? m_component : ""; }

    // The calling thread's client address and virtual host. A null or empty
    // value clears it; the getters return null for a cleared value, and
    // always once the thread-specific storage is unavailable (its creation
    // failed, which is reported, or shutdown ran).
    static void setThreadIP(const char* ip);
    static const char* getThreadIP();
    static void setThreadVH(const char* vhost);
    static const char* getThreadVH();

    // Deletes the thread-specific key (and the caller's own record); the
    // thread context is unavailable from then on. Runs once per process.
    static void shutdown();

private:
    void emit(unsigned level, const char* file, unsigned line,
              const char* text, int len);

    std::atomic<QORLog*> m_log;
    bool m_ownsLog;
    char* m_component;
    std::atomic<unsigned> m_level;
};

// Traces at the caller's file and line; the trace may be null, and the
// arguments are not evaluated when the line is dropped.
#define QOR_TRACE(t, level, text, len)                                      \
    do {                                                                    \
        QORTrace* qor_trace_ = (t);                                         \
        if (qor_trace_ != nullptr && qor_trace_->isEnabled(level))          \
            qor_trace_->trace((level), __FILE__, __LINE__, (text), (len));  \
    } while (0)

#define QOR_FTRACE(t, level, ...)                                           \
    do {                                                                    \
        QORTrace* qor_trace_ = (t);                                         \
        if (qor_trace_ != nullptr && qor_trace_->isEnabled(level))          \
            qor_trace_->ftrace((level), __FILE__, __LINE__, __VA_ARGS__);   \
    } while (0)
