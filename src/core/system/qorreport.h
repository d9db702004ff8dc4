// qorreport.h: how the foundation reports an administrator message before
// (or without) the serviceability layer. That layer installs its router as
// the sink; until it does, messages go to standard error with the few texts
// the foundation itself uses.
#pragma once
#include <cstdarg>
#include "core/system/qorstatus.h"

// subcomponent is a row of the library's serviceability table (0 "Common").
typedef void (*qor_report_sink_t)(const char* file, int line, int subcomponent,
                                  QORStatus id, va_list args);

extern "C" {
// Reports message id with printf-style arguments that match its text, under
// sub-component 0 or the one given.
void qor_report(const char* file, int line, QORStatus id, ...);
void qor_report_sub(const char* file, int line, int subcomponent, QORStatus id,
                    ...);
void qor_report_v(const char* file, int line, int subcomponent, QORStatus id,
                  va_list args);
// Installs a sink (null restores the built-in one); returns the previous.
qor_report_sink_t qor_report_set_sink(qor_report_sink_t sink);
}

#define QOR_REPORT(id, ...) qor_report(__FILE__, __LINE__, (id), ##__VA_ARGS__)
#define QOR_REPORT_SUB(sub, id, ...) \
    qor_report_sub(__FILE__, __LINE__, (sub), (id), ##__VA_ARGS__)
