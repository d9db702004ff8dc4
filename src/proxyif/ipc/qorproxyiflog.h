// qorproxyiflog.h: QORProxyIFLog, the trace component "dxqor.proxy-if"
// through which the authorization-server interface (segments, semaphores,
// the worker pool and the dispatcher) writes every diagnostic line.
#pragma once
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
    // The component; null before init.
    static QORTrace* get();

    // Formats and traces at level 7, when the component's level is at
    // least 7.
    static void fprintf(const char* file, unsigned int line,
                        const char* format, ...);
    // Formats and traces at level, when the component's level is at least
    // level.
    static void lfprintf(int level, const char* file, unsigned int line,
                         const char* format, ...);
};

// Trace at the caller's file and line; the arguments are not evaluated when
// the line would be dropped.
#define QOR_PIF_LOG(...)                                                    \
    do {                                                                    \
        QORTrace* qor_pif_ = QORProxyIFLog::get();                          \
        if (qor_pif_ != nullptr && qor_pif_->isEnabled(7))                  \
            QORProxyIFLog::fprintf(__FILE__, __LINE__, __VA_ARGS__);        \
    } while (0)

#define QOR_PIF_LLOG(level, ...)                                            \
    do {                                                                    \
        QORTrace* qor_pif_ = QORProxyIFLog::get();                          \
        if (qor_pif_ != nullptr && (level) >= 0 && qor_pif_->isEnabled(level)) \
            QORProxyIFLog::lfprintf((level), __FILE__, __LINE__, __VA_ARGS__); \
    } while (0)
