// qorproxyiflog.cpp: the interface's trace component.
#include "proxyif/ipc/qorproxyiflog.h"

#include <new>

#include "core/trace/qortraceregistry.h"

namespace {

const char kComponent[] = "dxqor.proxy-if";

// Set when the component is the interface's own rather than the registry's.
QORTrace* gOwnTrace = nullptr;

} // namespace

void QORProxyIFLog::init(QORLog* log)
{
    shutdown();
    QORTrace* t = QORTraceRegistry::add(kComponent, 0, log);
    if (t == nullptr) {
        t = new (std::nothrow) QORTrace(0, kComponent, log);
        gOwnTrace = t;
    }
    s_trace.store(t, std::memory_order_release);
}

void QORProxyIFLog::shutdown()
{
    s_trace.store(nullptr, std::memory_order_release);
    delete gOwnTrace;
    gOwnTrace = nullptr;
}

void QORProxyIFLog::fprintf(const char* file, unsigned int line,
                            const char* format, ...)
{
    QORTrace* t = get();
    if (t == nullptr || !t->isEnabled(7))
        return;
    va_list args;
    va_start(args, format);
    t->vftrace(7, file, line, format, args);
    va_end(args);
}

void QORProxyIFLog::lfprintf(int level, const char* file, unsigned int line,
                             const char* format, ...)
{
    QORTrace* t = get();
    if (t == nullptr || level < 0 || !t->isEnabled(level))
        return;
    va_list args;
    va_start(args, format);
    t->vftrace(level, file, line, format, args);
    va_end(args);
}
