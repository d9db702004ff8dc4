// qorproxyiflog.h: QORProxyIFLog, the trace component "dxqor.proxy-if"
// through which the authorization-server interface (segments, semaphores,
// the worker pool and the dispatcher) writes every diagnostic line.
#pragma once
#include <atomic>
#include "core/trace/qorlog.h"
#include "core/trace/qortrace.h"

class QORProxyIFLog {
public:
    // Registers the component at level 0 writing to log (the registry keeps
    // an existing component as it is). Without a trace registry the
    // interface keeps a component of its own, so that a process that runs
    // no registry (the server side, tests) can still trace. A second call
    // replaces what the first set up.
    static void init(QORLog* log);
    // Forgets the component (and deletes one of the interface's own).
    // REQUIRES: runs before the trace registry's last shutdown; no thread
    // traces through the interface meanwhile.
    static void shutdown();
    // The component; null before init. Inline, with the check of the
    // level, because every step of a question asks it.
    static QORTrace* get() { return s_trace.load(std::memory_order_acquire); }
    // Whether a line of level would be written.
    static bool enabled(int level)
    {
        QORTrace* t = get();
        return t != nullptr && level >= 0 && t->isEnabled((unsigned)level);
    }

    // Formats and traces at level 7, when the component's level is at
    // least 7.
    static void fprintf(const char* file, unsigned int line,
                        const char* format, ...);
    // Formats and traces at level, when the component's level is at least
    // level.
    static void lfprintf(int level, const char* file, unsigned int line,
                         const char* format, ...);

private:
    static inline std::atomic<QORTrace*> s_trace{nullptr};
};

// Trace at the caller's file and line; the arguments are not evaluated when
// the line would be dropped.
#define QOR_PIF_LOG(...)                                                    \
    do {                                                                    \
        if (QORProxyIFLog::enabled(7))                                      \
            QORProxyIFLog::fprintf(__FILE__, __LINE__, __VA_ARGS__);        \
    } while (0)

#define QOR_PIF_LLOG(level, ...)                                            \
    do {                                                                    \
        if (QORProxyIFLog::enabled(level))                                  \
            QORProxyIFLog::lfprintf((level), __FILE__, __LINE__, __VA_ARGS__); \
    } while (0)
