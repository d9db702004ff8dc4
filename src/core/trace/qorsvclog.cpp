// qorsvclog.cpp: the serviceability sink.
#include "core/trace/qorsvclog.h"

QORSvcLog::QORSvcLog(dx_svc_handle_t handle, int subcomponent)
    : QORLog(false)
    , m_handle(handle)
    , m_subcomponent(subcomponent)
{
}

void QORSvcLog::logImpl(QORLogSeverity severity, const char* file,
                        unsigned line, const char*,
                        const QORStringRefT<char>& text)
{
    if (severity < qor_log_trace_0 || m_handle == nullptr)
        return;
    unsigned level = severity - qor_log_trace_0;
    if (dx_svc_debug_get_level(m_handle, m_subcomponent) < level)
        return;
    dx_svc__debug_withfile(m_handle, file, static_cast<int>(line),
                           m_subcomponent, level, "%.*s", text.length(),
                           text.data());
}
