// qorlogstatus.cpp: numbered messages to a log sink.
#include "core/trace/qorlogstatus.h"
#include <cstdlib>
#include "core/msg/qormsg.h"
#include "core/trace/qorlog.h"

void qor_log_status(QORLog* log, const char* file, unsigned line, const char* component,
                    QORStatus status)
{
    if (log == nullptr)
        return;
    dx_error_string_t text;
    int st = 0;
    dx_error_inq_text(status, text, &st);
    log->logLCP(qor_log_error, file, line, component, text, -1);
}

void qor_log_message(QORLog* log, const char* file, unsigned line, const char* component,
                     QORStatus messageID, int argument)
{
    if (log == nullptr)
        return;
    QORStatus st = qor_s_ok;
    char* format = dx_msg_get_msg(messageID, &st);
    if (format == nullptr)
        return;
    log->flogLCP(qor_log_error, file, line, component, format, argument);
    free(format);
}
