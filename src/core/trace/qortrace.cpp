// qortrace.cpp: trace components and the per-thread request context.
#include "core/trace/qortrace.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

#include "core/sundry/qorsnprintf.h"
#include "core/threads/qorthreadkey.h"

namespace {

// One per thread, made on first use.
struct ThreadDetails {
    QORString ip;
    QORString vh;
};

void freeDetails(void* p)
{
    delete static_cast<ThreadDetails*>(p);
}

QORThreadKey gDetailsKey(freeDetails);
pthread_once_t gShutdownOnce = PTHREAD_ONCE_INIT;

void deleteKey()
{
    freeDetails(gDetailsKey.remove());
}

// The calling thread's record; made when create is set. Null when the
// storage is unavailable or memory failed.
ThreadDetails* threadDetails(bool create)
{
    if (!gDetailsKey.ready())
        return nullptr;
    ThreadDetails* d = static_cast<ThreadDetails*>(gDetailsKey.get());
    if (d != nullptr || !create)
        return d;
    d = new (std::nothrow) ThreadDetails;
    if (d == nullptr)
        return nullptr;
    if (!gDetailsKey.set(d)) {
        delete d;
        return nullptr;
    }
    return d;
}

void setDetail(QORString ThreadDetails::*field, const char* value)
{
    bool clear = value == nullptr || *value == '\0';
    ThreadDetails* d = threadDetails(!clear);
    if (d == nullptr)
        return;
    if (clear || !(d->*field).set(value, -1))
        (d->*field).clear();
}

const char* getDetail(QORString ThreadDetails::*field)
{
    ThreadDetails* d = threadDetails(false);
    if (d == nullptr || (d->*field).isEmpty())
        return nullptr;
    return (d->*field).c_str();
}

} // namespace

QORTrace::QORTrace(unsigned level, const char* component, QORLog* log)
    : m_log(log)
    , m_ownsLog(false)
    , m_component(component ? strdup(component) : nullptr)
    , m_level(level)
{
}

QORTrace::~QORTrace()
{
    if (m_ownsLog)
        delete m_log.load();
    free(m_component);
}

void QORTrace::setLog(QORLog* log, bool owns)
{
    QORLog* old = m_log.exchange(log);
    if (m_ownsLog && old != log)
        delete old;
    m_ownsLog = owns;
}

void QORTrace::ftrace(unsigned level, const char* file, unsigned line,
                      const char* format, ...)
{
    if (!isEnabled(level))
        return;
    va_list args;
    va_start(args, format);
    vftrace(level, file, line, format, args);
    va_end(args);
}

void QORTrace::vftrace(unsigned level, const char* file, unsigned line,
                       const char* format, va_list args)
{
    if (!isEnabled(level))
        return;
    char* text = nullptr;
    int n = qor_vasprintf_utf8(&text, format, args);
    if (n < 0)
        return;
    emit(level, file, line, text, n);
    qor_asprintf_free(text);
}

void QORTrace::emit(unsigned level, const char* file, unsigned line,
                    const char* text, int len)
{
    QORLog* log = m_log.load(std::memory_order_relaxed);
    if (log == nullptr)
        return;
    if (text == nullptr)
        text = "";
    if (len < 0)
        len = static_cast<int>(strlen(text));
    const char* vh = getThreadVH();
    const char* ip = getThreadIP();
    const char* open = vh ? "[" : "";
    const char* close = vh ? "] " : "";
    vh = vh ? vh : "";
    ip = ip ? ip : "";

    // Most lines fit on the stack; longer ones take the heap.
    char small[1024];
    char* buffer = small;
    int n = qor_snprintf_utf8(small, sizeof small, "%s%s%s[%s] %.*s", open,
                              vh, close, ip, len, text);
    if (n >= static_cast<int>(sizeof small))
        n = qor_asprintf_utf8(&buffer, "%s%s%s[%s] %.*s", open, vh, close, ip,
                              len, text);
    QORLogSeverity severity = qor_log_trace_0 + level;
    if (n < 0)
        log->log(severity, file, line, getComponent(), text, len);
    else
        log->log(severity, file, line, getComponent(), buffer, n);
    if (buffer != small)
        qor_asprintf_free(buffer);
}

void QORTrace::setThreadIP(const char* ip)
{
    setDetail(&ThreadDetails::ip, ip);
}

const char* QORTrace::getThreadIP()
{
    return getDetail(&ThreadDetails::ip);
}

void QORTrace::setThreadVH(const char* vhost)
{
    setDetail(&ThreadDetails::vh, vhost);
}

const char* QORTrace::getThreadVH()
{
    return getDetail(&ThreadDetails::vh);
}

void QORTrace::shutdown()
{
    pthread_once(&gShutdownOnce, deleteKey);
}
