// qorlogstatus.h: writing a numbered message to a log sink as an error line
// of a component, in the local code page: the text of a status, or the text
// of a message used as a format with one integer argument. The plug-in core
// and the cache report what the authorization server's answers carried this
// way.
#pragma once
#include "core/system/qorstatus.h"

class QORLog;

// The catalogue text of status (as dx_error_inq_text gives it). Nothing
// without a log.
void qor_log_status(QORLog* log, const char* file, unsigned line, const char* component,
                    QORStatus status);
// The catalogue text of messageID formatted with argument. Nothing without
// a log, or when the text cannot be had.
void qor_log_message(QORLog* log, const char* file, unsigned line, const char* component,
                     QORStatus messageID, int argument);
